#include "app/windowrows.h"

#include "core/agentclient.h"
#include "core/journal.h"
#include "signing/certsubject.h"
#include "utm/utmprobe.h"

#include <QHash>
#include <QVariantMap>

namespace Orv {

namespace {

const QString kDateFormat = QStringLiteral("dd.MM.yyyy");
const QString kTimeFormat = QStringLiteral("HH:mm:ss");

// Local text of a date-time; empty for an invalid one.
QString localText(const QDateTime &at, const QString &format)
{
    return at.isValid() ? at.toLocalTime().toString(format) : QString();
}

} // namespace

QString taskTitle(const QString &type)
{
    static const QHash<QString, QString> titles = {
        {QStringLiteral("chz.auth"), QStringLiteral("Вход в Честный знак")},
        {QStringLiteral("chz.document"), QStringLiteral("Документ Честного знака")},
        {QStringLiteral("edo.title"), QStringLiteral("Приёмка УПД")},
        {QStringLiteral("enroll"), QStringLiteral("Подключение организации")},
        {QStringLiteral("utm.request"), QStringLiteral("Запрос к УТМ")},
    };
    return titles.value(type, type);
}

QString agentStatusText(int state)
{
    switch (state) {
    case 0:
        return QStringLiteral("Не подключён");
    case 1:
        return QStringLiteral("Подключение…");
    case 2:
        return QStringLiteral("На связи");
    case 3:
        return QStringLiteral("Нет связи с сервером");
    default:
        return {};
    }
}

QString agentStateName(int state)
{
    switch (state) {
    case 1:
        return QStringLiteral("connecting");
    case 2:
        return QStringLiteral("online");
    case 3:
        return QStringLiteral("offline");
    default:
        return QStringLiteral("idle");
    }
}

QString trayIconPath(const QString &stateName)
{
    QString file = QStringLiteral("agent-idle.svg");
    if (stateName == u"online")
        file = QStringLiteral("agent-online.svg");
    else if (stateName == u"offline" || stateName == u"connecting")
        file = QStringLiteral("agent-offline.svg");
    return QStringLiteral(":/qt/qml/OrvAgentApp/icons/") + file;
}

QVariantList certificateRows(const QList<CertificateInfo> &certificates, const QDateTime &now)
{
    // The store gives its dates in local time; compared with a local `now` they need no look at
    // the time zone each (the instants compared are the same).
    const QDateTime localNow = now.toLocalTime();
    QVariantList rows;
    for (const CertificateInfo &certificate : certificates) {
        const bool valid = certificate.validFrom <= localNow && localNow < certificate.validTo;
        rows.append(QVariantMap{
            {QStringLiteral("title"), certificateTitle(certificate)},
            {QStringLiteral("inn"), certificate.inn},
            {QStringLiteral("validTo"), localText(certificate.validTo, kDateFormat)},
            {QStringLiteral("valid"), valid},
            {QStringLiteral("expiresSoon"), valid && now.daysTo(certificate.validTo) < 31},
        });
    }
    return rows;
}

QVariantList enrollCandidateRows(const QList<CertificateInfo> &certificates, const QDateTime &now)
{
    QVariantList rows;
    for (const CertificateInfo &certificate : selectSigningCertificates(certificates, now)) {
        rows.append(QVariantMap{
            {QStringLiteral("inn"), certificate.inn},
            {QStringLiteral("title"), certificateTitle(certificate)},
            {QStringLiteral("thumbprint"), certificate.thumbprint},
            {QStringLiteral("validTo"), localText(certificate.validTo, kDateFormat)},
            {QStringLiteral("personal"), isPersonalInn(certificate.inn)},
        });
    }
    return rows;
}

QVariantList organizationRows(const QList<OrganizationLink> &organizations)
{
    QVariantList rows;
    for (const OrganizationLink &organization : organizations) {
        rows.append(QVariantMap{
            {QStringLiteral("inn"), organization.inn},
            {QStringLiteral("name"), organization.name},
            {QStringLiteral("status"), organization.status},
            {QStringLiteral("pending"), organization.status == QStringLiteral("PENDING")},
            {QStringLiteral("signupPending"), organization.signupPending},
        });
    }
    return rows;
}

QVariantList journalRows(const QList<JournalEntry> &entries)
{
    QVariantList rows;
    for (const JournalEntry &entry : entries) {
        rows.append(QVariantMap{
            {QStringLiteral("date"), localText(entry.at, QStringLiteral("dd.MM"))},
            {QStringLiteral("time"), localText(entry.at, kTimeFormat)},
            {QStringLiteral("title"), taskTitle(entry.type)},
            {QStringLiteral("inn"), entry.orgInn},
            {QStringLiteral("ok"), entry.ok},
            {QStringLiteral("message"), entry.message},
        });
    }
    return rows;
}

QVariantList utmRows(const QList<UtmStatus> &statuses)
{
    QVariantList rows;
    for (const UtmStatus &status : statuses) {
        rows.append(QVariantMap{
            {QStringLiteral("endpoint"), status.endpoint},
            {QStringLiteral("checked"), status.checkedAt.isValid()},
            {QStringLiteral("reachable"), status.reachable},
            {QStringLiteral("fsrarId"), status.fsrarId},
            {QStringLiteral("inn"), status.inn},
            {QStringLiteral("version"), status.version},
            {QStringLiteral("error"), status.error},
            {QStringLiteral("rsaExpires"), localText(status.rsaExpiresAt, kDateFormat)},
            {QStringLiteral("gostExpires"), localText(status.gostExpiresAt, kDateFormat)},
            {QStringLiteral("checkedAt"), localText(status.checkedAt, kTimeFormat)},
        });
    }
    return rows;
}

} // namespace Orv
