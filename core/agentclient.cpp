#include "core/agentclient.h"

#include "core/httpclient.h"
#include "core/util.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QUrl>

namespace Orv {
namespace {

constexpr int kRequestTimeoutMs = 30000;

bool accepted(const HttpResponse &response)
{
    return response.status == 200 || response.status == 201;
}

// Ids and INNs come from the server; percent-encoded, a slash, question mark or hash in them
// cannot steer the request to another endpoint. Ordinary values pass unchanged. "." and ".." are
// folded away as dot segments whatever their encoding, so they cannot be used at all: the text
// for that refusal instead of a segment.
bool pathSegment(const QString &value, QString *segment, QString *refusal)
{
    if (value == QLatin1String(".") || value == QLatin1String("..")) {
        *refusal =
            QStringLiteral("Значение «%1» от сервера нельзя подставить в адрес запроса").arg(value);
        return false;
    }
    *segment = QString::fromLatin1(QUrl::toPercentEncoding(value));
    return true;
}

} // namespace

AgentClient::AgentClient(IHttpClient *http, const AgentConfig &config)
    : m_http(http)
    , m_config(config)
{}

void AgentClient::pair(const QString &code, const QList<Capability> &capabilities,
                       const QList<CertificateInfo> &certificates, PairCallback done)
{
    const QJsonObject body{{"code", code},
                           {"device", deviceJson()},
                           {"capabilities", capabilitiesToJson(capabilities)},
                           {"certificates", certificatesToJson(certificates)}};
    m_http->postJson(QStringLiteral("/agent/v1/pair"), {}, body, kRequestTimeoutMs,
                     [done = std::move(done)](const HttpResponse &response) {
                         if (!accepted(response))
                             return done(false, {}, errorText(response));
                         const PairResult result = parsePairResult(response.body);
                         if (result.token.isEmpty())
                             return done(false, {},
                                         QStringLiteral("Сервер не вернул токен агента"));
                         done(true, result, {});
                     });
}

void AgentClient::enrollChallenge(const QString &token, const QString &inn,
                                  const QString &thumbprint, ChallengeCallback done)
{
    const QJsonObject body{{"inn", inn}, {"thumbprint", thumbprint}, {"device", deviceJson()}};
    m_http->postJson(QStringLiteral("/agent/v1/enroll/challenge"), token, body, kRequestTimeoutMs,
                     [done = std::move(done)](const HttpResponse &response) {
                         if (!accepted(response))
                             return done(false, {}, errorText(response));
                         const QJsonObject answer = jsonObjectOf(response.body);
                         ChallengeResult result;
                         result.challengeId = answer.value(QLatin1String("challengeId")).toString();
                         result.data = answer.value(QLatin1String("data")).toString();
                         result.detached = answer.value(QLatin1String("detached")).toBool(false);
                         if (result.challengeId.isEmpty() || result.data.isEmpty())
                             return done(false, {},
                                         QStringLiteral("Сервер не вернул заявку на подключение"));
                         done(true, result, {});
                     });
}

void AgentClient::enroll(const QString &token, const QString &challengeId, const QString &signature,
                         const QList<Capability> &capabilities,
                         const QList<CertificateInfo> &certificates, PairCallback done)
{
    const QJsonObject body{{"challengeId", challengeId},
                           {"signature", signature},
                           {"device", deviceJson()},
                           {"capabilities", capabilitiesToJson(capabilities)},
                           {"certificates", certificatesToJson(certificates)}};
    m_http->postJson(QStringLiteral("/agent/v1/enroll"), token, body, kRequestTimeoutMs,
                     [done = std::move(done)](const HttpResponse &response) {
                         if (!accepted(response))
                             return done(false, {}, errorText(response));
                         // A missing token is the core's to judge: it may hold one already.
                         done(true, parsePairResult(response.body), {});
                     });
}

void AgentClient::fetchTask(const QString &token, TaskCallback done)
{
    const QString path = QStringLiteral("/agent/v1/tasks?wait=%1").arg(m_config.longPollSeconds);
    m_http->get(path, token, (m_config.longPollSeconds + 10) * 1000,
                [done = std::move(done)](const HttpResponse &response) {
                    if (response.status == 204)
                        return done(true, false, {}, {});
                    if (response.status != 200)
                        return done(false, false, {}, errorText(response));
                    TaskDescriptor task;
                    QString refusal;
                    if (!parseTask(response.body, &task, &refusal))
                        return done(false, false, {}, refusal);
                    done(true, true, task, {});
                });
}

void AgentClient::heartbeat(const QString &token, const QList<Capability> &capabilities,
                            const QList<CertificateInfo> &certificates, HeartbeatCallback done)
{
    const QJsonObject body{{"version", m_config.version},
                           {"capabilities", capabilitiesToJson(capabilities)},
                           {"certificates", certificatesToJson(certificates)}};
    m_http->postJson(QStringLiteral("/agent/v1/heartbeat"), token, body, kRequestTimeoutMs,
                     [done = std::move(done)](const HttpResponse &response) {
                         if (!accepted(response))
                             return done(false, {}, errorText(response));
                         done(true, parseOrganizations(response.body), {});
                     });
}

void AgentClient::requestSignupLink(const QString &token, const QString &inn, LinkCallback done)
{
    QString segment;
    QString refusal;
    if (!pathSegment(inn, &segment, &refusal))
        return done(false, {}, refusal);
    const QString path = QStringLiteral("/agent/v1/orgs/%1/signup-link").arg(segment);
    m_http->postJson(
        path, token, {}, kRequestTimeoutMs, [done = std::move(done)](const HttpResponse &response) {
            if (!accepted(response))
                return done(false, {}, errorText(response));
            const QString url =
                jsonObjectOf(response.body).value(QLatin1String("signupUrl")).toString();
            if (url.isEmpty())
                return done(false, {}, QStringLiteral("Сервер не вернул ссылку в кабинет"));
            done(true, url, {});
        });
}

void AgentClient::sendResult(const QString &token, const QString &taskId,
                             const TaskOutcome &outcome, ResultCallback done)
{
    QString segment;
    QString refusal;
    if (!pathSegment(taskId, &segment, &refusal))
        return done(false, refusal);
    const QString path = QStringLiteral("/agent/v1/tasks/%1/result").arg(segment);
    const QJsonObject body = outcome.ok ? QJsonObject{{"ok", true}, {"data", outcome.data}}
                                        : QJsonObject{{"ok", false}, {"error", outcome.message}};
    m_http->postJson(path, token, body, kRequestTimeoutMs,
                     [done = std::move(done)](const HttpResponse &response) {
                         if (!accepted(response))
                             return done(false, errorText(response));
                         done(true, {});
                     });
}

QJsonObject AgentClient::deviceJson() const
{
    return {{"id", m_config.deviceId},
            {"name", m_config.deviceName},
            {"os", m_config.os},
            {"version", m_config.version}};
}

QJsonArray AgentClient::capabilitiesToJson(const QList<Capability> &capabilities)
{
    QJsonArray array;
    for (const Capability &capability : capabilities) {
        QJsonObject entry = capability.details;
        entry.insert(QLatin1String("type"), capability.type);
        array.append(entry);
    }
    return array;
}

QJsonArray AgentClient::certificatesToJson(const QList<CertificateInfo> &certificates)
{
    QJsonArray array;
    for (const CertificateInfo &certificate : certificates) {
        array.append(QJsonObject{
            {"thumbprint", certificate.thumbprint},
            {"subject", certificate.subject},
            {"inn", certificate.inn.isEmpty() ? QJsonValue(QJsonValue::Null)
                                              : QJsonValue(certificate.inn)},
            {"validFrom", isoUtcText(certificate.validFrom)},
            {"validTo", isoUtcText(certificate.validTo)},
        });
    }
    return array;
}

QString AgentClient::errorText(const HttpResponse &response)
{
    if (response.status == 0)
        return QStringLiteral("Нет связи с сервером: %1").arg(response.error);
    const QString serverText = jsonObjectOf(response.body).value(QLatin1String("error")).toString();
    if (!serverText.isEmpty())
        return shortened(serverText);
    return QStringLiteral("Сервер ответил кодом %1").arg(response.status);
}

bool AgentClient::parseTask(const QByteArray &body, TaskDescriptor *task, QString *error)
{
    const QJsonDocument document = jsonDocumentOf(body);
    if (!document.isObject()) {
        *error = QStringLiteral("Сервер прислал задачу в неожиданном формате");
        return false;
    }
    const QJsonObject object = document.object();
    const auto text = [&object](const char *key) {
        return object.value(QLatin1String(key)).toString();
    };
    TaskDescriptor read;
    read.id = text("id");
    read.type = text("type");
    read.orgInn = text("orgInn");
    read.orgName = text("orgName");
    read.payload = object.value(QLatin1String("payload")).toObject();
    // Empty, never null: the journal keeps the hash in a column that refuses NULL.
    read.payloadHash = text("payloadHash");
    if (read.payloadHash.isNull())
        read.payloadHash = QStringLiteral("");
    read.expiresAt = QDateTime::fromString(text("expiresAt"), Qt::ISODate);
    read.json = body;
    if (read.id.isEmpty() || read.type.isEmpty()) {
        *error = QStringLiteral("В задаче нет идентификатора или типа");
        return false;
    }
    // A task whose result could not be posted back is not run at all.
    QString segment;
    if (!pathSegment(read.id, &segment, error))
        return false;
    *task = read;
    return true;
}

AgentClient::PairResult AgentClient::parsePairResult(const QByteArray &body)
{
    const QJsonObject object = jsonObjectOf(body);
    const QJsonObject organization = object.value(QLatin1String("organization")).toObject();
    PairResult result;
    result.agentId = object.value(QLatin1String("agentId")).toString();
    result.token = object.value(QLatin1String("token")).toString();
    result.orgInn = organization.value(QLatin1String("inn")).toString();
    result.orgName = shortened(organization.value(QLatin1String("name")).toString());
    result.status = object.value(QLatin1String("status")).toString();
    result.outcome = object.value(QLatin1String("outcome")).toString();
    result.signupUrl = object.value(QLatin1String("signupUrl")).toString();
    return result;
}

QList<OrganizationLink> AgentClient::parseOrganizations(const QByteArray &body)
{
    QList<OrganizationLink> organizations;
    const QJsonArray entries = jsonObjectOf(body).value(QLatin1String("organizations")).toArray();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        OrganizationLink link;
        link.inn = object.value(QLatin1String("inn")).toString();
        if (link.inn.isEmpty())
            continue;
        link.name = shortened(object.value(QLatin1String("name")).toString());
        link.status = object.value(QLatin1String("status")).toString();
        link.signupPending = object.value(QLatin1String("signupPending")).toBool(false);
        organizations.append(link);
    }
    return organizations;
}

} // namespace Orv
