// The refresh cycle: WSL's version, its distributions, the keep-alive of ours, its status report.
#include "utmhost/utmhost.h"

#include "core/util.h"
#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace Orv {
namespace {

constexpr int kWslQueryTimeoutMs = 20000;
constexpr int kStatusTimeoutMs = 30000;
constexpr int kKeepaliveFirstDelayMs = 5000;
constexpr int kKeepaliveLongestDelayMs = 60000;

const QString kMsgDistroSilent = QStringLiteral("Среда VM не отвечает");
const QString kMsgWslSilent = QStringLiteral("WSL не отвечает");

// The VMs' memory together; a sum beyond what the number holds stays at its largest.
qint64 memoryOf(const QList<UtmVm> &vms)
{
    constexpr qint64 most = std::numeric_limits<qint64>::max();
    qint64 total = 0;
    for (const UtmVm &vm : vms) {
        const qint64 memory = qMax<qint64>(0, vm.memory);
        total = memory > most - total ? most : total + memory;
    }
    return total;
}

} // namespace

void UtmHost::refresh()
{
    if (m_shuttingDown)
        return;
    if (m_refreshing) {
        m_refreshPending = true;
        return;
    }
    // The installation owns the distribution until it ends and refreshes by itself.
    if (m_status.phase == Installing)
        return;
    m_refreshing = true;
    m_cycleOperations = m_operationsFinished;
    if (wslPath().isEmpty()) {
        setPhase(NoWsl, kMsgNeedWindowsComponents);
        refreshDone();
        return;
    }
    // Once known, the version stays until the setup step asks for it again.
    if (m_status.wslVersion.isEmpty())
        readVersion();
    else
        readList();
}

void UtmHost::readVersion()
{
    m_shell->run(wslCommand({QStringLiteral("--version")}, kWslQueryTimeoutMs),
                 guarded([this](const ShellResult &result) { versionRead(result); }));
}

void UtmHost::versionRead(const ShellResult &result)
{
    const QString version =
        result.succeeded() ? extractVersion(decodeProcessOutput(result.out)) : QString();
    if (version.isEmpty()) {
        setPhase(NoWsl, kMsgNeedWindowsComponents);
        refreshDone();
        return;
    }
    m_status.wslVersion = version;
    readList();
}

void UtmHost::readList()
{
    m_shell->run(
        wslCommand({QStringLiteral("--list"), QStringLiteral("--verbose")}, kWslQueryTimeoutMs),
        guarded([this](const ShellResult &result) { listRead(result); }));
}

void UtmHost::listRead(const ShellResult &result)
{
    const QString text = decodeProcessOutput(result.out);
    // Only a list tells that the distribution is gone. A list that failed or ran out of time
    // tells nothing about it, and what the last good cycle found stays, the keep-alive too.
    if (!result.succeeded() &&
        !saysNoDistributions(text + QLatin1Char('\n') + decodeProcessOutput(result.err))) {
        setPhase(Error, failureText(kMsgWslSilent, result));
        readTokens();
        return;
    }
    const QList<WslDistro> rows = result.succeeded() ? parseWslList(text) : QList<WslDistro>();
    const bool listed = std::any_of(rows.cbegin(), rows.cend(), [this](const WslDistro &row) {
        return row.name == m_config.distroName;
    });
    if (!listed) {
        // An explicit stop reports no exit, so no retry follows.
        m_shell->stopBackground();
        m_status.vms.clear();
        m_status.images.clear();
        m_status.distroRunning = false;
        m_resources.distroRunning = false;
        setPhase(NotInstalled, QString());
        m_listOperations = m_cycleOperations;
        syncVmAddresses();
        readTokens();
        return;
    }
    ensureKeepalive();
    readDistroStatus();
}

void UtmHost::readDistroStatus()
{
    m_shell->run(distroScriptCommand(distroStatusScript(), kStatusTimeoutMs),
                 guarded([this](const ShellResult &result) { distroStatusRead(result); }));
}

void UtmHost::distroStatusRead(const ShellResult &result)
{
    if (!result.succeeded()) {
        // The page keeps the last good VM list beside the problem.
        setPhase(Error, failureText(kMsgDistroSilent, result));
        readTokens();
        return;
    }
    m_keepaliveDelayMs = 0;
    const DistroStatus report = parseHostStatus(QString::fromUtf8(result.out));
    m_status.systemdState = report.systemd;
    m_status.images = report.images;
    m_status.vms = report.vms;
    m_listOperations = m_cycleOperations;
    m_status.distroRunning = true;
    m_resources.distroRunning = true;
    m_resources.wslTotal = report.memTotal;
    m_resources.wslAvailable = report.memAvailable;
    m_resources.vmsMemory = memoryOf(m_status.vms);
    for (UtmVm &vm : m_status.vms) {
        vm.tokenProblem =
            vm.tokenSerial.isEmpty() ? QString() : m_tokenProblems.value(vm.tokenSerial);
    }
    const bool up =
        report.systemd == QLatin1String("running") || report.systemd == QLatin1String("degraded");
    setPhase(up ? Running : Starting, QString());
    syncVmAddresses();
    readTokens();
}

void UtmHost::syncVmAddresses()
{
    // A change under way, or one that ended after this cycle began, announces its own address;
    // the report may not show it yet, and the next cycle checks it anyway.
    if (!m_busyText.isEmpty() || m_listOperations != m_operationsFinished)
        return;
    const QStringList before = std::exchange(m_vmAddresses, {});
    for (const UtmVm &vm : std::as_const(m_status.vms)) {
        m_vmAddresses << utmBaseUrl(vm);
        emit vmOnlineChanged(m_vmAddresses.constLast(), vm.online);
    }
    // A VM no longer reported is gone: nothing answers at its address.
    for (const QString &address : before) {
        if (!m_vmAddresses.contains(address))
            emit vmOnlineChanged(address, false);
    }
}

void UtmHost::refreshDone()
{
    m_refreshing = false;
    m_status.lastRefresh = QDateTime::currentDateTimeUtc();
    readSetupState();
    const HostSetupVerdict verdict =
        HostSetup::setupVerdict(m_status, m_setupResult, bootTimeUtc());
    m_status.setupNeedsAdmin = verdict.needsAdmin;
    m_status.rebootPending = verdict.rebootPending;
    m_status.setupReason = verdict.reason;
    emit statusChanged();
    emit resourcesChanged();
    if (m_refreshPending) {
        m_refreshPending = false;
        // From the event loop: refresh must not re-enter itself.
        QTimer::singleShot(0, this, &UtmHost::refresh);
    } else if (m_afterRefresh) {
        const std::function<void()> next = std::move(m_afterRefresh);
        m_afterRefresh = nullptr;
        next();
    } else {
        resumeAfterReboot();
    }
}

void UtmHost::ensureKeepalive()
{
    if (m_shuttingDown || m_shell->isBackgroundRunning())
        return;
    logItems(Info, QStringLiteral("хост УТМ: держим дистрибуцию"), m_config.distroName);
    // A process of ours inside keeps WSL from stopping the distribution while it is idle.
    m_shell->startBackground(
        wslCommand({QStringLiteral("-d"), m_config.distroName, QStringLiteral("-u"),
                    QStringLiteral("root"), QStringLiteral("--"), QStringLiteral("sleep"),
                    QStringLiteral("infinity")},
                   0),
        guarded([this](const ShellResult &result) { keepaliveExited(result); }));
}

void UtmHost::keepaliveExited(const ShellResult &result)
{
    if (m_shuttingDown)
        return;
    m_keepaliveDelayMs =
        std::clamp(2 * m_keepaliveDelayMs, kKeepaliveFirstDelayMs, kKeepaliveLongestDelayMs);
    logItems(Warn, QStringLiteral("хост УТМ: keepalive дистрибуции завершился:"),
             LogTail{result.failureText()}, QStringLiteral("— повтор через"),
             m_keepaliveDelayMs / 1000, QStringLiteral("с"));
    m_retryTimer.start(m_keepaliveDelayMs);
}

} // namespace Orv
