#include "platform/atomicfile.h"

#include <QSaveFile>

namespace Orv {

bool replaceFileContents(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions, QString *error)
{
    // Unbuffered, and each write checked: QSaveFile flushes its buffer inside commit() without
    // noticing a write that fails there (a full disk), and a short write is not an error to it,
    // so either way a stub would be renamed over the file.
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (written &&
        ((permissions && !file.setPermissions(permissions)) || file.write(bytes) != bytes.size())) {
        file.cancelWriting();
        written = false;
    }
    written = written && file.commit();
    if (!written && error)
        *error = file.errorString();
    return written;
}

} // namespace Orv
