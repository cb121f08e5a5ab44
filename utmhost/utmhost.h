#pragma once

#include "utmhost/hostrecords.h"
#include "utmhost/hostresources.h"
#include "utmhost/hostsetup.h"
#include "utmhost/processshell.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace Orv {

class PayloadDownloader;
struct PayloadFile;
struct PayloadManifest;
namespace SmartCard {
struct ReaderInfo;
}

// Texts the host's parts share.
inline const QString kMsgTokenNotPassed = QStringLiteral(
    "Носитель не передаётся в VM: компьютер не настроен для этой модели носителя — нажмите "
    "«Настроить компьютер»");
inline const QString kMsgSeeAgentLog = QStringLiteral("Подробности — в журнале агента");
inline const QString kMsgNeedWindowsComponents = QStringLiteral(
    "Компьютер не настроен для VM: нужны компоненты Windows. Нажмите «Настроить компьютер» — "
    "Windows один раз спросит разрешение администратора");
inline const QString kMsgNotReady = QStringLiteral("Компьютер ещё не готов к VM");

// How the host is set up; copied into the host at construction.
struct UtmHostConfig
{
    QString distroName = QStringLiteral("utm-desktop"); // the WSL distribution of all VMs
    QString dataDir;                                    // the host's own files
    QString manifestUrl = QStringLiteral("https://dl.parvis.ru/ferrow/utmhost/manifest.json");
    QString wslConfigPath; // the user's .wslconfig; empty: the one in the home folder
    // Whether a Windows port is free; empty: a listen on the local host decides.
    std::function<bool(int port)> portProbe;
    // The PC/SC readers, filling `error` on failure; empty: the system's readers are scanned.
    std::function<QList<SmartCard::ReaderInfo>(QString *error)> readerScan;
};

// What the host knows about the machine, read field by field by its controller.
struct UtmHostStatus
{
    int phase = 0;      // UtmHost::Phase
    QString problem;    // shown with NoWsl and Error
    QString wslVersion; // empty until WSL told it
    bool distroRunning = false;
    QString systemdState;
    QString installStep;
    double installProgress = -1.0; // 0..1 while a download runs
    QStringList images;
    QString manifestImageRef;
    bool usbipdFound = false;
    bool setupNeedsAdmin = false;
    bool rebootPending = false;
    QString setupReason;
    QList<UtmVm> vms;
    QList<HostToken> tokens;
    QDateTime lastRefresh; // UTC; invalid before the first refresh
};

// The engine of host mode: keeps the state of WSL, its distribution and the VMs in it, learns it
// by a refresh cycle of outside programs run through `shell`, and runs one user operation at a
// time. Starts nothing until `start` (or `setWatching(true)`); after `shutdown` nothing runs and no
// earlier completion has any effect until `start`. Everything happens on the GUI thread.
class UtmHost : public QObject
{
    Q_OBJECT

public:
    enum Phase : int {
        Checking = 0,
        NoWsl = 1,
        NotInstalled = 2,
        Installing = 3,
        Starting = 4,
        Running = 5,
        Error = 6,
    };

    // `shell` is not owned and must outlive the host.
    UtmHost(UtmHostConfig config, IHostShell *shell, QObject *parent = nullptr);
    ~UtmHost() override;

    const UtmHostConfig &config() const { return m_config; }
    const UtmHostStatus &status() const { return m_status; }
    // The user operation under way; empty when idle.
    QString busyText() const { return m_busyText; }
    bool watching() const { return m_watching; }

    void start();
    // Stops the timers, the keep-alive and every program in flight. Safe to call again.
    void shutdown();
    // The host page is shown: refresh more often and sample the resources meanwhile.
    void setWatching(bool on);
    // Starts a refresh cycle; during one, asks for one more; while installing, does nothing.
    void refresh();

    // Installs the distribution (when there is none) and the УТМ image the manifest names.
    void install();
    // Moves every real VM onto the УТМ image the manifest names, then deletes unused old images.
    void updateImage();
    // Unregisters the distribution with every VM and its УТМ database, and deletes its folder.
    void removeHost();

    // The last resource sample with the WSL memory limit of the user's .wslconfig (read anew),
    // else half of the physical memory.
    HostResources resources() const;
    // How many more VMs fit now.
    HostCapacity capacity() const;
    // The sentence that names what limits the number of further VMs.
    static QString memoryText(const HostCapacity &capacity, const HostResources &resources);
    // A size for the page, in Russian: whole МБ while they round below 1000, else ГБ with one
    // decimal while that rounds below 10.
    static QString formatSize(qint64 bytes);

    // VMs. A change writes the VM's files in the distribution and ends with operationFinished
    // and a refresh; only that refresh brings the VM list up to date, and until it has, the
    // operations that look at the list are refused. A number no VM has does nothing.
    void createVm(const QString &name);
    void createTestVm(const QString &name, const QString &inn);
    void startVm(int number);
    void stopVm(int number);
    void renameVm(int number, const QString &name);
    void setVmOnline(int number, bool online);
    void removeVm(int number);
    // Answers with logsReady, whatever runs meanwhile. Only the latest request is answered: an
    // answer that a later request overtook is dropped, so a late one never stands for another VM.
    void loadLogs(int number);

    // Tokens: gives the token plugged in at `busId` to VM `number`, or takes the VM's away.
    void assignToken(int number, const QString &busId);
    void releaseToken(int number);

signals:
    void statusChanged();
    void resourcesChanged();
    void operationFinished(bool ok, const QString &message);
    void logsReady(int number, const QString &text);
    void vmOnlineChanged(const QString &endpoint, bool online);

private:
    friend class TestUtmHost;
    friend class TestHostController;

    // The guard of every user operation: false (and the refusal reported) while another one runs
    // or before the host is running.
    bool beginOperation(const QString &text);
    // Ends the operation under way, reports it and refreshes.
    void finishOperation(bool ok, const QString &message);
    // The user's text for a failed step ("<step>. see the log"); the details go to the log.
    QString failureText(const QString &step, const ShellResult &result) const;
    void setPhase(Phase phase, const QString &problem);
    // The VM with that number, or null; valid until the VM list changes.
    UtmVm *findVm(int number);
    QString wslPath() const;
    ShellCommand wslCommand(const QStringList &arguments, int timeoutMs) const;
    // `script` run as root by bash inside the distribution, read from standard input.
    ShellCommand distroScriptCommand(const QString &script, int timeoutMs) const;
    // Every completion the host hands to the shell, the downloader or a timer goes through this:
    // it reaches `step` only while the host lives and only when neither a shutdown nor the start
    // of an installation came between the request and its end.
    template<typename Step> auto guarded(Step step)
    {
        return [self = QPointer<UtmHost>(this), epoch = m_epoch,
                step = std::move(step)](const auto &...arguments) {
            if (self && self->m_epoch == epoch)
                step(arguments...);
        };
    }
    // Forgets the refresh cycle and every request in flight: their completions are dropped.
    void dropRequestsInFlight();
    // True, with the refusal reported, while another user operation runs.
    bool refusedWhileBusy();

    // The refresh cycle, one step per completion.
    void readVersion();
    void versionRead(const ShellResult &result);
    void readList();
    void listRead(const ShellResult &result);
    void readDistroStatus();
    void distroStatusRead(const ShellResult &result);
    void refreshDone();
    // Tells the agent, after a report, the address of every VM with whether it is to be listed
    // (exactly while the VM is online), and takes the addresses of vanished VMs off, so that no
    // failed operation leaves the agent's list and the VMs apart.
    void syncVmAddresses();
    void ensureKeepalive();
    void keepaliveExited(const ShellResult &result);
    // Samples the PC's processor, memory and the disk of the data folder.
    void sampleResources();

    // Installation, image update and host removal. A failure of any of their steps ends the
    // operation through `installFailed`, under the heading `m_failureTitle`.
    friend class TestUtmHostInstall;
    using ManifestStep = std::function<void(const PayloadManifest &)>;
    // The whole installation; with `then` it runs inside the caller's operation and `then` runs
    // after the refresh that follows its success (a failure drops it).
    void startInstall(std::function<void()> then);
    void installDone(const std::function<void()> &then);
    void fetchManifest(ManifestStep then);
    // Downloads `file` with progress under `step`; may go on within the call when it is there.
    void downloadFile(const QString &step, const PayloadFile &file, std::function<void()> then);
    QString downloadPath(const PayloadFile &file) const;
    QString distroFolder() const;
    void importDistro(const PayloadManifest &manifest, std::function<void()> then);
    // Goes on once PID 1 of the distribution is systemd and the system is up; gives up after
    // the fourth check.
    void waitDistroReady(int attempt, std::function<void()> then);
    void loadManifestImage(const PayloadManifest &manifest, std::function<void()> then);
    // Makes `file` the podman image `tag`, unless the distribution has it already.
    void loadImage(const PayloadFile &file, const QString &tag, std::function<void()> then);
    void tagLoadedImage(const QString &loaded, const QString &path, const QString &tag,
                        std::function<void()> then);
    void installFailed(const QString &detail);
    // Emits statusChanged only when the text or the whole percentage changes.
    void setInstallStep(const QString &step, double progress);
    // The image for a new VM (the manifest's when present, else the last by name), or empty.
    QString runtimeImageRef() const;
    QString mockImageRef() const;
    void moveVmsToImage(QList<UtmVm> remaining, const QString &imageRef, bool hadImage);
    void pruneOldImages(const QString &imageRef, bool hadImage);

    // VMs.
    friend class TestUtmHostVms;
    // False (and the refusal reported) while the VM list may miss the last operation's change.
    bool vmListCurrent();
    // The VM that a change of an existing one starts from, when the list may be used.
    const UtmVm *vmToChange(int number);
    // Picks the VM's number and name and tests its Windows ports; false when it reported a
    // refusal.
    bool nextVmNumber(UtmVm &vm, const QString &name);
    bool checkPortsFree(const UtmVm &vm, QString &error) const;
    // A real VM's record that a write cut short left without its image gets the image a new VM
    // would get (and the usual Java options when it lost them too); the result is the notice the
    // user gets about it, empty when nothing was mended.
    QString mendRecord(UtmVm &vm) const;
    // Writes and applies the VM (a VmScriptAction), a damaged record mended, and ends the
    // operation; `done` runs first, only on success.
    void writeVm(const UtmVm &vm, int action, const QString &message, bool checkPorts,
                 const std::function<void()> &done);
    void writeTestVm(UtmVm vm, const QString &imageRef);
    // The guard and the write every change of a listed VM (`found`; none: nothing happens)
    // shares; `change` turns the listed record into the one to write.
    void changeVm(const UtmVm *found, const QString &busyText,
                  const std::function<void(UtmVm &)> &change, int action, const QString &message,
                  const std::function<void()> &done = nullptr);

    // Tokens. readTokens is the last step of every refresh that gets as far as the
    // distribution: it reads usbipd's devices, then ends the cycle.
    void readTokens();
    void tokensRead(const ShellResult &result);
    void parseTokens();
    void checkPcsc();
    void reattachTokens();
    void reattachDone(const UtmVm &vm, const ShellResult &result);
    void onTokenAttached(const UtmVm &vm, const QString &description);

    UtmHostConfig m_config;
    IHostShell *m_shell;
    // Declared in the order of creation: destroyed metrics first, the network last.
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<PayloadDownloader> m_downloader;
    std::unique_ptr<HostMetrics> m_metrics;
    QTimer m_refreshTimer{this};
    QTimer m_samplerTimer{this};
    QTimer m_retryTimer{this};
    UtmHostStatus m_status;
    HostResources m_resources;
    QString m_busyText;
    bool m_watching = false;
    bool m_refreshing = false;
    bool m_refreshPending = false;
    bool m_shuttingDown = false;
    int m_keepaliveDelayMs = 0;
    // Token serial to the problem shown on the VM that holds it.
    QHash<QString, QString> m_tokenProblems;
    // Run once by the end of the first refresh with nothing pending.
    std::function<void()> m_afterRefresh;
    // Counts shutdowns and fresh installations: completions of requests made before the latest
    // one are dropped.
    quint64 m_epoch = 0;

    // Installation, image update and host removal.
    QString m_failureTitle;
    int m_systemdRetryMs = 2000;

    // VMs: finished operations counted, as the running cycle found them at its start and as the
    // VM list reflects them; the list is current while the last two agree.
    quint64 m_operationsFinished = 0;
    quint64 m_cycleOperations = 0;
    quint64 m_listOperations = 0;
    // The latest request for a VM's journal.
    quint64 m_logsRequest = 0;
    // The VMs' addresses as the last re-sync with the agent's list found them.
    QStringList m_vmAddresses;

    // Tokens: when each serial was last attached without being asked, the tokens without serial
    // already warned about (by InstanceId) and the PC/SC readers already reported.
    QHash<QString, QDateTime> m_reattachTimes;
    QSet<QString> m_warnedTokens;
    QSet<QString> m_loggedReaders;

    // Setting the computer up: the elevated step, the verdict on what is still needed, and the
    // resumption after the restart a set-up asked for.
public:
    // The user's one request to make the PC ready: at most two elevated steps and one
    // installation, until the host runs or something needs the user.
    void setup();
    QString setupResultPath() const;

private:
    // The next step of the set-up, from the phase the last refresh found.
    void continueSetup();
    void finishSetup();
    // Runs the built-in script elevated; `then` runs after the refresh that follows a step that
    // ended well and needs no restart. Inside the set-up's operation only.
    void runAdminStep(const std::function<void()> &then);
    void adminStepEnded(const ShellResult &result, const std::function<void()> &then,
                        const QDateTime &launchedAt);
    // Takes in "setup.json" when it holds a result, with every token model allowed so far.
    void readSetupState();
    // Once per process: starts the set-up again after Windows restarted for it.
    void resumeAfterReboot();

    HostSetupResult m_setupResult;
    int m_adminAttempts = 0;
    bool m_setupInstalled = false; // the set-up under way has run its one installation
    bool m_resumeTried = false;
};

} // namespace Orv
