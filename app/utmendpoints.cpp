#include "app/utmendpoints.h"

#include "app/appconstants.h"
#include "core/util.h"

#include <QSettings>
#include <QUrl>

namespace Orv {

QString normalizeUtmEndpoint(const QString &text)
{
    QString endpoint = text.trimmed();
    if (endpoint.isEmpty())
        return {};
    const QString schemeMark = QStringLiteral("://");
    if (!endpoint.contains(schemeMark))
        endpoint.prepend(QStringLiteral("http://"));
    endpoint = withoutTrailingSlashes(endpoint);
    if (QUrl(endpoint, QUrl::TolerantMode).port() != -1)
        return endpoint;
    // The port belongs to the authority: it goes before any path, query or fragment, so that
    // "http://h/utm" becomes "http://h:8080/utm" and a second pass finds it.
    const qsizetype schemeEnd = endpoint.indexOf(schemeMark);
    qsizetype authorityEnd = endpoint.size();
    if (schemeEnd >= 0) {
        for (qsizetype i = schemeEnd + schemeMark.size(); i < endpoint.size(); ++i) {
            const QChar c = endpoint.at(i);
            if (c == u'/' || c == u'?' || c == u'#') {
                authorityEnd = i;
                break;
            }
        }
    }
    endpoint.insert(authorityEnd, QStringLiteral(":8080"));
    return endpoint;
}

QStringList readUtmEndpoints(const QSettings &settings)
{
    return settings.value(kUtmEndpointsKey).toStringList();
}

void storeUtmEndpoints(QSettings &settings, const QStringList &endpoints)
{
    if (endpoints.isEmpty())
        settings.remove(kUtmEndpointsKey);
    else
        settings.setValue(kUtmEndpointsKey, endpoints);
}

void migrateLegacyUtmEndpoint(QSettings &settings)
{
    if (!settings.contains(kLegacyUtmEndpointKey))
        return;
    const QString legacy = settings.value(kLegacyUtmEndpointKey).toString();
    if (!legacy.isEmpty() && !settings.contains(kUtmEndpointsKey))
        settings.setValue(kUtmEndpointsKey, QStringList{legacy});
    settings.remove(kLegacyUtmEndpointKey);
}

} // namespace Orv
