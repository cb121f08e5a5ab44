#pragma once

#include <QString>

namespace Orv {

// A text value of the machine-wide registry in its 64-bit view, for example
// registryText("HKEY_LOCAL_MACHINE\\SOFTWARE\\...", "Name"); an empty name reads the key's default
// value. Empty when the key or the value is missing. Each call sees the value as it is now.
QString registryText(const QString &key, const QString &name);

} // namespace Orv
