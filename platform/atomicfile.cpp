#include "platform/atomicfile.h"

#include <QSaveFile>

namespace Orv {

bool replaceFileContents(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions)
{
    // Unbuffered, and each write checked: QSaveFile flushes its buffer inside commit() without
    // noticing a write that fails there (a full disk), and a short write is not an error to it,
    // so either way a stub would be renamed over the file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if ((permissions && !file.setPermissions(permissions)) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace Orv
