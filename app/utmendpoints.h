#pragma once

#include <QString>
#include <QStringList>

class QSettings;

namespace Orv {

// The normal form of a УТМ address as the user typed it: trimmed, "http://" when no scheme is
// given, no trailing slashes, and ":8080" right after the host when no port is given. Case, host
// and path stay as typed. Blank input gives an empty text. Normalising twice changes nothing.
QString normalizeUtmEndpoint(const QString &text);

// The stored address list, in the order added; empty when the key is absent.
QStringList readUtmEndpoints(const QSettings &settings);
// Stores the list; an empty list removes the key instead.
void storeUtmEndpoints(QSettings &settings, const QStringList &endpoints);
// Moves the single address of older versions into the list when there is none yet, as stored,
// and removes the old key in every case.
void migrateLegacyUtmEndpoint(QSettings &settings);

} // namespace Orv
