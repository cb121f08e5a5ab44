#include "utmhost/hostresources.h"

#include <QStorageInfo>
#include <QThread>

#include <algorithm>
#include <limits>

namespace Orv {
namespace {

constexpr qint64 kMiB = 1048576;
// What Windows and the till software keep, and the extra a stopped distribution will take.
constexpr qint64 kWindowsReserve = 512 * kMiB;
constexpr qint64 kDistroStartReserve = 100 * kMiB;
// What the distribution needs besides its VMs: while it runs, of its free memory; else of its
// whole limit.
constexpr qint64 kWslRunningReserve = 128 * kMiB;
constexpr qint64 kWslLimitReserve = 228 * kMiB;
constexpr int kNoBound = std::numeric_limits<int>::max();

} // namespace

qint64 availableDiskSpace(const QString &path)
{
    const QStorageInfo disk(path);
    return disk.isValid() ? disk.bytesAvailable() : -1;
}

HostMetrics::HostMetrics(SystemInfoSource source)
    : m_source(std::move(source))
    , m_cpuName(m_source.processorName().simplified())
{}

void HostMetrics::sample(HostResources *into, const QString &diskPath)
{
    into->cpuName = m_cpuName;
    into->logicalCpus = QThread::idealThreadCount();

    const qint64 diskFree = m_source.diskSpace(diskPath);
    if (diskFree >= 0)
        into->diskFree = diskFree;

    MemoryStatus memory;
    if (m_source.memoryStatus(&memory)) {
        into->memoryTotal = memory.total;
        into->memoryAvailable = memory.available;
    }

    ProcessorTimes times;
    if (!m_source.processorTimes(&times))
        return;
    if (m_previousTotal != 0 && times.total > m_previousTotal) {
        const double total = double(times.total) - double(m_previousTotal);
        const double idle = double(times.idle) - double(m_previousIdle);
        into->cpuLoad = std::clamp((total - idle) / total, 0.0, 1.0);
    }
    m_previousIdle = times.idle;
    m_previousTotal = times.total;
}

int vmSlotsFor(qint64 bytes)
{
    if (bytes < 1)
        return 0;
    // More memory than an int counts of VMs is no bound at all.
    return int(std::min<qint64>(bytes / kPerVmBytes, kNoBound));
}

HostCapacity estimateCapacity(const HostResources &resources, int pending, int slotsLeft)
{
    HostCapacity capacity;
    const qint64 startReserve = resources.distroRunning ? 0 : kDistroStartReserve;
    const int windowsRoom = vmSlotsFor(resources.memoryAvailable - kWindowsReserve - startReserve);
    int wslRoom = kNoBound;
    if (resources.distroRunning && resources.wslAvailable > 0)
        wslRoom = vmSlotsFor(resources.wslAvailable - kWslRunningReserve);
    else if (resources.wslLimit >= 1)
        wslRoom = vmSlotsFor(resources.wslLimit - kWslLimitReserve);

    capacity.limit = wslRoom < windowsRoom ? HostCapacity::WslMemory : HostCapacity::WindowsMemory;
    capacity.more = std::max(0, std::min(wslRoom, windowsRoom) - std::max(0, pending));
    if (slotsLeft < capacity.more) {
        capacity.limit = HostCapacity::VmNumbers;
        capacity.more = std::max(0, slotsLeft);
    }
    return capacity;
}

} // namespace Orv
