#include "platform/registry.h"

#include <QSettings>

namespace Orv {

QString registryText(const QString &key, const QString &name)
{
    const QSettings settings(key, QSettings::Registry64Format);
    return settings.value(name.isEmpty() ? QStringLiteral("Default") : name).toString();
}

} // namespace Orv
