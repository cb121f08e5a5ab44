#include "platform/userprivate.h"

#include <QDir>

namespace Orv {

bool makePrivatePath(const QString &folder)
{
    return QDir().mkpath(folder);
}

void makePrivate(const QString &) {}

bool openPrivate(QFile &file, QIODevice::OpenMode mode)
{
    return file.open(mode);
}

QString userChannel(const QString &name)
{
    return name;
}

QString userName()
{
    return qEnvironmentVariable("USERNAME");
}

} // namespace Orv
