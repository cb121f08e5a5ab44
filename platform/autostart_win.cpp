#include "platform/autostart.h"

#include <QSettings>

namespace Orv {

namespace {

QSettings runKey()
{
    return QSettings(kRunKeyPath, QSettings::NativeFormat);
}

} // namespace

bool hasAutostartEntry(const QString &name)
{
    return runKey().contains(name);
}

QString autostartEntry(const QString &name)
{
    return runKey().value(name).toString();
}

void writeAutostartEntry(const QString &name, const QString &commandLine)
{
    runKey().setValue(name, commandLine);
}

void removeAutostartEntry(const QString &name)
{
    runKey().remove(name);
}

} // namespace Orv
