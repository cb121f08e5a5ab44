#include "platform/userprivate.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

#include <utility>

namespace Orv {
namespace {

constexpr QFile::Permissions kPrivateFolder =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kPrivateFile = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

bool makePrivatePath(const QString &folder)
{
    // Level by level, so that no folder made here is ever open to others, not even for a moment.
    QStringList missing;
    for (QString level = QDir::cleanPath(QDir(folder).absolutePath()); !QFileInfo::exists(level);
         level = QFileInfo(level).path())
        missing.prepend(level);
    for (const QString &level : std::as_const(missing))
        QDir().mkdir(level, kPrivateFolder);
    return QFileInfo(folder).isDir();
}

void makePrivate(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        QFile::setPermissions(path, info.isDir() ? kPrivateFolder : kPrivateFile);
}

bool openPrivate(QFile &file, QIODevice::OpenMode mode)
{
    return file.open(mode, kPrivateFile);
}

QString userChannel(const QString &name)
{
    // Qt hands out the runtime folder only when it is the user's own and 0700, making one in the
    // temporary folder when the session has none; a socket in the shared temporary folder itself
    // could be planted by anyone.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? QString() : folder + u'/' + name;
}

QString userName()
{
    const QString name = qEnvironmentVariable("USERNAME");
    if (!name.isEmpty())
        return name;
    if (const passwd *account = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(account->pw_name);
    return QString::number(::geteuid());
}

} // namespace Orv
