// Part of the COM stand-in of non-Windows builds: where it keeps its files, and the registration
// that an installer of the provider and of its plug-in would write into the registry.

#include "platform/comstandin.h"

#include "platform/atomicfile.h"
#include "platform/cadesobjects.h"
#include "platform/userprivate.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace Orv::ComStandIn {

namespace {

constexpr auto kProviderName = u"TELLVANE stand-in provider (OpenSSL)";
constexpr auto kServerName = u"cadescom stand-in";

QString progIdKey(const QString &progId)
{
    return QStringLiteral("HKEY_CLASSES_ROOT\\%1").arg(progId);
}

QString classIdKey(const QString &classId)
{
    return QStringLiteral("HKEY_CLASSES_ROOT\\CLSID\\%1").arg(classId);
}

} // namespace

QString rootPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/tellvane-com-standin");
}

QString registryPath()
{
    return rootPath() + QStringLiteral("/registry.json");
}

QString storePath(const QString &location, const QString &name)
{
    return rootPath() + u'/' + location + u'/' + name;
}

QString testAuthorityPath()
{
    return rootPath() + QStringLiteral("/testca/ca.pem");
}

bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error)
{
    makePrivatePath(QFileInfo(path).absolutePath());
    makePrivate(rootPath()); // one made by an older version
    return replaceFileContents(path, bytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner,
                               error);
}

bool installProvider(QString *error)
{
    return setRegistryText(providerKey(), QStringLiteral("Name"), QString::fromUtf16(kProviderName),
                           error);
}

bool removeProvider(QString *error)
{
    return removeRegistryKey(providerKey(), error);
}

bool installPlugin(QString *error)
{
    for (const CadesClass &cadesClass : cadesClasses()) {
        if (!setRegistryText(progIdKey(cadesClass.progId) + QStringLiteral("\\CLSID"), {},
                             cadesClass.classId, error) ||
            !setRegistryText(classIdKey(cadesClass.classId) + QStringLiteral("\\InprocServer32"),
                             {}, QString::fromUtf16(kServerName), error))
            return false;
    }
    return true;
}

bool removePlugin(QString *error)
{
    for (const CadesClass &cadesClass : cadesClasses()) {
        if (!removeClass(cadesClass.progId, error))
            return false;
    }
    return true;
}

bool removeClass(const QString &progId, QString *error)
{
    for (const CadesClass &cadesClass : cadesClasses()) {
        if (cadesClass.progId.compare(progId, Qt::CaseInsensitive) == 0 &&
            (!removeRegistryKey(progIdKey(cadesClass.progId), error) ||
             !removeRegistryKey(classIdKey(cadesClass.classId), error)))
            return false;
    }
    return true;
}

} // namespace Orv::ComStandIn
