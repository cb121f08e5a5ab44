#include "utmhost/utmhost.h"

#include "tests/support/fakehostshell.h"
#include "tests/support/logcapture.h"
#include "tests/support/testdata.h"
#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"
#include "utmhost/tokenprobe.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

using Orv::Test::FakeHostShell;

using HostCall = std::function<void(Orv::UtmHost &)>;
Q_DECLARE_METATYPE(HostCall)
#define CALL(statement) HostCall([](Orv::UtmHost &host) { host.statement; })

namespace Orv {
namespace {

const QByteArray kSerial = "0123ABCD";
const QString kAttach = "attach --wsl utm-desktop --busid 1-2";
const QString kDetach = "detach --busid 1-2";
const QString kSeeLog = ". Подробности — в журнале агента";
const QString kWait = "finished 0 Подождите: обновляем список VM";
const QByteArray kUp = "systemd\trunning\nimage\tlocalhost/utm-runtime:4.2\n";

// A block of the status report: a real, offline, running VM unless `lines` say otherwise.
QByteArray vm(int number, const QByteArray &lines = {})
{
    return "vm\t" + QByteArray::number(number) + "\nmeta\tIMAGE=localhost/utm-runtime:4.2\n" +
           lines + "unit\tactive\trunning\t0\t0\nend\n";
}

const QByteArray kWithToken = "meta\tTOKEN_SERIAL=" + kSerial + "\ndevice\tabsent\n";
// VMs 1 (holds the token), 2 (a test VM, online) and 4.
const QByteArray kThreeVms =
    vm(1, kWithToken) +
    vm(2, "meta\tKIND=test\nmeta\tTEST_FSRAR=999900000001\nmeta\tNETWORK=host\n") + vm(4);

// usbipd's JSON with one Rutoken per row: its bus id, what follows the product id in its
// InstanceId, and whether it is attached.
QByteArray devices(const QList<std::tuple<QByteArray, QByteArray, bool>> &rows)
{
    QByteArrayList objects;
    for (const auto &[busId, tail, attached] : rows)
        objects << "{\"BusId\": \"" + busId + "\", \"Description\": \"Rutoken ECP\", " +
                       "\"InstanceId\": \"USB\\\\VID_0A89&PID_0030\\\\" + tail +
                       "\", \"PersistedGuid\": \"g\", \"ClientIPAddress\": " +
                       (attached ? "\"127.0.0.2\"}" : "null}");
    return "{\"Devices\": [" + objects.join(',') + "]}";
}

} // namespace

class TestUtmHostVms : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FakeHostShell> m_shell;
    std::unique_ptr<UtmHost> m_host;
    QStringList m_events;
    QStringList m_synced;
    QList<int> m_probed;

    FakeHostShell &shell() { return *m_shell; }
    UtmHost &host() { return *m_host; }

    // A running distribution with `vms` and usbipd reporting `json`; unless `answered`, the
    // cycle waits at its list step.
    void refreshWith(const QByteArray &vms, const QByteArray &json = devices({}),
                     const QByteArray &head = kUp, bool answered = true)
    {
        shell().answer("--version", FakeHostShell::exited(0, "WSL version: 2.3.26.0\n"));
        if (answered)
            shell().answer("--list --verbose", FakeHostShell::exited(0, "utm-desktop Running 2"));
        shell().answer("state", FakeHostShell::exited(0, json));
        shell().answer(distroStatusScript(), FakeHostShell::exited(0, head + vms));
        host().refresh();
        QTRY_VERIFY(!answered || !host().m_refreshing);
    }

    // Every run the host asked for has ended and no refresh is under way, so whatever a run's end
    // set off has happened too.
    bool settled() const
    {
        return !m_host->m_refreshing && std::all_of(m_shell->calls.cbegin(), m_shell->calls.cend(),
                                                    [](const FakeHostShell::Call &call) {
                                                        return call.background || call.completed;
                                                    });
    }

    // What ran since call `from`, but the refresh cycle's reads: usbipd's commands by their
    // arguments, VM scripts as "write".
    QStringList actions(qsizetype from = 0) const
    {
        QStringList found;
        for (const FakeHostShell::Call &call : m_shell->calls.mid(from)) {
            if (call.command.stdinData.contains("daemon-reload"))
                found << "write";
            else if (call.command.program.contains("usbipd") && call.line() != "state")
                found << call.line();
        }
        return found;
    }

    void record(UtmHost *host)
    {
        connect(host, &UtmHost::operationFinished, this, [this](bool ok, const QString &text) {
            m_events << QStringLiteral("finished %1 %2").arg(ok).arg(text);
        });
        // An operation announces its own change; while none runs, each report re-syncs all VMs.
        connect(host, &UtmHost::vmOnlineChanged, this,
                [this, host](const QString &url, bool online) {
                    (host->busyText().isEmpty() ? m_synced : m_events)
                        << QStringLiteral("online %1 %2").arg(url).arg(online);
                });
        connect(host, &UtmHost::logsReady, this, [this](int number, const QString &text) {
            m_events << QStringLiteral("logs %1 %2").arg(number).arg(text);
        });
    }

private slots:
    void init()
    {
        m_shell = std::make_unique<FakeHostShell>();
        m_shell->tools.insert("usbipd", "C:/usbipd/usbipd.exe");
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("utmhost");
        config.manifestUrl = "http://127.0.0.1:1/manifest.json";
        config.portProbe = [this](int port) {
            m_probed << port;
            return port != 8240;
        };
        SmartCard::ReaderInfo reader;
        reader.readerName = "Aktiv Rutoken ECP 00 00";
        config.readerScan = [reader](QString *) {
            return QList{reader, reader};
        };
        m_host = std::make_unique<UtmHost>(config, m_shell.get());
        m_events.clear();
        m_synced.clear();
        m_probed.clear();
        record(m_host.get());
    }

    void cleanup() { m_host.reset(); }

    // How each call ends (the start of its one message, or none) and what it runs: refusals
    // and no-ops run nothing, a failed change reports its step and announces no address,
    // taking back a token that is not shared runs no detach, a failed detach is only logged.
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<HostCall>("call");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QStringList>("actions");
        QByteArray all = kUp;
        for (int number = 1; number <= 99; ++number)
            all += vm(number);
        const QByteArray up = kUp + kThreeVms;
        const QStringList none;
        const QStringList write{"write"};
        QTest::newRow("numbers") << all << CALL(createVm("")) << "0 Больше 99 VM" << none;
        QTest::newRow("port") << up + vm(3) << CALL(createTestVm("", ""))
                              << "0 Порт 127.0.0.1:8240 на Windows занят другой программой, а он "
                                 "нужен VM 5"
                              << none;
        QTest::newRow("inn") << up << CALL(createTestVm("", "123")) << "0 ИНН — 10 или 12 цифр"
                             << none;
        QTest::newRow("no device")
            << up << CALL(assignToken(4, "")) << "0 Носитель уже вынули" << none;
        QTest::newRow("test vm") << up << CALL(assignToken(2, "2-1")) << "0 У тестовой VM" << none;
        QTest::newRow("held") << up << CALL(assignToken(4, "1-2")) << "0 Этот носитель уже у VM 1"
                              << none;
        QTest::newRow("unsafe serial") << up << CALL(assignToken(4, "3-1"))
                                       << "0 У носителя «Rutoken ECP» нет серийного номера" << none;
        QTest::newRow("ignored") << up << HostCall([](UtmHost &host) {
            host.renameVm(1, "  ");
            host.setVmOnline(2, true);
            host.setVmOnline(4, false);
            host.startVm(9);
            host.releaseToken(4);
        }) << QString() << none;
        QTest::newRow("no mock") << up << CALL(createTestVm("", ""))
                                 << "0 Тестовая VM не создана: описание http://127.0.0.1:1/"
                                 << none;
        QTest::newRow("create fails")
            << up << CALL(createVm("")) << "0 VM 3: изменение не применилось" + kSeeLog << write;
        QTest::newRow("offline fails") << up << CALL(setVmOnline(2, false))
                                       << "0 VM 2: изменение не применилось" + kSeeLog << write;
        QTest::newRow("damaged record")
            << up + "vm\t5\nmeta\tNAME_B64=0KH\nunit\tfailed\tfailed\t1\t0\nend\n"
            << CALL(startVm(5))
            << "1 VM 5 запущена. Запись VM 5 была повреждена и восстановлена — проверьте её имя, "
               "носитель и выход в сеть"
            << write;
        QTest::newRow("remove fails")
            << up << CALL(removeVm(2)) << "0 VM 2 не удалена" + kSeeLog << write;
        QTest::newRow("attach fails")
            << up << CALL(assignToken(1, "1-2")) << "0 " + kMsgTokenNotPassed + kSeeLog
            << QStringList{kAttach};
        QTest::newRow("not shared")
            << up << CALL(releaseToken(1)) << "1 Носитель отключён от VM 1" << write;
        QTest::newRow("detach fails")
            << up << CALL(releaseToken(1)) << "1 Носитель отключён от VM 1"
            << QStringList{"write", kDetach};
    }

    void outcomes()
    {
        QFETCH(QByteArray, report);
        QFETCH(HostCall, call);
        QFETCH(QString, event);
        QFETCH(QStringList, actions);
        Test::LogCapture log;
        host().m_reattachTimes.insert(kSerial, QDateTime::currentDateTimeUtc());
        const bool shared = QTest::currentDataTag() == QByteArray("detach fails");
        refreshWith({},
                    devices({{"1-2", kSerial, shared},
                             {"1-3", "FEDC01", true},
                             {"", "X", false},
                             {"2-1", "6&1C&0&1", false},
                             {"3-1", "12 34;x", false}}),
                    report);
        const bool fails = event.contains(kSeeLog);
        shell().answer("daemon-reload", FakeHostShell::exited(fails ? 11 : 0));
        shell().answer(kAttach, FakeHostShell::exited(fails));
        shell().answer(kDetach, FakeHostShell::exited(1, {}, "отказ"));
        host().m_tokenProblems.insert(kSerial, "старая беда");
        const qsizetype calls = shell().calls.size();
        call(host());
        QTRY_VERIFY(settled() && m_events.size() == !event.isEmpty());
        QCOMPARE(host().m_tokenProblems.contains(kSerial), !event.startsWith("1 Носитель"));
        QVERIFY2(event.isEmpty() || m_events[0].startsWith("finished " + event),
                 qPrintable(m_events.join(" | ")));
        QCOMPARE(this->actions(calls), actions);
        QVERIFY(host().busyText().isEmpty());
        QCOMPARE(log.matching("[WARN] хост УТМ: usbipd detach: отказ").size(), int(shared));
        if (QTest::currentDataTag() == QByteArray("port"))
            QCOMPARE(m_probed, (QList<int>{8085, 8240}));
    }

    // Until a refresh that started after a change has read the VMs back, nothing that looks at
    // the list runs: a second VM would take the first one's number, a rename would write the VM
    // without the token it was just given.
    void staleListIsNotUsed()
    {
        // Ends the first waiting run: the change's script, or the list step of a refresh that
        // goes on to a report of `vms`.
        const auto next = [this](const QByteArray &vms = {}) {
            shell().answer(distroStatusScript(), FakeHostShell::exited(0, kUp + vms));
            QTRY_VERIFY(!shell().waiting().isEmpty());
            shell().complete(shell().waiting().constFirst(),
                             FakeHostShell::exited(0, "utm-desktop Running 2"));
        };
        refreshWith(vm(1), devices({{"1-2", kSerial, true}}), kUp, false);
        next(vm(1));
        QTRY_VERIFY(!host().m_refreshing);
        host().createVm("");
        host().createVm("");
        host().refresh(); // starts before the change ends: it does not count
        next();
        host().createVm("");
        host().renameVm(1, "Склад");
        QCOMPARE(m_events, (QStringList{"finished 0 Подождите: Создаём VM 2",
                                        "finished 1 VM 2 создана без выхода в сеть. Передайте ей "
                                        "носитель — без него УТМ не запустится",
                                        kWait, kWait}));
        next(vm(1));
        QTRY_VERIFY(!host().m_refreshPending);
        host().createVm("");
        QCOMPARE(m_events.mid(4), QStringList{kWait});
        next(vm(1) + vm(2));
        QTRY_VERIFY(!host().m_refreshing);
        host().assignToken(1, "1-2");
        next();
        host().renameVm(1, "Склад");
        QCOMPARE(m_events.last(), kWait);
        next(vm(1, kWithToken) + vm(2));
        QTRY_VERIFY(!host().m_refreshing);
        host().renameVm(1, "Склад");
        QVERIFY(shell().calls.constLast().command.stdinData.contains("TOKEN_SERIAL=" + kSerial));
        QCOMPARE(actions(), QStringList(3, "write")); // a shared token needs no attach
    }

    // After each report the agent lists exactly the online VMs: a host removal whose unregister
    // failed has taken VM 2 off, the next report puts it back; a VM no longer reported leaves.
    // A report read while a change runs may not show it, and leaves the list to the change.
    void addressesFollowTheReports()
    {
        refreshWith(kThreeVms);
        const QStringList three{"online http://127.0.0.1:8081 0", "online http://127.0.0.1:8082 1",
                                "online http://127.0.0.1:8084 0"};
        QCOMPARE(std::exchange(m_synced, {}), three);
        shell().answer("--unregister utm-desktop", FakeHostShell::exited(1));
        host().removeHost();
        QTRY_VERIFY(settled() && m_events.size() == 2);
        QCOMPARE(m_events[0], "online http://127.0.0.1:8082 0");
        QCOMPARE(std::exchange(m_synced, {}), three);
        refreshWith(vm(1));
        QCOMPARE(std::exchange(m_synced, {}),
                 (QStringList{three[0], "online http://127.0.0.1:8082 0", three[2]}));
        QVERIFY(host().beginOperation("Создаём VM 2"));
        refreshWith(kThreeVms);
        QVERIFY(m_synced.isEmpty());
    }

    // Only the latest journal request is answered, busy or not: a late answer for the VM asked
    // about before would replace the one the user asked for last.
    void onlyTheLatestJournalIsAnswered()
    {
        refreshWith(kThreeVms);
        QVERIFY(host().beginOperation("Создаём VM 5"));
        host().loadLogs(3);
        host().loadLogs(4);
        const QList<int> asked = shell().waiting();
        QCOMPARE(asked.size(), 2);
        shell().complete(asked[1], FakeHostShell::exited(0, " строка 4\n"));
        shell().complete(asked[0], FakeHostShell::exited(0, "строка 3"));
        shell().answer("journalctl", FakeHostShell::exited(0, "\n"));
        host().loadLogs(1);
        QTRY_COMPARE(m_events.size(), 2);
        shell().answer("journalctl", FakeHostShell::exited(1));
        host().loadLogs(2);
        QTRY_COMPARE(m_events, (QStringList{"logs 4 строка 4", "logs 1 Журнал пуст",
                                            "logs 2 Журнал не прочитан" + kSeeLog}));
        QCOMPARE(shell().calls.constLast().command.stdinData, utmLogsScript(2, 300).toUtf8());
    }

    // The token of VM 1 after each refresh: its problem, shown on that VM alone, and an attach
    // without being asked when it is plugged in but not shared, at most once a minute. A token
    // without serial beside it is warned about once, with a report of the PC/SC readers.
    void reattach_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<bool>("plugged");
        QTest::addColumn<bool>("shared");
        QTest::addColumn<int>("since");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QStringList>("actions");
        const QStringList again{kAttach, "write"};
        QTest::newRow("present") << "meta\tTOKEN_SERIAL=" + kSerial + "\ndevice\tpresent\n"
                                 << true << true << -1 << QString() << QStringList();
        QTest::newRow("unplugged")
            << kWithToken << false << false << -1
            << "Носитель 0123ABCD не вставлен в этот компьютер" << QStringList();
        QTest::newRow("unseen") << kWithToken << true << true << -1
                                << "Носитель передан, но VM его не видит" << QStringList();
        QTest::newRow("plugged") << kWithToken << true << false << -1 << QString() << again;
        QTest::newRow("fails") << kWithToken << true << false << -1 << kMsgTokenNotPassed + kSeeLog
                               << QStringList{kAttach};
        QTest::newRow("59 s") << kWithToken << true << false << 59 << "старая беда"
                              << QStringList();
        QTest::newRow("60 s") << kWithToken << true << false << 60 << QString() << again;
        QTest::newRow("restart fails") << kWithToken << true << false << -1 << QString() << again;
        QTest::newRow("unsafe") << QByteArray("meta\tTOKEN_SERIAL=12;x\ndevice\tabsent\n") << true
                                << false << -1 << QString() << QStringList();
    }

    void reattach()
    {
        QFETCH(QByteArray, lines);
        QFETCH(bool, plugged);
        QFETCH(bool, shared);
        QFETCH(int, since);
        QFETCH(QString, problem);
        Test::LogCapture log;
        host().m_tokenProblems.insert(kSerial, "старая беда");
        if (since >= 0)
            host().m_reattachTimes.insert(kSerial, QDateTime::currentDateTimeUtc().addSecs(-since));
        const QByteArray tag = QTest::currentDataTag();
        shell().answer(kAttach, FakeHostShell::exited(tag == "fails"));
        shell().answer("daemon-reload", FakeHostShell::exited(tag == "restart fails" ? 11 : 0, {},
                                                              "Носитель не появился"));
        const QByteArray serial = tag == "unsafe" ? "12;x" : kSerial;
        refreshWith(vm(1, lines) + vm(4),
                    devices({{plugged ? "1-2" : "", serial, shared}, {"2-1", "6&1C&0&1", false}}));
        QTRY_VERIFY(settled());
        if (tag == "fails") { // shown from the next read on
            host().refresh();
            QTRY_VERIFY(settled());
        }
        QCOMPARE(host().status().vms[0].tokenProblem, problem);
        QCOMPARE(host().m_tokenProblems.contains(kSerial), !problem.isEmpty() || tag == "unsafe");
        QVERIFY(host().status().vms[1].tokenProblem.isEmpty());
        QTEST(actions(), "actions");
        QCOMPARE(log.matching("передан, а /dev/egais не появился").size(), int(tag == "unseen"));
        QCOMPARE(log.matching("[WARN] хост УТМ: VM 1 с возвращённым носителем не перезапустилась "
                              "— Носитель не появился")
                     .size(),
                 int(tag == "restart fails"));
        const QStringList warned = log.matching("носитель без серийного номера");
        QVERIFY(warned.size() == 1 &&
                warned[0].endsWith("[WARN] хост УТМ: носитель без серийного номера: Rutoken ECP "
                                   "VID:PID 0a89:0030 InstanceId USB\\VID_0A89&PID_0030\\6&1C&0&1 "
                                   "BusId 2-1"));
        QCOMPARE(log.matching("[WARN] хост УТМ: PC/SC: Aktiv Rutoken ECP 00 00").size(), 1);
    }

    // The road a user walks, through real processes on the stand-in wsl and usbipd: VMs made,
    // changed, given a token (not shared: refused until a policy allows its model) that comes
    // back by itself after it was lost, read and removed.
    void vmLifeOnTheStandIns()
    {
        cleanup();
        Test::WslStandIn wsl;
        wsl.exportEnvironment();
        wsl.setImages({"localhost/utm-runtime:4.2", "localhost/utm-mock:1.0"});
        QFile usbipd(m_dir.filePath("usbipd.json"));
        QVERIFY(usbipd.open(QIODevice::WriteOnly));
        // Plugged in and never shared: only a policy that the set-up leaves lets it be attached.
        usbipd.write(Test::readTestData("usbipd/token-serial.json")
                         .replace("\"5f0c9a6e-3b1d-4c2a-9e7f-1a2b3c4d5e6f\"", "null"));
        usbipd.close();
        qputenv("USBIPD_STANDIN_STATE", usbipd.fileName().toLocal8Bit());
        ProcessShell processes;
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("e2e");
        UtmHost host(config, &processes);
        record(&host);
        // Runs `change` and waits for its message and for the refresh that reads it back.
        const auto perform = [&](const std::function<void()> &change) {
            m_events.clear();
            change();
            const bool done = QTest::qWaitFor(
                [&] {
                    return !m_events.filter("finished").isEmpty() && !host.m_refreshing &&
                           host.m_listOperations == host.m_operationsFinished;
                },
                20000);
            return done ? m_events.join(" | ") : QStringLiteral("timed out");
        };
        const auto one = [&host] {
            return host.findVm(1) ? *host.findVm(1) : UtmVm();
        };
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(host.status().phase == UtmHost::Running && !host.m_refreshing,
                                 20000);

        QVERIFY(perform([&] { host.createVm("Касса"); }).startsWith("finished 1 VM 1 создана"));
        QVERIFY(one().name == "Касса" && one().activeState == "active" && !one().online);
        const QString test = perform([&] { host.createTestVm("", "7707083893"); });
        QVERIFY2(test.startsWith("online http://127.0.0.1:8082 1 | finished 1 Тестовая VM 2"),
                 qPrintable(test));
        const UtmVm two = *host.findVm(2);
        QVERIFY(two.test && two.online && two.name == "VM 2" && two.testInn == "7707083893");
        QVERIFY(isValidTestFsrarId(two.testFsrarId) && test.contains(two.testFsrarId));
        perform([&] { host.renameVm(1, " Склад "); });
        QVERIFY(perform([&] {
                    host.setVmOnline(1, true);
                }).startsWith("online http://127.0.0.1:8081 1 | finished 1"));
        perform([&] { host.stopVm(1); });
        QVERIFY(one().name == "Склад" && one().online && !one().enabled);
        QCOMPARE(one().activeState, "inactive");
        perform([&] { host.startVm(1); });
        QVERIFY(one().enabled && one().activeState == "active");

        QCOMPARE(perform([&] { host.assignToken(1, "1-2"); }),
                 "finished 0 " + kMsgTokenNotPassed + kSeeLog);
        const QString policy = "policy add --effect Allow --operation AutoBind --hardware-id "
                               "0a89:0030";
        QCOMPARE(QProcess::execute(Test::WslStandIn::folder() + "/usbipd", policy.split(' ')), 0);
        QCOMPARE(perform([&] { host.assignToken(1, "1-2"); }),
                 "finished 1 Носитель «Rutoken ECP» передан VM 1");
        QVERIFY(one().tokenSerial == kSerial && one().devicePresent);
        QVERIFY(host.status().tokens.value(0).bound);
        // Lost as when WSL restarts: the next refresh shares it again and restarts the VM.
        QCOMPARE(
            QProcess::execute(Test::WslStandIn::folder() + "/usbipd", {"detach", "--busid", "1-2"}),
            0);
        host.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(!host.m_refreshing && one().devicePresent, 20000);
        m_events.clear();
        host.loadLogs(1);
        QTRY_VERIFY_WITH_TIMEOUT(!m_events.isEmpty(), 20000);
        QVERIFY2(m_events[0].startsWith("logs 1 ") && m_events[0].contains("Started utm-1-utm"),
                 qPrintable(m_events[0]));
        perform([&] { host.releaseToken(1); });
        QVERIFY(one().tokenSerial.isEmpty() && !QFile::exists(wsl.path("/dev/egais/" + kSerial)));
        QCOMPARE(perform([&] { host.removeVm(1); }),
                 "online http://127.0.0.1:8081 0 | finished 1 VM 1 удалена вместе с базой УТМ");
        QCOMPARE(host.status().vms.size(), 1);
        QFile calls(usbipd.fileName() + ".calls");
        QVERIFY(calls.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(calls.readAll()).remove("state\n"),
                 QStringList({kAttach, policy, kAttach, kDetach, kAttach, kDetach, ""}).join('\n'));
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestUtmHostVms)
#include "tst_utmhost_vms.moc"
