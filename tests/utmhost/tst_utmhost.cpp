#include "utmhost/utmhost.h"

#include "core/util.h"
#include "tests/support/fakehostshell.h"
#include "tests/support/logcapture.h"
#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>

using Orv::Test::FakeHostShell;
using Orv::Test::LogCapture;
using Orv::Test::WslStandIn;

Q_DECLARE_METATYPE(Orv::ShellResult)

namespace Orv {
namespace {

const QString kVersion = "--version";
const QString kList = "--list --verbose";
const QString kKeepalive = "-d utm-desktop -u root -- sleep infinity";
const QString kScript = "-d utm-desktop -u root -- bash -s";
const ShellResult kVersionOut = FakeHostShell::exited(0, "WSL version: 2.3.26.0\nKernel: 5.15\n");

ShellResult listed(const QByteArray &name = "utm-desktop")
{
    return FakeHostShell::exited(0, "  NAME      STATE     VERSION\n* " + name + "  Running  2\n");
}

// A status report with one VM that holds a token.
ShellResult report(const QByteArray &systemd)
{
    return FakeHostShell::exited(0,
                                 "systemd\t" + systemd +
                                     "\nimage\tlocalhost/utm-runtime:4.2\nvm\t3\n"
                                     "meta\tTOKEN_SERIAL=A1B2\nunit\tactive\trunning\t0\t1\nend\n");
}

// Processes whose parent is this one, zombies included.
QStringList childProcesses()
{
    QStringList found;
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        // "pid (name) state ppid ..."; the name may hold anything
        const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        if (fields.mid(fields.lastIndexOf(')') + 2).split(' ').value(1) == self)
            found << pid;
    }
    return found;
}

// A set-up result as the script writes it; "@now" becomes the time the run ends.
QByteArray setupJson(const QString &ok, const QString &reboot, const QString &firewall,
                     const QString &at = "@now")
{
    return QString(R"({"format": 1, "at": "%1", "ok": %2, "reboot": %3, "firewall": "%4"})")
        .arg(at, ok, reboot, firewall)
        .toUtf8();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestUtmHost : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FakeHostShell> m_shell;
    std::unique_ptr<UtmHost> m_host;
    std::unique_ptr<QSignalSpy> m_status;

    FakeHostShell &shell() { return *m_shell; }
    UtmHost &host() { return *m_host; }
    const UtmHostStatus &status() { return m_host->status(); }

    // WSL there, the distribution listed, and its report (unanswered when `systemd` is null).
    void answerCycle(const QByteArray &systemd = "running")
    {
        shell().answer(kVersion, kVersionOut);
        shell().answer(kList, listed());
        if (!systemd.isNull())
            shell().answer(distroStatusScript(), report(systemd));
    }

    // Completes the one waiting request once it is there.
    void completeWaiting(const ShellResult &result)
    {
        QTRY_COMPARE(shell().waiting().size(), 1);
        shell().complete(shell().waiting().constFirst(), result);
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_shell = std::make_unique<FakeHostShell>();
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("utmhost");
        config.wslConfigPath = m_dir.filePath("wslconfig");
        QFile::remove(config.wslConfigPath);
        m_host = std::make_unique<UtmHost>(config, m_shell.get());
        SystemInfoSource source;
        source.memoryStatus = [](MemoryStatus *memory) {
            *memory = {qint64(32) << 30, qint64(16) << 30};
            return true;
        };
        m_host->m_metrics = std::make_unique<HostMetrics>(source);
        m_status = std::make_unique<QSignalSpy>(m_host.get(), &UtmHost::statusChanged);
    }

    void cleanup()
    {
        m_status.reset();
        m_host.reset();
        m_shell.reset();
    }

    // The cycle's commands in order, each with its own limit; the report lands in the status.
    void cycleReadsTheDistribution()
    {
        QVERIFY(QDir(m_dir.filePath("utmhost")).exists());
        QCOMPARE(UtmHost({}, &shell()).config().wslConfigPath, QDir::homePath() + "/.wslconfig");
        settle();
        QVERIFY(shell().calls.isEmpty() && !host().m_refreshTimer.isActive());

        answerCycle();
        host().m_tokenProblems.insert("A1B2", kMsgTokenNotPassed);
        QSignalSpy resources(&host(), &UtmHost::resourcesChanged);
        host().start();
        QVERIFY(m_status->wait());
        QCOMPARE(shell().lines(), (QStringList{kVersion, kList, kKeepalive, kScript}));
        QCOMPARE(shell().calls[0].command.program, QString("C:/wsl/wsl.exe"));
        QCOMPARE(shell().calls[0].command.timeoutMs, 20000);
        QCOMPARE(shell().calls[1].command.timeoutMs, 20000);
        QVERIFY(shell().calls[2].background);
        QCOMPARE(shell().calls[3].command.timeoutMs, 30000);
        QCOMPARE(shell().calls[3].command.stdinData, distroStatusScript().toUtf8());
        QCOMPARE(resources.size(), 2); // the first sample and the cycle
        QCOMPARE(status().phase, int(UtmHost::Running));
        QVERIFY(status().distroRunning);
        QCOMPARE(status().images, QStringList{"localhost/utm-runtime:4.2"});
        QCOMPARE(host().findVm(3), &host().m_status.vms[0]);
        QCOMPARE(host().findVm(4), nullptr);
        QCOMPARE(status().vms[0].tokenProblem, kMsgTokenNotPassed);
        QVERIFY(qAbs(status().lastRefresh.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        QCOMPARE(host().m_refreshTimer.interval(), 60000);

        // Known by now: no version asked, the keep-alive left running.
        host().m_tokenProblems.clear();
        host().m_refreshTimer.setSingleShot(true);
        host().m_refreshTimer.start(0);
        QVERIFY(m_status->wait());
        QCOMPARE(shell().lines().mid(4), (QStringList{kList, kScript}));
        QCOMPARE(status().vms[0].tokenProblem, QString());
        QCOMPARE(host().distroScriptCommand("echo ВМ\n", 1).stdinData,
                 QString("echo ВМ\n").toUtf8());
    }

    void phases_data()
    {
        QTest::addColumn<ShellResult>("version");
        QTest::addColumn<ShellResult>("list");
        QTest::addColumn<ShellResult>("report");
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("commands");
        const ShellResult failed = FakeHostShell::exited(1, {}, "сбой службы");
        QTest::newRow("no wsl tool")
            << kVersionOut << listed() << report("running") << int(UtmHost::NoWsl) << 0;
        QTest::newRow("version fails")
            << failed << listed() << report("running") << int(UtmHost::NoWsl) << 1;
        QTest::newRow("no version") << FakeHostShell::exited(0, "WSL\n2.3.26\n") << listed()
                                    << report("running") << int(UtmHost::NoWsl) << 1;
        QTest::newRow("other case") << kVersionOut << listed("Utm-Desktop") << report("running")
                                    << int(UtmHost::NotInstalled) << 2;
        QTest::newRow("report fails")
            << kVersionOut << listed() << failed << int(UtmHost::Error) << 4;
        QTest::newRow("degraded") << kVersionOut << listed() << report("degraded")
                                  << int(UtmHost::Running) << 4;
        QTest::newRow("starting") << kVersionOut << listed() << report("starting")
                                  << int(UtmHost::Starting) << 4;
        QTest::newRow("empty report")
            << kVersionOut << listed() << FakeHostShell::exited(0) << int(UtmHost::Starting) << 4;
    }

    void phases()
    {
        QFETCH(ShellResult, version);
        QFETCH(ShellResult, list);
        QFETCH(ShellResult, report);
        shell().answer(kVersion, version);
        shell().answer(kList, list);
        shell().answer(distroStatusScript(), report);
        if (QTest::currentDataTag() == QByteArray("no wsl tool"))
            shell().tools.clear();
        LogCapture log;
        host().start();
        QTRY_COMPARE(m_status->size(), 1);
        QTEST(status().phase, "phase");
        QTEST(int(shell().lines().size()), "commands");
        QVERIFY(!host().m_refreshing);
        const QMap<int, QString> problems{
            {UtmHost::NoWsl, kMsgNeedWindowsComponents},
            {UtmHost::Error, "Среда VM не отвечает. Подробности — в журнале агента"}};
        QCOMPARE(status().problem, problems.value(status().phase));
        QCOMPARE(log.matching("[WARN] хост УТМ: Среда VM не отвечает — сбой службы").size(),
                 QTest::currentDataTag() == QByteArray("report fails") ? 1 : 0);
    }

    // After a good cycle: an unanswered distribution, or a list that failed or ran out of time,
    // leaves the lists and the keep-alive of that cycle; a list without the distribution, or
    // wsl.exe saying (as a failure, in English, Russian or by its code) that it has none at all,
    // empties them and ends the keep-alive.
    void failedCyclesKeepOrClearTheLists()
    {
        ShellResult late = FakeHostShell::exited(-1);
        late.timedOut = true;
        const QString none = "Windows Subsystem for Linux has no installed distributions.\r\n";
        const QList<std::pair<ShellResult, QString>> lists{
            {listed(), "Среда VM не отвечает"},
            {FakeHostShell::exited(1, {}, "сбой"), "WSL не отвечает"},
            {late, "WSL не отвечает"},
            {listed("Ubuntu"), {}},
            {FakeHostShell::exited(
                 -1, QByteArray(reinterpret_cast<const char *>(none.utf16()), none.size() * 2)),
             {}},
            {FakeHostShell::exited(-1,
                                   "Нет установленных дистрибутивов подсистемы Windows для Linux."),
             {}},
            {FakeHostShell::exited(-1, "Error code: Wsl/WSL_E_DEFAULT_DISTRO_NOT_FOUND"), {}}};
        answerCycle();
        host().start();
        for (const auto &[list, problem] : lists) {
            QVERIFY(m_status->wait());
            shell().answer(kList, list);
            shell().answer(distroStatusScript(), FakeHostShell::exited(2));
            host().refresh();
            QVERIFY(m_status->wait());
            const bool kept = !problem.isEmpty();
            QCOMPARE(status().problem, kept ? problem + ". " + kMsgSeeAgentLog : QString());
            QCOMPARE(status().phase, int(kept ? UtmHost::Error : UtmHost::NotInstalled));
            QVERIFY(status().vms.size() == kept && status().images.size() == kept);
            QVERIFY(status().distroRunning == kept && shell().isBackgroundRunning() == kept);
            QCOMPARE(status().systemdState, QString("running"));
            answerCycle();
            host().refresh();
        }
        QVERIFY(!host().m_retryTimer.isActive());
    }

    // Requests during a cycle give one more, from the event loop after the first one's signals;
    // a continuation waits for the cycle that ends with nothing pending. While installing,
    // requests are dropped.
    void requestsDuringACycleCoalesce()
    {
        answerCycle();
        host().start();
        host().refresh();
        int continued = 0;
        host().m_afterRefresh = [&continued, this] {
            continued += m_status->size();
        };
        host().refresh();
        QVERIFY(m_status->wait());
        QCOMPARE(shell().lines().size() + continued, 4);
        QVERIFY(m_status->wait());
        settle();
        QCOMPARE(shell().lines().size(), 6);
        QCOMPARE(continued, 2);

        host().setPhase(UtmHost::Installing, QString());
        host().refresh();
        settle();
        QCOMPARE(shell().lines().size(), 6);
        QVERIFY(!host().m_refreshing && !host().m_refreshPending);
    }

    // Without a good report in between, each end of the keep-alive waits twice as long, from 5 s
    // up to 60 s, and the retry starts it again; a good report starts the back-off over.
    void keepaliveBacksOff()
    {
        answerCycle(QByteArray());
        shell().answer(distroStatusScript(), FakeHostShell::exited(1));
        host().start();
        QVERIFY(m_status->wait());
        LogCapture log;
        for (int delay : {5000, 10000, 20000, 40000, 60000, 60000}) {
            log.clear();
            const int cycles = m_status->size();
            shell().endBackground(FakeHostShell::exited(1, {}, "отказ"));
            QCOMPARE(host().m_retryTimer.interval(), delay);
            const QString line = "[WARN] хост УТМ: keepalive дистрибуции завершился: отказ — "
                                 "повтор через %1 с";
            QCOMPARE(log.matching(line.arg(delay / 1000)).size(), 1);
            host().m_retryTimer.start(0);
            QTRY_COMPARE(m_status->size(), cycles + 1);
            QVERIFY(shell().isBackgroundRunning());
            QCOMPARE(log.matching("[INFO] хост УТМ: держим дистрибуцию utm-desktop").size(), 1);
        }
        answerCycle();
        host().refresh();
        QVERIFY(m_status->wait());
        shell().endBackground(FakeHostShell::exited(-1));
        QCOMPARE(host().m_retryTimer.interval(), 5000);
    }

    void operationGuard()
    {
        QSignalSpy finished(&host(), &UtmHost::operationFinished);
        QVERIFY(!host().beginOperation("Создаём VM"));
        QCOMPARE(finished.takeFirst(), (QVariantList{false, kMsgNotReady}));
        QVERIFY(host().busyText().isEmpty() && m_status->isEmpty());

        answerCycle();
        host().start();
        QVERIFY(m_status->wait());
        QVERIFY(host().beginOperation("Создаём VM"));
        QCOMPARE(host().busyText(), QString("Создаём VM"));
        QCOMPARE(m_status->size(), 2);
        QVERIFY(!host().beginOperation("Удаляем VM"));
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "Подождите: Создаём VM"}));
        QCOMPARE(host().busyText(), QString("Создаём VM"));

        LogCapture log;
        const qsizetype commands = shell().calls.size();
        host().finishOperation(false, "VM не создана");
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "VM не создана"}));
        QVERIFY(host().busyText().isEmpty());
        QCOMPARE(log.matching("[WARN] хост УТМ: VM не создана").size(), 1);
        QCOMPARE(shell().calls.size(), commands + 1); // the page is brought up to date
        QVERIFY(host().beginOperation("Запускаем VM"));
        host().finishOperation(true, "VM запущена");
        QCOMPARE(log.matching("[INFO] хост УТМ: VM запущена").size(), 1);
    }

    void watchingPacesTheTimers()
    {
        answerCycle();
        QSignalSpy resources(&host(), &UtmHost::resourcesChanged);
        host().setWatching(true);
        host().setWatching(true);
        QCOMPARE(resources.size(), 1);
        QCOMPARE(host().resources().memoryTotal, qint64(32) << 30);
        QVERIFY(host().watching());
        QVERIFY(host().m_refreshTimer.isActive() && host().m_samplerTimer.isActive());
        QCOMPARE(host().m_refreshTimer.interval(), 10000);
        QCOMPARE(host().m_samplerTimer.interval(), 2000);
        QVERIFY(m_status->wait());
        QCOMPARE(shell().lines().size(), 4);
        host().m_samplerTimer.start(0);
        QTRY_VERIFY(resources.size() > 3);
        host().setWatching(false);
        QVERIFY(!host().m_samplerTimer.isActive());
        QCOMPARE(host().m_refreshTimer.interval(), 60000);

        // During a shutdown only the wish is kept; start honours it.
        host().shutdown();
        host().setWatching(true);
        QVERIFY(!host().m_refreshTimer.isActive() && !host().m_samplerTimer.isActive());
        QCOMPARE(shell().lines().size(), 4);
        host().start();
        QCOMPARE(host().m_refreshTimer.interval(), 10000);
        QCOMPARE(shell().lines().size(), 5);
    }

    // Nothing runs after a shutdown, and what it killed reports into the void: no phase, no
    // signal, no next step. A later start begins afresh; a reply after the host is gone is lost.
    void shutdownStopsEverything()
    {
        answerCycle(QByteArray());
        host().start();
        completeWaiting(report("running"));
        host().setWatching(true);
        QTRY_COMPARE(shell().waiting().size(), 1);
        shell().endBackground(FakeHostShell::exited(1));
        host().ensureKeepalive();
        QVERIFY(host().m_retryTimer.isActive() && shell().isBackgroundRunning());
        const qsizetype commands = shell().calls.size();
        const qsizetype emitted = m_status->size();

        host().shutdown();
        QVERIFY(!host().m_refreshTimer.isActive() && !host().m_samplerTimer.isActive());
        QVERIFY(!host().m_retryTimer.isActive() && !shell().isBackgroundRunning());
        settle();
        QVERIFY(shell().waiting().isEmpty());
        host().refresh();
        host().ensureKeepalive();
        host().keepaliveExited(FakeHostShell::exited(-1));
        settle();
        QCOMPARE(shell().calls.size(), commands);
        QCOMPARE(m_status->size(), emitted);
        QCOMPARE(status().phase, int(UtmHost::Running));
        QVERIFY(!host().m_retryTimer.isActive());

        host().start();
        completeWaiting(report("starting"));
        QCOMPARE(m_status->size(), emitted + 1);
        QCOMPARE(shell().lines().mid(commands), (QStringList{kList, kKeepalive, kScript}));
        host().refresh();
        QVERIFY(shell().isBackgroundRunning());
        m_host.reset();
        QVERIFY(!shell().isBackgroundRunning());
        settle();
        QCOMPARE(shell().calls.size(), commands + 4);
    }

    // The refresh and the sampler feed the snapshot; .wslconfig sets WSL's limit when it has one.
    void resourcesAndCapacity()
    {
        answerCycle(QByteArray());
        host().start();
        const QByteArray vm = "vm\t%1\nmeta\tTOKEN_SERIAL=T%1\nunit\t%2\tx\t0\t0\n"
                              "rss\t9007199254740991\nend\n";
        completeWaiting(FakeHostShell::exited(
            0, "systemd\trunning\nmem\tMemTotal\t4194304\nmem\tMemAvailable\t3145728\n" +
                   QByteArray(vm).replace("%1", "1").replace("%2", "active") +
                   QByteArray(vm).replace("%1", "2").replace("%2", "failed")));
        HostResources snapshot = host().resources();
        QCOMPARE(snapshot.memoryAvailable, qint64(16) << 30);
        QVERIFY(snapshot.distroRunning && !snapshot.wslConfigured);
        QCOMPARE(snapshot.wslTotal, qint64(4) << 30);
        QCOMPARE(snapshot.wslLimit, qint64(16) << 30);
        QCOMPARE(snapshot.vmsMemory, std::numeric_limits<qint64>::max());
        // WSL has room for 9, less the one VM about to start.
        const HostCapacity capacity = host().capacity();
        QCOMPARE(capacity.more, 8);
        QCOMPARE(capacity.limit, int(HostCapacity::WslMemory));

        QFile wslConfig(host().config().wslConfigPath);
        QVERIFY(wslConfig.open(QIODevice::WriteOnly) && wslConfig.write("[wsl2]\nmemory=4GB\n"));
        wslConfig.close();
        snapshot = host().resources();
        QVERIFY(snapshot.wslConfigured);
        QCOMPARE(snapshot.wslLimit, qint64(4) << 30);
    }

    void memoryTexts_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("text");
        const QString tail = ". VM нужно около 300 МБ — столько занимал УТМ без носителя; рабочий "
                             "ещё не мерили";
        QTest::newRow("numbers") << int(HostCapacity::VmNumbers) << true
                                 << "Больше 99 VM на одном компьютере не бывает";
        QTest::newRow("windows") << int(HostCapacity::WindowsMemory) << true
                                 << "Ограничивает свободная память Windows: 1,5 ГБ, из них 512 МБ "
                                    "оставляем системе и кассе" +
                                        tail;
        QTest::newRow("wsl running") << int(HostCapacity::WslMemory) << true
                                     << "Ограничивает память, выделенная под VM: свободно 1,0 ГБ "
                                        "из 16 ГБ" +
                                            tail;
        QTest::newRow("wsl limit") << int(HostCapacity::WslMemory) << false
                                   << "Ограничивает память, выделенная под VM: 1,0 ГБ" + tail;
    }

    void memoryTexts()
    {
        QFETCH(int, limit);
        QFETCH(bool, running);
        HostResources resources;
        resources.memoryAvailable = qint64(1536) << 20;
        resources.distroRunning = running;
        resources.wslAvailable = 1048576000 - 1;
        resources.wslTotal = qint64(16) << 30;
        resources.wslLimit = 1048576000;
        HostCapacity capacity;
        capacity.limit = limit;
        QTEST(UtmHost::memoryText(capacity, resources), "text");
        QCOMPARE(UtmHost::formatSize(0), QString("0 МБ"));
        QCOMPARE(UtmHost::formatSize((qint64(9994) << 20) / 10), QString("999 МБ"));
        QCOMPARE(UtmHost::formatSize((qint64(997) << 30) / 100), QString("10 ГБ"));
    }

    // Real processes against the stand-in wsl, in Russian: found, started, a VM read back from the
    // status report, a stopped distribution brought back by the keep-alive, nothing left at
    // shutdown.
    void endToEndWithTheStandIn()
    {
        cleanup();
        WslStandIn wsl;
        QVERIFY(wsl.isValid());
        wsl.exportEnvironment();
        // Listed as a Russian Windows lists it, another distribution being the default.
        QVERIFY(wsl.setUiLanguage("ru") && wsl.writeFile("/../default", "Ubuntu") &&
                wsl.writeFile("/../Ubuntu/.standin/state", "Stopped\n"));
        const QString listing =
            decodeProcessOutput(wsl.run({"--list", "--verbose"}, {}, false).out);
        QVERIFY2(listing.startsWith("  ИМЯ ") && listing.contains("\n* Ubuntu  "),
                 qPrintable(listing));
        QVERIFY(wsl.writeFile("/etc/utm-desktop/vms/7.env",
                              "NAME_B64=0JrQsNGB0YHQsA==\nNETWORK=host\nENABLED=1\n"
                              "IMAGE=localhost/utm-runtime:4.2\nJAVA_OPTS=\n"));
        wsl.setUnitProperty("utm-7-utm.service", "ActiveState", "active");
        ProcessShell processes;
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("e2e");
        UtmHost host(config, &processes);
        QSignalSpy status(&host, &UtmHost::statusChanged);
        host.start();
        QVERIFY(status.wait(20000));
        QCOMPARE(host.status().wslVersion, QString("2.3.26.0"));
        QCOMPARE(host.status().phase, int(UtmHost::Running));
        QCOMPARE(host.status().vms.size(), 1);
        const UtmVm vm = host.status().vms[0];
        QVERIFY(vm.number == 7 && vm.name == "Касса" && vm.online);
        QCOMPARE(vm.activeState, QString("active"));
        QVERIFY(processes.isBackgroundRunning());

        QCOMPARE(wsl.run({"--terminate", "utm-desktop"}).exitCode, 0);
        QTRY_VERIFY(host.m_retryTimer.isActive());
        QVERIFY(!processes.isBackgroundRunning());
        QCOMPARE(wsl.state(), QString("Stopped"));
        host.m_retryTimer.start(0);
        QVERIFY(status.wait(20000));
        QVERIFY(processes.isBackgroundRunning());
        QCOMPARE(wsl.state(), QString("Running"));

        host.refresh();
        host.shutdown();
        QTRY_COMPARE(childProcesses(), QStringList());
        QVERIFY(!status.wait(200));
    }

    // A set-up installs once: an installation that ends well yet leaves no runtime image in the
    // next report ends the set-up instead of loading the image again and again; so does one
    // whose image podman loads under a name that is no image reference.
    void setupInstallsOnce_data()
    {
        QTest::addColumn<QByteArray>("loaded");
        QTest::newRow("under its own name") << QByteArray();
        QTest::newRow("under no image name") << QByteArray("Loaded image: -rf;\n");
    }

    void setupInstallsOnce()
    {
        QFETCH(QByteArray, loaded);
        const QString entry = R"({"file": "%1", "sha256": "%2", "size": 5, "ref": "%3"})";
        const QString hash = sha256Hex("image"), image = "localhost/utm-runtime:4.3";
        QVERIFY(
            writeFile(m_dir.filePath("utm.tar"), "image") &&
            writeFile(m_dir.filePath("manifest.json"),
                      QString(R"({"format": 1, "rootfs": %1, "image": %2})")
                          .arg(entry.arg("r.tar", hash, image), entry.arg("utm.tar", hash, image))
                          .toUtf8()));
        host().m_config.manifestUrl = QUrl::fromLocalFile(m_dir.filePath("manifest.json")).url();
        SystemInfoSource source;
        source.diskSpace = [](const QString &) {
            return qint64(0);
        };
        host().m_metrics = std::make_unique<HostMetrics>(source);
        answerCycle(QByteArray());
        shell().answer(distroStatusScript(), FakeHostShell::exited(0, "systemd\trunning\n"));
        shell().answer("-d utm-desktop -u root -- podman load", FakeHostShell::exited(0, loaded));
        shell().answer("podman tag", FakeHostShell::exited(0));
        host().start();
        QVERIFY(m_status->wait());
        QSignalSpy finished(&host(), &UtmHost::operationFinished);
        host().setup();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0], (QVariantList{false, "Установка не завершена: УТМ не установился. "
                                                   "Подробности — в журнале агента"}));
        QCOMPARE(shell().lines().count("-d utm-desktop -u root -- podman load"), 1);
    }

    // A fresh PC on real processes and the stand-ins. Two elevated steps at most bring WSL but
    // cannot close the port; the next one ends with 3010 and asks for a restart, after which the
    // agent resumes by itself once (declined this time) and a later start leaves that result
    // alone. A script changed on disk, a result not of this run and a failed run end the user's
    // set-ups (a restart after the failed one resumes nothing), until one ends the job.
    void setUpAcrossARestart()
    {
        cleanup();
        WslStandIn wsl;
        wsl.exportEnvironment();
        wsl.setImages({"localhost/utm-runtime:4.2"});
        QTemporaryDir windows;
        const QString powershell = windows.filePath("System32/WindowsPowerShell/v1.0/");
        QVERIFY(QDir().mkpath(powershell) &&
                QFile::link(WslStandIn::folder() + "/powershell", powershell + "powershell.exe"));
        QVERIFY(wsl.writeFile("/../usbipd.json", R"({"Devices": []})") &&
                wsl.writeFile("/../wsl-version", "нет"));
        qputenv("USBIPD_STANDIN_STATE", wsl.path("/../usbipd.json").toUtf8());
        const auto elevated = [&](const QByteArray &json, const char *exitCode = "0",
                                  const QString &meanwhile = {}) {
            qputenv("SystemRoot", windows.path().toUtf8());
            qputenv("POWERSHELL_STANDIN_RESULT", json);
            qputenv("POWERSHELL_STANDIN_EXIT", exitCode);
            qputenv("POWERSHELL_STANDIN_BEFORE",
                    QString("echo >>%1; rm -f %2; %3")
                        .arg(wsl.path("/../runs"), wsl.path("/../wsl-version"), meanwhile)
                        .toUtf8());
        };
        ProcessShell processes;
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("e2e-setup");
        std::unique_ptr<UtmHost> agent; // gone before the shell it uses
        std::unique_ptr<QSignalSpy> finished;
        const auto startAgent = [&] {
            finished.reset();
            agent = std::make_unique<UtmHost>(config, &processes);
            agent->m_status.usbipdFound = true;
            finished = std::make_unique<QSignalSpy>(agent.get(), &UtmHost::operationFinished);
            QSignalSpy cycle(agent.get(), &UtmHost::statusChanged);
            agent->start();
            QVERIFY(cycle.wait(20000));
        };
        const auto setup = [&](const QString &message) {
            agent->setup();
            QTRY_COMPARE_WITH_TIMEOUT(finished->size(), 1, 20000);
            QCOMPARE(finished->takeFirst().at(1).toString(), message);
            QTRY_VERIFY_WITH_TIMEOUT(!agent->m_refreshing, 20000);
        };
        const QString port = "Порт передачи носителей открыт для всей локальной сети";
        const QString notDone = "Настройка компьютера не завершена. Подробности — в журнале агента";

        startAgent();
        elevated(setupJson("true", "false", "skipped"));
        agent->setup();
        QCOMPARE(agent->status().installStep, QString("Настраиваем компьютер — обычно до минуты"));
        setup("Подождите: Настраиваем компьютер");
        QTRY_COMPARE_WITH_TIMEOUT(finished->size(), 1, 20000);
        QCOMPARE(finished->takeFirst(), (QVariantList{false, port}));
        elevated(setupJson("true", "true", "skipped"), "3010");
        setup(HostSetup::kMsgRestartNeeded);
        setup(HostSetup::kMsgRestartNeeded); // until Windows restarts

        // Windows restarts: the run now lies before its start.
        QVERIFY(writeFile(agent->setupResultPath(),
                          setupJson("true", "true", "skipped", "2000-01-01T00:00:00.0000000Z")));
        qputenv("ORV_ELEVATION_CONSENT", "declined");
        auto log = std::make_unique<LogCapture>();
        startAgent();
        QTRY_COMPARE_WITH_TIMEOUT(finished->size(), 1, 20000);
        QCOMPARE(log->matching("не запущен: разрешение администратора не дано").size(), 1);
        log.reset();
        QCOMPARE(finished->takeFirst().at(1).toString(),
                 QString("Настройка отменена: без разрешения администратора компьютер не "
                         "настроить"));
        QFile marker(m_dir.filePath("e2e-setup/setup-continued"));
        QVERIFY(marker.open(QIODevice::ReadOnly) && marker.readAll() == "2000-01-01T00:00:00Z");
        QVERIFY(marker.remove()); // even without it, once per process
        QTRY_VERIFY(!agent->m_refreshing);
        agent->refresh();
        QTRY_VERIFY(!agent->m_refreshing);
        settle();
        QVERIFY(finished->isEmpty());
        QVERIFY(writeFile(marker.fileName(), "2000-01-01T00:00:00Z"));

        qunsetenv("ORV_ELEVATION_CONSENT");
        startAgent();
        QVERIFY(agent->busyText().isEmpty()); // that result has been resumed
        QCOMPARE(agent->status().setupReason, port);
        qputenv("SystemRoot", " ");
        setup("Настройка не запустилась. Подробности — в журнале агента");
        agent->setPhase(UtmHost::Error, "Среда VM не отвечает");
        setup("Среда VM не отвечает");
        const QByteArray narrowed = setupJson("true", "false", "narrowed");
        elevated(narrowed, "0", "echo >>" + m_dir.filePath("e2e-setup/hostsetup.ps1"));
        setup("Файл настройки подменён — настройка не запущена");
        elevated(setupJson("true", "false", "skipped",
                           QDateTime::currentDateTimeUtc().addSecs(-6).toString(Qt::ISODate)));
        setup(notDone);
        elevated(setupJson("false", "false", "skipped"), "1");
        setup(notDone);
        elevated(setupJson("true", "true", "skipped"), "1"); // the exit code wins
        setup(notDone);
        QVERIFY(!agent->status().rebootPending);

        // Windows restarts all the same: the failed run is not taken up again unasked, though its
        // result still asks for the restart.
        QFile failed(agent->setupResultPath());
        QVERIFY(failed.open(QIODevice::ReadOnly));
        QJsonObject run = QJsonDocument::fromJson(failed.readAll()).object();
        failed.close();
        QCOMPARE(run.value("ok"), QJsonValue(false));
        QCOMPARE(run.value("reboot"), QJsonValue(true));
        run.insert("at", "2001-01-01T00:00:00.0000000Z");
        QVERIFY(writeFile(failed.fileName(), QJsonDocument(run).toJson()));
        startAgent();
        QTRY_VERIFY_WITH_TIMEOUT(agent->m_resumeTried, 20000);
        QVERIFY(agent->busyText().isEmpty());
        QVERIFY(marker.open(QIODevice::ReadOnly) && marker.readAll() == "2000-01-01T00:00:00Z");
        marker.close();
        elevated(narrowed, "0", "echo 2.4.0 >" + wsl.path("/../wsl-version"));
        setup("Компьютер настроен — можно создавать VM");
        QCOMPARE(agent->status().wslVersion, QString("2.4.0")); // asked again after the step
        QCOMPARE(wsl.readFile("/../runs").size(), 8);
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestUtmHost)
#include "tst_utmhost.moc"
