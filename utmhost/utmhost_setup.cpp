// Setting the computer up: the elevated script, what its result means for the PC, and carrying
// the user's one request through a restart of Windows.
#include "utmhost/utmhost.h"

#include "core/util.h"

#include <QDir>
#include <QFile>

namespace Orv {
namespace {

constexpr int kExitTampered = 90; // the wrapper found other bytes than were written
constexpr int kExitRestart = 3010;
// A result written this long before the launch is taken as this run's all the same: the clocks
// of the two processes are read at different moments.
constexpr int kFreshnessSlackSecs = 5;

const QString kStepAwaitingConsent = QStringLiteral("Ждём разрешения администратора");
const QString kMsgNotDone = QStringLiteral("Настройка компьютера не завершена. %1");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QString UtmHost::setupResultPath() const
{
    return m_config.dataDir + QStringLiteral("/setup.json");
}

void UtmHost::setup()
{
    if (refusedWhileBusy())
        return;
    if (m_status.rebootPending) {
        emit operationFinished(false, m_status.setupReason);
        return;
    }
    m_busyText = QStringLiteral("Настраиваем компьютер");
    m_adminAttempts = 0;
    m_setupInstalled = false;
    emit statusChanged();
    if (m_status.phase == NoWsl)
        runAdminStep([this] { continueSetup(); });
    else
        continueSetup();
}

void UtmHost::continueSetup()
{
    const bool installNeeded = m_status.phase == NotInstalled ||
                               (m_status.phase == Running && runtimeImageRef().isEmpty());
    if (installNeeded) {
        // One installation per set-up: after one that ended well yet left no runtime image,
        // another would only download the same payload again, and again.
        if (m_setupInstalled) {
            logMessage(Warn, QStringLiteral("хост УТМ: установка прошла, но VM или образа УТМ "
                                            "так и нет — повторять её не будем"));
            installFailed(QStringLiteral("%1. %2").arg(m_status.phase == NotInstalled
                                                           ? QStringLiteral("VM не установилась")
                                                           : QStringLiteral("УТМ не установился"),
                                                       kMsgSeeAgentLog));
            return;
        }
        m_setupInstalled = true;
        startInstall([this] { continueSetup(); });
        return;
    }
    if (m_status.phase == Running) {
        if (m_status.setupNeedsAdmin && m_adminAttempts < 2)
            runAdminStep([this] { finishSetup(); });
        else
            finishSetup();
        return;
    }
    finishOperation(false, m_status.problem.isEmpty() ? kMsgNotReady : m_status.problem);
}

void UtmHost::finishSetup()
{
    // Runs after a refresh, so the verdict is that of the PC as it is now.
    finishOperation(!m_status.setupNeedsAdmin,
                    m_status.setupNeedsAdmin
                        ? m_status.setupReason
                        : QStringLiteral("Компьютер настроен — можно создавать VM"));
}

void UtmHost::runAdminStep(const std::function<void()> &then)
{
    ++m_adminAttempts;
    const QString scriptPath = m_config.dataDir + QStringLiteral("/hostsetup.ps1");
    const QByteArray script = HostSetup::loadScript();
    QFile file(scriptPath);
    if (script.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(script) != script.size()) {
        logItems(Warn, QStringLiteral("хост УТМ: не записан скрипт настройки"), scriptPath,
                 file.errorString());
        finishOperation(false, QStringLiteral("Настройка не запустилась. %1").arg(kMsgSeeAgentLog));
        return;
    }
    file.close();

    // Without SystemRoot the path would lead to whatever powershell.exe lies at the root of the
    // current drive, and that is not a program to start with administrator rights.
    const QString systemRoot = qEnvironmentVariable("SystemRoot").trimmed();
    if (systemRoot.isEmpty()) {
        logMessage(Warn, QStringLiteral("хост УТМ: не задана переменная SystemRoot, PowerShell "
                                        "не найти"));
        finishOperation(false, QStringLiteral("Настройка не запустилась. %1").arg(kMsgSeeAgentLog));
        return;
    }
    const QString powershell = QDir::toNativeSeparators(
        systemRoot + QStringLiteral("/System32/WindowsPowerShell/v1.0/powershell.exe"));

    setInstallStep(kStepAwaitingConsent, -1.0);
    logItems(Info, QStringLiteral("хост УТМ: шаг администратора, причина:"), m_status.setupReason);
    const QDateTime launchedAt = QDateTime::currentDateTimeUtc();
    m_shell->runElevated(powershell, HostSetup::elevatedCommand(scriptPath, setupResultPath()),
                         guarded([this, then, launchedAt](const ShellResult &result) {
                             adminStepEnded(result, then, launchedAt);
                         }));
    // The prompt has been answered by now where it blocks.
    if (!m_busyText.isEmpty() && m_status.installStep == kStepAwaitingConsent)
        setInstallStep(QStringLiteral("Настраиваем компьютер — обычно до минуты"), -1.0);
}

void UtmHost::adminStepEnded(const ShellResult &result, const std::function<void()> &then,
                             const QDateTime &launchedAt)
{
    setInstallStep(QString(), -1.0);
    if (!result.started) {
        // The runner's own reason tells a declined prompt from a failed start; the general text
        // for a program that did not start would not.
        const QString reason = QString::fromUtf8(result.err).trimmed();
        logItems(Warn, QStringLiteral("хост УТМ: шаг администратора не запущен:"),
                 LogTail{reason.isEmpty() ? result.failureText() : reason});
        finishOperation(false, QStringLiteral("Настройка отменена: без разрешения администратора "
                                              "компьютер не настроить"));
        return;
    }
    if (result.exitCode == kExitTampered) {
        logMessage(LogLevel::Error,
                   QStringLiteral("хост УТМ: sha256 скрипта настройки не совпал — файл подменили"));
        finishOperation(false, QStringLiteral("Файл настройки подменён — настройка не запущена"));
        return;
    }

    const QString transcript = setupResultPath() + QStringLiteral(".log");
    const HostSetupResult written = HostSetup::parseResult(readFile(setupResultPath()));
    if (!written.valid || !written.at.isValid() ||
        written.at < launchedAt.addSecs(-kFreshnessSlackSecs)) {
        logItems(Warn, QStringLiteral("хост УТМ: шаг администратора, код"), result.exitCode,
                 QStringLiteral("— итог не записан, протокол:"), transcript);
        finishOperation(false, kMsgNotDone.arg(kMsgSeeAgentLog));
        return;
    }
    // The exit code is the run's last word: a result that says "done" over a failed exit counts
    // as failed, now and whenever it is read again, and so asks for no restart.
    const bool exitedWell = result.exitCode == 0 || result.exitCode == kExitRestart;
    if (!exitedWell && written.ok && !HostSetup::markResultFailed(setupResultPath()))
        logItems(Warn, QStringLiteral("хост УТМ: итог настройки не переписан:"), setupResultPath());
    readSetupState();
    for (const HostSetupStep &step : std::as_const(m_setupResult.steps)) {
        logItems(Info, QStringLiteral("хост УТМ: настройка,"), step.name,
                 step.ok ? QStringLiteral("готово:") : QStringLiteral("не сделано:"), step.text);
    }
    if (!exitedWell) {
        logItems(Warn, QStringLiteral("хост УТМ: шаг администратора, код"), result.exitCode,
                 QStringLiteral(":"), m_setupResult.error, QStringLiteral("— протокол:"),
                 transcript);
        finishOperation(false, kMsgNotDone.arg(kMsgSeeAgentLog));
        return;
    }
    if (m_setupResult.reboot) {
        finishOperation(true, HostSetup::kMsgRestartNeeded);
        return;
    }
    // Windows components may have come with the step: WSL is asked for its version again.
    m_status.wslVersion.clear();
    m_afterRefresh = then;
    refresh();
}

void UtmHost::readSetupState()
{
    // A file missing, unreadable or of another format leaves the last result standing.
    HostSetupResult result = HostSetup::parseResult(readFile(setupResultPath()));
    if (!result.valid)
        return;
    result.autobind = HostSetup::rememberAutobind(
        m_config.dataDir + QStringLiteral("/autobind.txt"), result.autobind);
    m_setupResult = result;
}

void UtmHost::resumeAfterReboot()
{
    if (m_resumeTried || !m_busyText.isEmpty())
        return;
    // Only a refresh that found the PC settled tells what the set-up should do next.
    if (m_status.phase == Checking || m_status.phase == Starting)
        return;
    m_resumeTried = true;
    const QDateTime boot = bootTimeUtc();
    if (!m_setupResult.valid || !m_setupResult.ok || !m_setupResult.reboot || !boot.isValid() ||
        !m_setupResult.at.isValid() || boot < m_setupResult.at)
        return;
    // Remembered on disk, so that later starts of the agent leave this result alone.
    const QByteArray marker = isoUtcText(m_setupResult.at).toLatin1();
    const QString markerPath = m_config.dataDir + QStringLiteral("/setup-continued");
    if (readFile(markerPath) == marker)
        return;
    QFile file(markerPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(marker);
    logMessage(Info,
               QStringLiteral("хост УТМ: компьютер перезагружен после настройки — продолжаем"));
    setup();
}

} // namespace Orv
