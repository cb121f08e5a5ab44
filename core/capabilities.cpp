#include "core/capabilities.h"

#include "core/util.h"

#include <QJsonArray>

namespace Orv {
namespace {

constexpr qsizetype kMaxErrorUnits = 1000;

// At most that many UTF-16 units, without leaving half of a surrogate pair at the end.
QString cutText(const QString &text, qsizetype units)
{
    if (text.size() <= units)
        return text;
    if (units > 0 && text.at(units - 1).isHighSurrogate())
        --units;
    return text.left(units);
}

void putIfSet(QJsonObject &details, const char *key, const QString &value)
{
    if (!value.isEmpty())
        details.insert(QLatin1String(key), value);
}

} // namespace

QList<Capability> signCapability(const QList<CertificateInfo> &certificates)
{
    if (certificates.isEmpty())
        return {};
    QJsonArray thumbprints;
    for (const CertificateInfo &certificate : certificates)
        thumbprints.append(certificate.thumbprint);
    return {Capability{QStringLiteral("sign"), QJsonObject{{"thumbprints", thumbprints}}}};
}

Capability utmCapability(const UtmStatus &status)
{
    QJsonObject details{{"endpoint", status.endpoint}, {"reachable", status.reachable}};
    putIfSet(details, "fsrarId", status.fsrarId);
    putIfSet(details, "utmVersion", status.version);
    putIfSet(details, "inn", status.inn);
    putIfSet(details, "kpp", status.kpp);
    putIfSet(details, "rsaExpiresAt", isoUtcText(status.rsaExpiresAt));
    putIfSet(details, "gostExpiresAt", isoUtcText(status.gostExpiresAt));
    putIfSet(details, "error", cutText(status.error, kMaxErrorUnits));
    return Capability{QStringLiteral("utm"), details};
}

QList<Capability> buildCapabilities(const QList<CertificateInfo> &certificates,
                                    const QList<UtmStatus> &statuses)
{
    QList<Capability> result = signCapability(certificates);
    QStringList announced;
    for (const UtmStatus &status : statuses) {
        if (status.endpoint.isEmpty())
            continue;
        if (!status.fsrarId.isEmpty()) {
            if (announced.contains(status.fsrarId))
                continue;
            announced.append(status.fsrarId);
        }
        result.append(utmCapability(status));
    }
    return result;
}

} // namespace Orv
