// What the PC and WSL have room for, and how the page words it.
#include "utmhost/utmhost.h"

#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"

#include <QFile>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace Orv {
namespace {

constexpr qint64 kWindowsReserveBytes = 536870912; // 512 MiB for Windows and the till software

} // namespace

void UtmHost::sampleResources()
{
    m_metrics->sample(&m_resources, m_config.dataDir);
    emit resourcesChanged();
}

HostResources UtmHost::resources() const
{
    HostResources snapshot = m_resources;
    qint64 configured = 0;
    QFile wslConfig(m_config.wslConfigPath);
    if (wslConfig.open(QIODevice::ReadOnly))
        configured = parseWslConfig(QString::fromUtf8(wslConfig.readAll())).memoryBytes;
    snapshot.wslConfigured = configured > 0;
    snapshot.wslLimit = configured > 0 ? configured : snapshot.memoryTotal / 2;
    return snapshot;
}

HostCapacity UtmHost::capacity() const
{
    // VMs that will soon need their memory: meant to run with a token, not running yet.
    const auto pending =
        std::count_if(m_status.vms.cbegin(), m_status.vms.cend(), [](const UtmVm &vm) {
            return vm.enabled && !vm.tokenSerial.isEmpty() &&
                   vm.activeState != QLatin1String("active");
        });
    const int slotsLeft = kMaxVmNumber - int(m_status.vms.size());
    return estimateCapacity(resources(), int(pending), slotsLeft);
}

QString UtmHost::memoryText(const HostCapacity &capacity, const HostResources &resources)
{
    QString reason;
    switch (capacity.limit) {
    case HostCapacity::VmNumbers:
        return QStringLiteral("Больше 99 VM на одном компьютере не бывает");
    case HostCapacity::WindowsMemory:
        reason = QStringLiteral("Ограничивает свободная память Windows: %1, из них %2 оставляем "
                                "системе и кассе")
                     .arg(formatSize(resources.memoryAvailable), formatSize(kWindowsReserveBytes));
        break;
    default:
        reason = resources.distroRunning && resources.wslAvailable >= 1
                     ? QStringLiteral("Ограничивает память, выделенная под VM: свободно %1 из %2")
                           .arg(formatSize(resources.wslAvailable), formatSize(resources.wslTotal))
                     : QStringLiteral("Ограничивает память, выделенная под VM: %1")
                           .arg(formatSize(resources.wslLimit));
    }
    return QStringLiteral("%1. VM нужно около %2 — столько занимал УТМ без носителя; рабочий ещё "
                          "не мерили")
        .arg(reason, formatSize(capacity.perVmBytes));
}

QString UtmHost::formatSize(qint64 bytes)
{
    // Each unit is chosen by the figure as it will read once rounded: 999.6 MiB is 1,0 ГБ, not
    // 1000 МБ, and 9.97 GiB is 10 ГБ, not 10,0.
    const double mib = double(bytes) * 9.5367431640625e-7;
    if (std::llround(mib) < 1000)
        return QStringLiteral("%1 МБ").arg(std::llround(mib));
    const double gib = mib * 0.0009765625;
    return QStringLiteral("%1 ГБ").arg(
        QLocale(QLocale::Russian, QLocale::Russia)
            .toString(gib, 'f', std::llround(gib * 10) < 100 ? 1 : 0));
}

} // namespace Orv
