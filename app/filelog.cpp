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
    QMutexLocker lock(&mutex);
    const QString path = logFilePath();
    if (QFileInfo(path).size() > kRotateAboveBytes) {
        // Either step may fail (no old generation, the file held by another program); the
        // message is then appended to the large file and the next one tries again.
        const QString previous = path + QStringLiteral(".1");
        QFile::remove(previous);
        QFile::rename(path, previous);
    }
    QFile file(path);
    if (openPrivate(file, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        file.write(message.toUtf8());
        file.write("\n");
    }
}

} // namespace Orv
