// Stands in for the Windows system information behind the host's resource meter (the processor
// name in the registry, GlobalMemoryStatusEx, GetSystemTimes, GetTickCount64) with what Linux
// tells in /proc and through CLOCK_BOOTTIME. How it differs: the name is the first "model name"
// of /proc/cpuinfo (none on processors whose kernel does not report one); available memory is
// the kernel's MemAvailable estimate; processor times are the kernel's ticks (usually 10 ms
// steps) scaled to 100-nanosecond units, with I/O wait counted as idle.
#include "platform/systeminfo.h"

#include "platform/procinfo.h"

#include <QFile>

#include <time.h>
#include <unistd.h>

namespace Orv {
namespace {

// Files under /proc report no size; QFile reads them to their end all the same.
QByteArray procText(const char *path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QString processorName()
{
    return cpuInfoModelName(procText("/proc/cpuinfo"));
}

bool readMemoryStatus(MemoryStatus *status)
{
    return parseMemInfo(procText("/proc/meminfo"), status);
}

bool readProcessorTimes(ProcessorTimes *times)
{
    return parseProcStat(procText("/proc/stat"), sysconf(_SC_CLK_TCK), times);
}

qint64 millisecondsSinceBoot()
{
    timespec now = {};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return 0;
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace Orv
