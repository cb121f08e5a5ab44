#include "tests/support/logcapture.h"

#include <QMutex>

namespace Orv::Test {
namespace {

QMutex mutex;
QStringList captured;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&mutex);
    captured.append(message);
}

} // namespace

LogCapture::LogCapture()
    : m_previous(qInstallMessageHandler(collect))
{
    clear();
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

QStringList LogCapture::matching(const QString &fragment) const
{
    return lines().filter(fragment);
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

} // namespace Orv::Test
