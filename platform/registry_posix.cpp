// Stands in for the Windows registry (the machine-wide 64-bit view): a JSON file under the user's
// configuration folder holding only what the stand-in COM runtime and the signer read, that is
// the signing provider key and the class registrations. Unlike the real registry it is per user,
// holds text values only, and is written whole on every change. The file is parsed once and
// again only when it changes, as every COM object the signer creates looks its class up here.

#include "platform/registry.h"

#include "platform/comstandin.h"
#include "platform/filestamp.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace Orv {

namespace {

// The registry as last read or written, with the file it came from. The stand-in serves the GUI
// thread only.
struct RegistryCopy
{
    QString path;
    ComStandIn::FileStamp stamp;
    QJsonObject registry;
};

RegistryCopy &registryCopy()
{
    static RegistryCopy copy;
    return copy;
}

QJsonObject readRegistry()
{
    RegistryCopy &copy = registryCopy();
    const QString path = ComStandIn::registryPath();
    const ComStandIn::FileStamp stamp = ComStandIn::fileStamp(path);
    if (path != copy.path || !ComStandIn::unchangedSince(copy.stamp, stamp)) {
        QFile file(path);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        copy = {path, stamp, QJsonDocument::fromJson(bytes).object()};
    }
    return copy.registry;
}

bool writeRegistry(const QJsonObject &registry, QString *error)
{
    const QString path = ComStandIn::registryPath();
    QString reason;
    if (ComStandIn::writePrivateFile(path, QJsonDocument(registry).toJson(), &reason)) {
        registryCopy() = {path, ComStandIn::fileStamp(path), registry};
        return true;
    }
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
