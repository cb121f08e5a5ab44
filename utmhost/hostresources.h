#pragma once

#include "platform/systeminfo.h"

#include <QString>
#include <QtGlobal>

#include <functional>

namespace Orv {

// What the host page shows of the PC and of WSL. Shares run 0..1, -1.0 while not measured;
// sizes are bytes, 0 while not measured.
struct HostResources
{
    double cpuLoad = -1.0; // share of processor time in use since the previous sample
    int logicalCpus = 0;
    QString cpuName;
    qint64 memoryTotal = 0;
    qint64 memoryAvailable = 0;
    qint64 diskFree = 0;        // available to the user on the volume of the host's data
    qint64 wslLimit = 0;        // memory WSL may take: .wslconfig, else half the physical memory
    bool wslConfigured = false; // .wslconfig sets the limit
    bool distroRunning = false; // the distribution answered the last status request
    qint64 wslTotal = 0;        // MemTotal inside the distribution
    qint64 wslAvailable = 0;    // MemAvailable inside the distribution
    qint64 vmsMemory = 0;       // resident memory of all VMs together
};

// What one VM is reckoned to take: 300 MiB.
constexpr qint64 kPerVmBytes = 314572800;

// How many more VMs fit and what limits the number.
struct HostCapacity
{
    enum Limit { WindowsMemory = 0, WslMemory = 1, VmNumbers = 2 };

    int more = 0;
    int limit = WindowsMemory;
    qint64 perVmBytes = kPerVmBytes;
};

// Bytes available to the user on the volume that holds `path`; negative when it cannot be told.
qint64 availableDiskSpace(const QString &path);

// Where HostMetrics reads the system from; tests hand in functions of their own.
struct SystemInfoSource
{
    std::function<QString()> processorName = &Orv::processorName;
    std::function<bool(MemoryStatus *)> memoryStatus = &readMemoryStatus;
    std::function<bool(ProcessorTimes *)> processorTimes = &readProcessorTimes;
    std::function<qint64(const QString &path)> diskSpace = &availableDiskSpace;
};

// Samples the PC's side of HostResources. The processor name is read once, at construction; the
// processor load of a sample covers the time since the previous successful one, so the first
// sample only sets the baseline.
class HostMetrics
{
public:
    explicit HostMetrics(SystemInfoSource source = {});

    QString cpuName() const { return m_cpuName; }

    // Refreshes processor, memory and disk fields of `into` (the disk is the volume of
    // `diskPath`); a reading that fails leaves its fields as they were.
    void sample(HostResources *into, const QString &diskPath);

private:
    SystemInfoSource m_source;
    QString m_cpuName;
    quint64 m_previousIdle = 0;
    quint64 m_previousTotal = 0;
};

// How many VMs of kPerVmBytes fit into `bytes`; 0 for none or less.
int vmSlotsFor(qint64 bytes);

// How many more VMs fit: the tighter of free Windows memory and WSL's memory, less the `pending`
// VMs that will soon take their share, at most `slotsLeft` (the VM numbers still free).
HostCapacity estimateCapacity(const HostResources &resources, int pending, int slotsLeft);

} // namespace Orv
