#pragma once

#include <QString>

namespace Orv {

// The PARVIS API used when the command line names none.
inline const QString kDefaultServerUrl = QStringLiteral("https://api.parvis.ru");
// The application's reverse-domain identifier; the maintenance tool reports updates under it.
inline const QString kOrganizationDomain = QStringLiteral("ru.tellvane.orvagent");

// Keys of the user's settings store.
inline const QString kServerUrlKey = QStringLiteral("server/url"); // obsolete, removed at start
inline const QString kDeviceIdKey = QStringLiteral("device/id");
inline const QString kOrganizationNameKey = QStringLiteral("organization/name");
inline const QString kUtmEndpointsKey = QStringLiteral("utm/endpoints");
inline const QString kLegacyUtmEndpointKey = QStringLiteral("utm/endpoint");
inline const QString kUpdateLastVersionKey = QStringLiteral("update/lastVersion");
inline const QString kUpdateLastAttemptAtKey = QStringLiteral("update/lastAttemptAt");

// Name of the entry that starts the agent at logon (kRunKeyPath holds it on Windows).
inline const QString kRunValueName = QStringLiteral("TellvaneOrvAgent");

} // namespace Orv
