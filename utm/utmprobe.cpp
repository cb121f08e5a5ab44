#include "utm/utmprobe.h"

#include "core/util.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QXmlStreamReader>

namespace Orv {
namespace {

bool allDigits(const QString &text, qsizetype count)
{
    if (text.size() != count)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// УТМ pages give ids as strings, but a number must not be lost on the way.
QString textOf(const QJsonValue &value)
{
    return value.isString() ? value.toString() : value.toVariant().toString();
}

} // namespace

QString normalizeInn(const QString &text)
{
    const QString inn = text.trimmed();
    if (allDigits(inn, 12))
        return inn.startsWith(QStringLiteral("00")) ? inn.right(10) : inn;
    return allDigits(inn, 10) ? inn : QString();
}

QDateTime parseUtmDate(const QJsonValue &value)
{
    const QString text = value.toString().trimmed();
    if (text.isEmpty())
        return {};
    static const char *const formats[] = {"yyyy-MM-dd HH:mm:ss.zzz t", "yyyy-MM-dd HH:mm:ss t",
                                          "yyyy-MM-dd HH:mm:ss"};
    for (const char *format : formats) {
        const QDateTime parsed = QDateTime::fromString(text, QLatin1String(format));
        if (parsed.isValid())
            return parsed.toUTC();
    }
    const QDateTime iso = QDateTime::fromString(text, Qt::ISODateWithMs);
    return iso.isValid() ? iso.toUTC() : QDateTime();
}

UtmProbe::UtmProbe(IUtmClient *client)
    : m_client(client)
{
    if (m_client)
        m_status.endpoint = m_client->baseUrl();
}

void UtmProbe::refresh(UtmStatusCallback done)
{
    if (!m_client) {
        finish(UtmStatus(), done);
        return;
    }
    request(m_client, QStringLiteral("/diagnosis"), m_status, done, &UtmProbe::onDiagnosis);
}

void UtmProbe::request(IUtmClient *client, const QString &path, const UtmStatus &working,
                       const UtmStatusCallback &done, Step step)
{
    client->get(path, kRequestTimeoutMs,
                [this, client, working, done, step](const UtmResponse &response) {
                    (this->*step)(client, working, response, done);
                });
}

void UtmProbe::onDiagnosis(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                           const UtmStatusCallback &done)
{
    if (m_client != client) {
        finish(m_status, done);
        return;
    }
    working = m_status;
    working.endpoint = client->baseUrl();
    working.checkedAt = QDateTime::currentDateTimeUtc();
    if (response.status != 200) {
        working.reachable = false;
        working.error = unreachableText(
            working.endpoint,
            response.status == 0 ? response.error : QStringLiteral("код %1").arg(response.status));
        finish(working, done);
        return;
    }
    const QString fsrarId = parseDiagnosis(response.body);
    if (fsrarId.isEmpty()) {
        working.reachable = false;
        working.error = QStringLiteral("По адресу %1 отвечает не УТМ: в /diagnosis нет FSRAR_ID")
                            .arg(working.endpoint);
        finish(working, done);
        return;
    }
    if (!working.fsrarId.isEmpty() && working.fsrarId != fsrarId) {
        logItems(Warn, QStringLiteral("FSRAR_ID УТМ сменился:"), working.fsrarId, "→", fsrarId);
        // Another УТМ answers at this address now: nothing learnt about the old one holds.
        const UtmStatus fresh;
        working.version = fresh.version;
        working.inn = fresh.inn;
        working.kpp = fresh.kpp;
        working.rsaExpiresAt = fresh.rsaExpiresAt;
        working.gostExpiresAt = fresh.gostExpiresAt;
    }
    working.fsrarId = fsrarId;
    working.reachable = true;
    working.error.clear();
    m_status = working;
    request(client, QStringLiteral("/info/version"), working, done, &UtmProbe::onVersion);
}

void UtmProbe::onVersion(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                         const UtmStatusCallback &done)
{
    if (response.status == 200)
        working.version = QString::fromUtf8(response.body).trimmed().left(64);
    if (m_client != client) {
        finish(m_status, done);
        return;
    }
    request(client, QStringLiteral("/api/info/list"), working, done, &UtmProbe::onInfoList);
}

void UtmProbe::onInfoList(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                          const UtmStatusCallback &done)
{
    if (response.status == 200)
        parseInfoList(response.body, &working);
    if (m_client != client) {
        finish(m_status, done);
        return;
    }
    request(client, QStringLiteral("/api/rsa"), working, done, &UtmProbe::onRsa);
}

void UtmProbe::onRsa(IUtmClient *, UtmStatus working, const UtmResponse &response,
                     const UtmStatusCallback &done)
{
    if (response.status == 200)
        parseRsaRows(response.body, &working);
    finish(working, done);
}

void UtmProbe::finish(const UtmStatus &status, const UtmStatusCallback &done)
{
    m_status = status;
    if (done)
        done(m_status);
}

QString UtmProbe::parseDiagnosis(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    bool inCertificate = false;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (reader.name() == QLatin1String("CERTIFICATE")) {
            inCertificate = true;
        } else if (inCertificate && reader.name() == QLatin1String("CN")) {
            const QString cn = reader.readElementText().trimmed();
            return allDigits(cn, 12) ? cn : QString();
        }
    }
    return {};
}

void UtmProbe::parseInfoList(const QByteArray &json, UtmStatus *status)
{
    const QJsonObject top = jsonObjectOf(json);
    const QDateTime rsa =
        parseUtmDate(top.value(QLatin1String("rsa")).toObject().value(QLatin1String("expireDate")));
    const QDateTime gost = parseUtmDate(
        top.value(QLatin1String("gost")).toObject().value(QLatin1String("expireDate")));
    if (rsa.isValid())
        status->rsaExpiresAt = rsa;
    if (gost.isValid())
        status->gostExpiresAt = gost;
}

void UtmProbe::parseRsaRows(const QByteArray &json, UtmStatus *status)
{
    if (status->fsrarId.isEmpty())
        return;
    const QJsonArray rows = jsonObjectOf(json).value(QLatin1String("rows")).toArray();
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        if (textOf(row.value(QLatin1String("pass_owner_id"))) != status->fsrarId &&
            textOf(row.value(QLatin1String("Owner_ID"))) != status->fsrarId)
            continue;
        const QString inn = normalizeInn(textOf(row.value(QLatin1String("INN"))));
        if (inn.isEmpty())
            return;
        const QString kpp = textOf(row.value(QLatin1String("KPP"))).trimmed();
        status->inn = inn;
        status->kpp = allDigits(kpp, 9) ? kpp : QString();
        return;
    }
}

QString UtmProbe::unreachableText(const QString &address, const QString &detail)
{
    return QStringLiteral("УТМ по адресу %1 не отвечает: %2. Проверьте, что УТМ запущен, а адрес "
                          "этого компьютера внесён в «Фильтр IP-адресов» УТМ")
        .arg(address, detail);
}

} // namespace Orv
