#include "utmhost/utmhost.h"

#include "tests/support/fakehostshell.h"
#include "tests/support/logcapture.h"
#include "tests/support/testdata.h"
#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"
#include "utmhost/tokenprobe.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using Orv::Test::FakeHostShell;
using Orv::Test::LogCapture;
using Orv::Test::WslStandIn;

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
const ShellResult kListed = FakeHostShell::exited(0, "* utm-desktop Running 2\n");

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

// One Rutoken as usbipd reports it; `tail` follows the product id in its InstanceId.
QByteArray device(const QByteArray &busId, const QByteArray &tail, bool attached = false)
{
    return "{\"BusId\": \"" + busId + "\", \"Description\": \"Rutoken ECP\", \"InstanceId\": " +
           "\"USB\\\\VID_0A89&PID_0030\\\\" + tail + "\", \"PersistedGuid\": \"g\", " +
           "\"ClientIPAddress\": " + (attached ? "\"127.0.0.2\"" : "null") + "}";
}

QByteArray devices(const QByteArrayList &rows)
{
    return "{\"Devices\": [" + rows.join(',') + "]}";
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
    QList<int> m_probed;
    int m_takenPort = 0;
    QList<SmartCard::ReaderInfo> m_readers;
    int m_scans = 0;

    FakeHostShell &shell() { return *m_shell; }
    UtmHost &host() { return *m_host; }

    // A running distribution with `vms` and usbipd reporting `json`; `answered` false leaves
    // the cycle waiting at its list step for `listed`.
    void refreshWith(const QByteArray &vms, const QByteArray &json = devices({}),
                     const QByteArray &head = kUp, bool answered = true)
    {
        shell().answer("--version", FakeHostShell::exited(0, "WSL version: 2.3.26.0\n"));
        if (answered)
            shell().answer("--list --verbose", kListed);
        shell().answer("state", FakeHostShell::exited(0, json));
        shell().answer(distroStatusScript(), FakeHostShell::exited(0, head + vms));
        host().refresh();
        if (answered)
            QTRY_VERIFY(!host().m_refreshing);
    }

    // Completes the waiting run that `what` names, as the fake shell's answers name them.
    void completeWaiting(const QString &what, const ShellResult &result)
    {
        QTRY_VERIFY(!shell().waiting().isEmpty());
        for (int index : shell().waiting()) {
            const FakeHostShell::Call &call = shell().calls[index];
            if (call.line() == what || call.command.stdinData.contains(what.toUtf8()))
                return shell().complete(index, result);
        }
        QFAIL(qPrintable("not waiting: " + what));
    }

    // The waiting list step goes on to a status report with `vms`.
    void listed(const QByteArray &vms)
    {
        shell().answer(distroStatusScript(), FakeHostShell::exited(0, kUp + vms));
        completeWaiting("--list --verbose", kListed);
    }

    // What ran since call `from`, but the refresh cycle's reads: usbipd's commands by their
    // arguments, the VM script as "write".
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
        connect(host, &UtmHost::vmOnlineChanged, this, [this](const QString &url, bool online) {
            m_events << QStringLiteral("online %1 %2").arg(url).arg(online);
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
        config.portProbe = [this](int port) {
            m_probed << port;
            return port != m_takenPort;
        };
        config.readerScan = [this](QString *error) {
            if (++m_scans > 1)
                *error = "считыватели PC/SC: считывателей нет";
            return m_readers;
        };
        m_host = std::make_unique<UtmHost>(config, m_shell.get());
        m_events.clear();
        m_probed.clear();
        m_takenPort = 0;
        m_scans = 0;
        record(m_host.get());
    }

    void cleanup() { m_host.reset(); }

    // What is refused, or ignored, before anything runs.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<HostCall>("call");
        QTest::addColumn<QString>("message");
        QByteArray all = kUp;
        for (int number = 1; number <= 99; ++number)
            all += vm(number);
        const QByteArray three = kUp + kThreeVms;
        const QString gone = "Носитель уже вынули — обновите список";
        const QString noSerial = "У носителя «Rutoken ECP» нет серийного номера: VM его не "
                                 "закрепить — без номера его не отличить от другого такого же";
        QTest::newRow("starting") << "systemd\tstarting\n" + kThreeVms << CALL(createVm(""))
                                  << kMsgNotReady;
        QTest::newRow("no image") << "systemd\trunning\n" + kThreeVms << CALL(createVm(""))
                                  << "УТМ для VM ещё не загружен — нажмите «Настроить компьютер»";
        QTest::newRow("numbers") << all << CALL(createVm(""))
                                 << "Больше 99 VM на одном компьютере не поместится: "
                                    "кончаются порты";
        QTest::newRow("port") << three << CALL(createTestVm("", ""))
                              << "Порт 127.0.0.1:8220 на Windows занят другой программой, а он "
                                 "нужен VM 3";
        QTest::newRow("inn") << three << CALL(createTestVm("", "123")) << "ИНН — 10 или 12 цифр";
        QTest::newRow("no vm") << three << CALL(assignToken(9, "1-2")) << gone;
        QTest::newRow("no device") << three << CALL(assignToken(4, "")) << gone;
        QTest::newRow("test vm") << three << CALL(assignToken(2, "2-1"))
                                 << "У тестовой VM носителя не бывает: её УТМ — мок";
        QTest::newRow("held") << three << CALL(assignToken(4, "1-2")) << "Этот носитель уже у VM 1";
        QTest::newRow("no serial") << three << CALL(assignToken(4, "2-1")) << noSerial;
        QTest::newRow("unsafe serial") << three << CALL(assignToken(4, "3-1")) << noSerial;
        QTest::newRow("ignored") << three << HostCall([](UtmHost &host) {
            host.renameVm(1, "  ");
            host.setVmOnline(2, true);
            host.setVmOnline(4, false);
            host.startVm(9);
            host.releaseToken(4);
        }) << QString();
    }

    void refusals()
    {
        QFETCH(QByteArray, report);
        QFETCH(HostCall, call);
        QFETCH(QString, message);
        host().m_reattachTimes.insert(kSerial, QDateTime::currentDateTimeUtc());
        m_takenPort = 8220;
        refreshWith({},
                    devices({device("1-2", kSerial), device("", "X"), device("2-1", "6&1C&0&1"),
                             device("3-1", "12 34;x")}),
                    report);
        const qsizetype calls = shell().calls.size();
        call(host());
        QCOMPARE(m_events,
                 message.isEmpty() ? QStringList() : QStringList("finished 0 " + message));
        QCOMPARE(shell().calls.size(), calls);
        QVERIFY(host().busyText().isEmpty());
        if (QTest::currentDataTag() == QByteArray("port"))
            QCOMPARE(m_probed, (QList<int>{8083, 8220}));
    }

    // A change that fails reports its step, announces no address and leaves the host idle.
    void failures_data()
    {
        QTest::addColumn<HostCall>("call");
        QTest::addColumn<QString>("message");
        QTest::newRow("create") << CALL(createVm("")) << "VM 3: изменение не применилось";
        QTest::newRow("stop") << CALL(stopVm(1)) << "VM 1: изменение не применилось";
        QTest::newRow("offline") << CALL(setVmOnline(2, false)) << "VM 2: изменение не применилось";
        QTest::newRow("remove") << CALL(removeVm(2)) << "VM 2 не удалена";
        QTest::newRow("attach") << CALL(assignToken(1, "1-2")) << kMsgTokenNotPassed;
    }

    void failures()
    {
        QFETCH(HostCall, call);
        QFETCH(QString, message);
        host().m_reattachTimes.insert(kSerial, QDateTime::currentDateTimeUtc());
        refreshWith(kThreeVms, devices({device("1-2", kSerial)}));
        shell().answer("daemon-reload", FakeHostShell::exited(11));
        shell().answer(kAttach, FakeHostShell::exited(1));
        call(host());
        QTRY_VERIFY(!m_events.isEmpty());
        QCOMPARE(m_events, QStringList("finished 0 " + message + kSeeLog));
        QVERIFY(host().busyText().isEmpty());
        QCOMPARE(actions().size(), 1);
    }

    // Until a refresh that started after a change has read the VMs back, nothing that looks at
    // the list runs: a second VM would take the first one's number, a rename would write the VM
    // without the token it was just given.
    void staleListIsNotUsed()
    {
        refreshWith(vm(1), devices({device("1-2", kSerial, true)}), kUp, false);
        listed(vm(1));
        QTRY_VERIFY(!host().m_refreshing);
        host().createVm("");
        host().createVm("");
        host().refresh(); // starts before the change ends: it does not count
        completeWaiting("daemon-reload", FakeHostShell::exited(0));
        host().createVm("");
        host().renameVm(1, "Склад");
        QCOMPARE(m_events, (QStringList{"finished 0 Подождите: Создаём VM 2",
                                        "finished 1 VM 2 создана без выхода в сеть. Передайте ей "
                                        "носитель — без него УТМ не запустится",
                                        kWait, kWait}));
        listed(vm(1));
        QTRY_VERIFY(!host().m_refreshPending);
        m_events.clear();
        host().createVm("");
        QCOMPARE(m_events, QStringList{kWait});
        listed(vm(1) + vm(2));
        QTRY_VERIFY(!host().m_refreshing);
        host().assignToken(1, "1-2");
        completeWaiting("daemon-reload", FakeHostShell::exited(0));
        m_events.clear();
        host().renameVm(1, "Склад");
        QCOMPARE(m_events, QStringList{kWait});
        listed(vm(1, kWithToken) + vm(2));
        QTRY_VERIFY(!host().m_refreshing);
        host().renameVm(1, "Склад");
        QVERIFY(shell().calls.constLast().command.stdinData.contains("TOKEN_SERIAL=" + kSerial));
        QCOMPARE(actions(), QStringList(3, "write")); // a shared token needs no attach
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
        QTRY_COMPARE(m_events, (QStringList{"logs 4 строка 4", "logs 1 Журнал пуст"}));
        shell().answer("journalctl", FakeHostShell::exited(1));
        host().loadLogs(2);
        QTRY_COMPARE(m_events.size(), 3);
        QCOMPARE(m_events[2], "logs 2 Журнал не прочитан" + kSeeLog);
        QCOMPARE(shell().calls.constLast().command.stdinData, utmLogsScript(2, 300).toUtf8());
        QCOMPARE(shell().calls.constLast().command.timeoutMs, 30000);
    }

    // usbipd's devices at the end of each refresh: kept when it fails, none without usbipd.
    // Tokens without serial are warned about once each; a new one brings a PC/SC report of the
    // readers not reported before, or the scan's failure.
    void tokenRead()
    {
        LogCapture log;
        SmartCard::ReaderInfo reader;
        reader.readerName = "Aktiv Rutoken ECP 00 00";
        m_readers = {reader, reader};
        const QByteArray noSerial = device("2-1", "6&1C&0&1");
        refreshWith(kThreeVms, devices({noSerial}));
        refreshWith(kThreeVms, devices({noSerial}));
        QVERIFY(host().status().usbipdFound && host().status().tokens.size() == 1);
        QCOMPARE(log.matching("[WARN] хост УТМ: носитель без серийного номера: Rutoken ECP VID:PID "
                              "0a89:0030 InstanceId USB\\VID_0A89&PID_0030\\6&1C&0&1 BusId 2-1")
                     .size(),
                 1);
        QCOMPARE(log.matching("[WARN] хост УТМ: PC/SC: Aktiv Rutoken ECP 00 00").size(), 1);
        refreshWith(kThreeVms, devices({noSerial, device("2-2", "7&0&1")}));
        QCOMPARE(m_scans, 2);
        QCOMPARE(log.matching("[WARN] хост УТМ: PC/SC: считыватели PC/SC: считывателей нет").size(),
                 1);

        shell().answer("state", FakeHostShell::exited(1, {}, "отказ"));
        host().refresh();
        QTRY_VERIFY(!host().m_refreshing);
        QCOMPARE(host().status().tokens.size(), 2);
        QCOMPARE(log.matching("[WARN] хост УТМ: usbipd state: отказ").size(), 1);
        shell().tools.remove("usbipd");
        host().refresh();
        QTRY_VERIFY(!host().m_refreshing);
        QVERIFY(!host().status().usbipdFound && host().status().tokens.isEmpty());
        shell().tools.insert("usbipd", "C:/usbipd/usbipd.exe");
        refreshWith(kThreeVms, "[]");
        QCOMPARE(log.matching("[WARN] хост УТМ: usbipd state ответил не JSON").size(), 1);
    }

    // The token of VM 1 after each refresh: its problem, shown on that VM alone, and an attach
    // without being asked when it is plugged in but not shared, at most once a minute.
    void reattach_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("since");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QStringList>("actions");
        const QByteArray plugged = devices({device("1-2", kSerial)});
        const QByteArray shared = devices({device("1-2", kSerial, true)});
        const QString unplugged = "Носитель 0123ABCD не вставлен в этот компьютер";
        QTest::newRow("present") << "meta\tTOKEN_SERIAL=" + kSerial + "\ndevice\tpresent\n"
                                 << shared << -1 << QString() << QStringList();
        QTest::newRow("unplugged") << kWithToken << devices({}) << -1 << unplugged << QStringList();
        QTest::newRow("no bus id")
            << kWithToken << devices({device("", kSerial)}) << -1 << unplugged << QStringList();
        QTest::newRow("unseen") << kWithToken << shared << -1
                                << "Носитель передан, но VM его не видит" << QStringList();
        QTest::newRow("plugged") << kWithToken << plugged << -1 << QString()
                                 << QStringList{kAttach, "write"};
        QTest::newRow("fails") << kWithToken << plugged << -1 << kMsgTokenNotPassed + kSeeLog
                               << QStringList{kAttach};
        QTest::newRow("59 s") << kWithToken << plugged << 59 << "старая беда" << QStringList();
        QTest::newRow("60 s") << kWithToken << plugged << 60 << QString()
                              << QStringList{kAttach, "write"};
        QTest::newRow("unsafe") << QByteArray("meta\tTOKEN_SERIAL=12 34;x\ndevice\tabsent\n")
                                << devices({device("1-2", "12 34;x")}) << -1 << QString()
                                << QStringList();
    }

    void reattach()
    {
        QFETCH(QByteArray, lines);
        QFETCH(QByteArray, json);
        QFETCH(int, since);
        LogCapture log;
        host().m_tokenProblems.insert(kSerial, "старая беда");
        if (since >= 0)
            host().m_reattachTimes.insert(kSerial, QDateTime::currentDateTimeUtc().addSecs(-since));
        const QByteArray tag = QTest::currentDataTag();
        shell().answer(kAttach, FakeHostShell::exited(tag == "fails"));
        shell().answer("daemon-reload", FakeHostShell::exited(0));
        refreshWith(vm(1, lines) + vm(4), json);
        QTRY_VERIFY(shell().waiting().isEmpty() && !host().m_refreshing);
        host().refresh();
        QTRY_VERIFY(!host().m_refreshing);
        QTEST(host().status().vms[0].tokenProblem, "problem");
        QVERIFY(host().status().vms[1].tokenProblem.isEmpty());
        QTEST(actions(), "actions");
        QCOMPARE(log.matching("передан, а /dev/egais не появился").size(), tag == "unseen" ? 2 : 0);
    }

    // The road a user walks, through real processes on the stand-in wsl and usbipd: VMs made,
    // changed, given a token that comes back by itself after it was lost, read and removed.
    void vmLifeOnTheStandIns()
    {
        cleanup();
        WslStandIn wsl;
        QVERIFY(wsl.isValid());
        wsl.exportEnvironment();
        wsl.setImages({"localhost/utm-runtime:4.2", "localhost/utm-mock:1.0"});
        QFile devicesFile(m_dir.filePath("usbipd.json"));
        QVERIFY(devicesFile.open(QIODevice::WriteOnly));
        devicesFile.write(Test::readTestData("usbipd/token-serial.json"));
        devicesFile.close();
        qputenv("USBIPD_STANDIN_STATE", devicesFile.fileName().toLocal8Bit());
        ProcessShell processes;
        UtmHostConfig config;
        config.dataDir = m_dir.filePath("e2e");
        config.portProbe = [](int) {
            return true;
        };
        UtmHost host(config, &processes);
        record(&host);
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(host.status().phase == UtmHost::Running && !host.m_refreshing,
                                 20000);
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
        const auto vmOne = [&host] {
            return host.findVm(1) ? *host.findVm(1) : UtmVm();
        };

        QVERIFY(perform([&] { host.createVm("Касса"); }).startsWith("finished 1 VM 1 создана"));
        QVERIFY(vmOne().name == "Касса" && vmOne().activeState == "active" && !vmOne().online);
        const QString test = perform([&] { host.createTestVm("", "7707083893"); });
        QVERIFY2(test.startsWith("online http://127.0.0.1:8082 1 | finished 1 Тестовая VM 2"),
                 qPrintable(test));
        const UtmVm vmTwo = *host.findVm(2);
        QVERIFY(vmTwo.test && vmTwo.online && vmTwo.name == "VM 2" &&
                vmTwo.testInn == "7707083893");
        QVERIFY(isValidTestFsrarId(vmTwo.testFsrarId) && test.contains(vmTwo.testFsrarId));
        perform([&] { host.renameVm(1, " Склад "); });
        QCOMPARE(perform([&] { host.setVmOnline(1, true); }).section(" | ", 0, 0),
                 "online http://127.0.0.1:8081 1");
        perform([&] { host.stopVm(1); });
        QVERIFY(vmOne().name == "Склад" && vmOne().online && !vmOne().enabled);
        QCOMPARE(vmOne().activeState, "inactive");
        perform([&] { host.startVm(1); });
        QVERIFY(vmOne().enabled && vmOne().activeState == "active");

        QCOMPARE(perform([&] { host.assignToken(1, "1-2"); }),
                 "finished 1 Носитель «Rutoken ECP» передан VM 1");
        QVERIFY(vmOne().tokenSerial == kSerial && vmOne().devicePresent);
        // Lost as when WSL restarts: the next refresh shares it again and restarts the VM.
        QCOMPARE(QProcess::execute(WslStandIn::folder() + "/usbipd", {"detach", "--busid", "1-2"}),
                 0);
        host.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(!host.m_refreshing && vmOne().devicePresent &&
                                     host.m_reattachTimes.contains(kSerial),
                                 20000);
        m_events.clear();
        host.loadLogs(1);
        QTRY_VERIFY_WITH_TIMEOUT(!m_events.isEmpty(), 20000);
        QVERIFY2(m_events[0].startsWith("logs 1 ") && m_events[0].contains("Started utm-1-utm"),
                 qPrintable(m_events[0]));
        perform([&] { host.releaseToken(1); });
        QVERIFY(vmOne().tokenSerial.isEmpty() && !host.status().tokens[0].attached);
        QTRY_VERIFY(!QFile::exists(wsl.path("/dev/egais/" + kSerial)));

        QCOMPARE(perform([&] { host.removeVm(1); }),
                 "online http://127.0.0.1:8081 0 | finished 1 VM 1 удалена вместе с базой УТМ");
        QCOMPARE(host.status().vms.size(), 1);
        QFile calls(devicesFile.fileName() + ".calls");
        QVERIFY(calls.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(calls.readAll())
                     .split('\n', Qt::SkipEmptyParts)
                     .filter(QRegularExpression("^(?!state)")),
                 (QStringList{kAttach, kDetach, kAttach, kDetach}));
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestUtmHostVms)
#include "tst_utmhost_vms.moc"
