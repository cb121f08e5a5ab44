#include "app/filelog.h"

#include "core/util.h"
#include "platform/userprivate.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

namespace Orv {
namespace {

constexpr qint64 kRotateAboveBytes = 0x500000;

} // namespace

QString logFilePath()
{
    return dataDir() + QStringLiteral("/agent.log");
}

void messageHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // A warning raised by the file calls below does not come back here on this thread: Qt's message
    // output sends a message raised inside a handler to the console instead, so the lock below
    // cannot be taken twice by one thread.
    static QMutex mutex;
    // Kept open between messages, unbuffered: each line still reaches the system before the call
    // returns, without an open and a close per line. Never destroyed, as messages may still come
    // while the process ends.
    static QFile &file = *new QFile;
    QMutexLocker lock(&mutex);
    const QString path = logFilePath();
    const QFileInfo info(path);
    // The file at the path is no longer the one held open (removed, replaced, another data
    // folder): lines go to the file at the path.
    if (file.isOpen() && (file.fileName() != path || !info.exists() || info.size() != file.size()))
        file.close();
    if (info.size() > kRotateAboveBytes) {
        // Either step may fail (no old generation, the file held by another program); the
        // message is then appended to the large file and the next one tries again.
        file.close();
        const QString previous = path + QStringLiteral(".1");
        QFile::remove(previous);
        QFile::rename(path, previous);
    }
    if (!file.isOpen()) {
        file.setFileName(path);
        if (!openPrivate(file, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text |
                                   QIODevice::Unbuffered))
            return;
    }
    file.write(message.toUtf8() + '\n');
}

} // namespace Orv
