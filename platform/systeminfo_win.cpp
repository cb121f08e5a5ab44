#include "platform/systeminfo.h"

#include "platform/registry.h"

#include <windows.h>

#include <limits>

namespace Orv {
namespace {

quint64 ticksOf(const FILETIME &time)
{
    return (quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool fitsQint64(DWORDLONG value)
{
    return value <= DWORDLONG(std::numeric_limits<qint64>::max());
}

} // namespace

QString processorName()
{
    return registryText(
        QStringLiteral("HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0"),
        QStringLiteral("ProcessorNameString"));
}

bool readMemoryStatus(MemoryStatus *status)
{
    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof(memory);
    if (!GlobalMemoryStatusEx(&memory) || !fitsQint64(memory.ullTotalPhys) ||
        !fitsQint64(memory.ullAvailPhys))
        return false;
    status->total = qint64(memory.ullTotalPhys);
    status->available = qint64(memory.ullAvailPhys);
    return true;
}

bool readProcessorTimes(ProcessorTimes *times)
{
    FILETIME idle = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetSystemTimes(&idle, &kernel, &user))
        return false;
    // Kernel time already includes the idle time.
    times->idle = ticksOf(idle);
    times->total = ticksOf(kernel) + ticksOf(user);
    return true;
}

qint64 millisecondsSinceBoot()
{
    return qint64(GetTickCount64());
}

} // namespace Orv
