#include "utmhost/utmhost.h"

#include "core/util.h"
#include "utmhost/payloaddownloader.h"

#include <QDir>
#include <QNetworkAccessManager>

namespace Orv {
namespace {

constexpr int kRefreshWatchedMs = 10000;
constexpr int kRefreshIdleMs = 60000;
constexpr int kSamplerMs = 2000;

int refreshIntervalMs(bool watching)
{
    return watching ? kRefreshWatchedMs : kRefreshIdleMs;
}

} // namespace

UtmHost::UtmHost(UtmHostConfig config, IHostShell *shell, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_shell(shell)
    , m_network(std::make_unique<QNetworkAccessManager>())
    , m_downloader(std::make_unique<PayloadDownloader>(m_network.get()))
    , m_metrics(std::make_unique<HostMetrics>())
{
    if (m_config.wslConfigPath.isEmpty())
        m_config.wslConfigPath = QDir::homePath() + QStringLiteral("/.wslconfig");
    if (!m_config.dataDir.isEmpty())
        QDir().mkpath(m_config.dataDir);

    connect(&m_refreshTimer, &QTimer::timeout, this, &UtmHost::refresh);
    connect(&m_retryTimer, &QTimer::timeout, this, &UtmHost::refresh);
    connect(&m_samplerTimer, &QTimer::timeout, this, &UtmHost::sampleResources);
    m_samplerTimer.setInterval(kSamplerMs);
    m_retryTimer.setSingleShot(true);
}

UtmHost::~UtmHost()
{
    shutdown();
}

void UtmHost::start()
{
    m_shuttingDown = false;
    sampleResources();
    m_refreshTimer.start(refreshIntervalMs(m_watching));
    refresh();
}

void UtmHost::shutdown()
{
    m_shuttingDown = true;
    // Whatever was under way is abandoned: the runs killed below may still report, and their
    // completions must not carry on a cycle or an operation.
    dropRequestsInFlight();
    m_busyText.clear();
    // An installation cut short leaves nothing it could vouch for, and while the phase says
    // installing no refresh would run again: the next start finds out what is there.
    if (m_status.phase == Installing)
        setPhase(Checking, QString());
    m_status.installStep.clear();
    m_status.installProgress = -1.0;
    m_refreshTimer.stop();
    m_samplerTimer.stop();
    m_retryTimer.stop();
    m_downloader->abort();
    m_shell->stopBackground();
    m_shell->killAll();
}

void UtmHost::setWatching(bool on)
{
    if (on == m_watching)
        return;
    m_watching = on;
    if (m_shuttingDown)
        return;
    m_refreshTimer.start(refreshIntervalMs(on));
    if (on) {
        sampleResources();
        m_samplerTimer.start();
        refresh();
    } else {
        m_samplerTimer.stop();
    }
}

void UtmHost::dropRequestsInFlight()
{
    ++m_epoch;
    m_refreshing = false;
    m_refreshPending = false;
}

void UtmHost::setPhase(Phase phase, const QString &problem)
{
    m_status.phase = phase;
    m_status.problem = problem;
}

bool UtmHost::refusedWhileBusy()
{
    if (m_busyText.isEmpty())
        return false;
    emit operationFinished(false, QStringLiteral("Подождите: %1").arg(m_busyText));
    return true;
}

bool UtmHost::beginOperation(const QString &text)
{
    if (refusedWhileBusy())
        return false;
    if (m_status.phase != Running) {
        emit operationFinished(false, kMsgNotReady);
        return false;
    }
    m_busyText = text;
    emit statusChanged();
    return true;
}

void UtmHost::finishOperation(bool ok, const QString &message)
{
    logItems(ok ? Info : Warn, QStringLiteral("хост УТМ:"), message);
    m_busyText.clear();
    // Counted before the refresh below starts: that cycle is the first to see the change.
    ++m_operationsFinished;
    emit operationFinished(ok, message);
    refresh();
}

QString UtmHost::failureText(const QString &step, const ShellResult &result) const
{
    logItems(Warn, QStringLiteral("хост УТМ:"), step, QStringLiteral("—"),
             LogTail{result.failureText()});
    return QStringLiteral("%1. %2").arg(step, kMsgSeeAgentLog);
}

UtmVm *UtmHost::findVm(int number)
{
    for (UtmVm &vm : m_status.vms) {
        if (vm.number == number)
            return &vm;
    }
    return nullptr;
}

QString UtmHost::wslPath() const
{
    return m_shell->resolveTool(QStringLiteral("wsl"));
}

ShellCommand UtmHost::wslCommand(const QStringList &arguments, int timeoutMs) const
{
    ShellCommand command;
    command.program = wslPath();
    command.arguments = arguments;
    command.timeoutMs = timeoutMs;
    return command;
}

ShellCommand UtmHost::distroScriptCommand(const QString &script, int timeoutMs) const
{
    ShellCommand command = wslCommand(
        {QStringLiteral("-d"), m_config.distroName, QStringLiteral("-u"), QStringLiteral("root"),
         QStringLiteral("--"), QStringLiteral("bash"), QStringLiteral("-s")},
        timeoutMs);
    command.stdinData = script.toUtf8();
    return command;
}

} // namespace Orv
