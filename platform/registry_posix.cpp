// Stands in for the Windows registry (the machine-wide 64-bit view): a JSON file under the user's
// configuration folder holding only what the stand-in COM runtime and the signer read, that is
// the signing provider key and the class registrations. Unlike the real registry it is per user,
// holds text values only, and is written whole on every change.

#include "platform/registry.h"

#include "platform/comstandin.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace Orv {

namespace {

QJsonObject readRegistry()
{
    QFile file(ComStandIn::registryPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool writeRegistry(const QJsonObject &registry, QString *error)
{
    const QString path = ComStandIn::registryPath();
    QString reason;
    if (ComStandIn::writePrivateFile(path, QJsonDocument(registry).toJson(), &reason))
        return true;
    if (error)
        *error = QStringLiteral("Не удалось записать реестр %1: %2").arg(path, reason);
    return false;
}

// Key and value names of the registry do not depend on case; `name` comes back as stored.
bool findName(const QJsonObject &object, QString *name)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key().compare(*name, Qt::CaseInsensitive) == 0) {
            *name = it.key();
            return true;
        }
    }
    return false;
}

} // namespace

QString registryText(const QString &key, const QString &name)
{
    const QJsonObject registry = readRegistry();
    QString storedKey = key;
    if (!findName(registry, &storedKey))
        return {};
    const QJsonObject values = registry.value(storedKey).toObject();
    QString storedName = name;
    return findName(values, &storedName) ? values.value(storedName).toString() : QString();
}

namespace ComStandIn {

bool setRegistryText(const QString &key, const QString &name, const QString &value, QString *error)
{
    QJsonObject registry = readRegistry();
    QString storedKey = key;
    findName(registry, &storedKey);
    QJsonObject values = registry.value(storedKey).toObject();
    QString storedName = name;
    findName(values, &storedName);
    values.insert(storedName, value);
    registry.insert(storedKey, values);
    return writeRegistry(registry, error);
}

bool removeRegistryKey(const QString &key, QString *error)
{
    QJsonObject registry = readRegistry();
    const QString below = key + u'\\';
    for (const QString &stored : registry.keys()) {
        if (stored.compare(key, Qt::CaseInsensitive) == 0 ||
            stored.startsWith(below, Qt::CaseInsensitive))
            registry.remove(stored);
    }
    return writeRegistry(registry, error);
}

} // namespace ComStandIn

} // namespace Orv
