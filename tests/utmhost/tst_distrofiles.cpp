#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"

#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <functional>
#include <limits>
#include <memory>

using namespace Orv;
using Orv::Test::WslStandIn;

Q_DECLARE_METATYPE(Orv::UtmVm)

namespace {

UtmVm realVm(int number, const QString &tokenSerial = {})
{
    UtmVm vm;
    vm.number = number;
    vm.name = QStringLiteral("Склад №%1").arg(number);
    vm.image = QStringLiteral("localhost/utm-runtime:4.2.0");
    vm.javaOpts = QStringLiteral("-Xmx192m");
    vm.tokenSerial = tokenSerial;
    vm.tokenVid = tokenSerial.isEmpty() ? QString() : QStringLiteral("0a89");
    return vm;
}

UtmVm testVm(int number, const QString &inn)
{
    UtmVm vm;
    vm.number = number;
    vm.online = vm.test = true;
    vm.image = QStringLiteral("localhost/utm-mock:1");
    vm.testFsrarId = QStringLiteral("999900000042");
    vm.testInn = inn;
    return vm;
}

// The fields the env file carries, as the status report gives them back.
QString recordOf(const UtmVm &vm)
{
    return QStringList{QString::number(vm.number),
                       vm.name,
                       QString::number(vm.online),
                       QString::number(vm.enabled),
                       vm.tokenSerial,
                       vm.tokenVid,
                       vm.image,
                       vm.javaOpts,
                       QString::number(vm.test),
                       vm.testFsrarId,
                       vm.testInn}
        .join(QLatin1Char('|'));
}

} // namespace

class TestDistroFiles : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WslStandIn> m_wsl;

    DistroStatus status() const
    {
        return parseHostStatus(QString::fromUtf8(m_wsl->runScript(distroStatusScript()).out));
    }
    int exitOf(const QString &script) const { return m_wsl->runScript(script).exitCode; }
    bool apply(const UtmVm &vm, int action = VmApply) const
    {
        return exitOf(writeVmScript(vm, action, true)) == 0;
    }
    bool exists(const QString &path) const { return QFileInfo::exists(m_wsl->path(path)); }

private slots:
    void init()
    {
        m_wsl = std::make_unique<WslStandIn>();
        QVERIFY(m_wsl->isValid());
        m_wsl->setImages({"localhost/utm-runtime:4.2.0", "localhost/utm-mock:1"});
    }

    // What the stand-in prints, in both of wsl.exe's encodings, and how it stops a distribution.
    void standInOutput()
    {
        const WslStandIn &wsl = *m_wsl;
        for (bool utf8 : {false, true}) {
            const WslStandIn::Run listed = wsl.run({"--list", "--verbose"}, {}, utf8);
            QCOMPARE(listed.exitCode, 0);
            QCOMPARE(listed.out.startsWith("\xff\xfe"), !utf8);
            const QList<WslDistro> rows = parseWslList(decodeProcessOutput(listed.out));
            QCOMPARE(rows.size(), 1);
            QCOMPARE(rows.at(0).name, "utm-desktop");
            QCOMPARE(rows.at(0).state, "Stopped");
            QCOMPARE(extractVersion(decodeProcessOutput(wsl.run({"--version"}, {}, utf8).out)),
                     "2.3.26.0");
        }
        QProcess keepAlive;
        keepAlive.setProcessEnvironment(wsl.environment());
        keepAlive.start(WslStandIn::folder() + "/wsl",
                        {"-d", "utm-desktop", "-u", "root", "--", "sleep", "infinity"});
        QVERIFY(keepAlive.waitForStarted());
        QTRY_COMPARE(wsl.state(), "Running");
        QCOMPARE(wsl.run({"--terminate", "utm-desktop"}).exitCode, 0);
        QVERIFY(keepAlive.waitForFinished(10000));
        QCOMPARE(wsl.state(), "Stopped");
        QCOMPARE(wsl.run({"-d", "other", "--", "true"}).exitCode, 1);
    }

    void portsAndNames()
    {
        for (const auto &[number, web, base] : {std::tuple(1, 8081, 8200), {99, 8179, 9180}}) {
            const UtmVm vm = realVm(number);
            QCOMPARE(utmWebPort(vm), web);
            QCOMPARE(utmServicePortBase(vm), base);
            QCOMPARE(utmBaseUrl(vm), QStringLiteral("http://127.0.0.1:%1").arg(web));
        }
        // A number from outside the range never wraps into some port.
        for (int number : {0, -1, 100, std::numeric_limits<int>::max()}) {
            const UtmVm vm = realVm(number);
            QVERIFY(utmWebPort(vm) == 0 && utmServicePortBase(vm) == 0 && utmBaseUrl(vm).isEmpty());
        }
        QCOMPARE(utmServiceNames(12), "utm-12-utm.service utm-12-pod.service");
    }

    void validators_data()
    {
        QTest::addColumn<int>("validator");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        enum { Image, Inn, Serial, Fsrar };
        QTest::newRow("image") << int(Image) << "localhost/utm-runtime:4.2.0" << true;
        QTest::newRow("image 201") << int(Image) << QString(201, 'a') << true;
        QTest::newRow("image 202") << int(Image) << QString(202, 'a') << false;
        QTest::newRow("image upper case") << int(Image) << "localhost/UTM:1" << false;
        QTest::newRow("image punctuation first") << int(Image) << "/utm:1" << false;
        QTest::newRow("image line feed") << int(Image) << "utm:1\n" << false;
        QTest::newRow("inn 10") << int(Inn) << "7712345678" << true;
        QTest::newRow("inn 12") << int(Inn) << "771234567890" << true;
        QTest::newRow("inn 11") << int(Inn) << "77123456789" << false;
        QTest::newRow("inn line feed") << int(Inn) << "7712345678\n" << false;
        QTest::newRow("serial 64") << int(Serial) << QString(64, 'Z') << true;
        QTest::newRow("serial 65") << int(Serial) << QString(65, 'Z') << false;
        QTest::newRow("serial empty") << int(Serial) << "" << false;
        QTest::newRow("serial line feed") << int(Serial) << "0A1B\n" << false;
        QTest::newRow("fsrar") << int(Fsrar) << "999900000042" << true;
        QTest::newRow("fsrar other prefix") << int(Fsrar) << "030000000042" << false;
        QTest::newRow("fsrar line feed") << int(Fsrar) << "999900000042\n" << false;
    }
    void validators()
    {
        QFETCH(int, validator);
        QFETCH(QString, text);
        using Check = bool (*)(const QString &);
        const Check checks[] = {isValidImageRef, isValidInn, isValidTokenSerial,
                                isValidTestFsrarId};
        QTEST(checks[validator](text), "valid");
    }

    void runState_data()
    {
        QTest::addColumn<QString>("activeState");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("state");
        QTest::newRow("active though disabled") << "active" << false << 3 << int(VmRunning);
        QTest::newRow("activating") << "activating" << true << 0 << int(VmStarting);
        QTest::newRow("reloading") << "reloading" << false << 0 << int(VmStarting);
        QTest::newRow("failed, no token") << "failed" << true << 3 << int(VmNoToken);
        QTest::newRow("failed, no token, disabled") << "failed" << false << 3 << int(VmStopped);
        QTest::newRow("inactive") << "inactive" << true << 0 << int(VmStopped);
        QTest::newRow("failed") << "failed" << true << 1 << int(VmFailing);
        QTest::newRow("case differs") << "Active" << true << 0 << int(VmFailing);
    }
    void runState()
    {
        QFETCH(QString, activeState);
        QFETCH(bool, enabled);
        QFETCH(int, exitStatus);
        UtmVm vm;
        vm.activeState = activeState;
        vm.enabled = enabled;
        vm.execMainStatus = exitStatus;
        QTEST(vmRunState(vm), "state");
    }

    // The few texts whose every character is fixed.
    void exactTexts()
    {
        QCOMPARE(kGeneratedHeader.size(), 105);
        QVERIFY(kGeneratedHeader.endsWith("vms —\n# правки руками перезапишутся.\n"));
        QCOMPARE(heredocWrite("/etc/a b", "x\n"),
                 "cat > '/etc/.a b.new' <<'UTMHOST_EOF'\nx\nUTMHOST_EOF\n"
                 "mv -f '/etc/.a b.new' '/etc/a b'\n");
        QCOMPARE(heredocWrite("/etc/it's", "x\n"),
                 "cat > '/etc/.it'\\''s.new' <<'UTMHOST_EOF'\nx\nUTMHOST_EOF\n"
                 "mv -f '/etc/.it'\\''s.new' '/etc/it'\\''s'\n");
    }

    // Lines a variant of a VM must have in its three files, and pieces no line may hold.
    void fileLines_data()
    {
        QTest::addColumn<UtmVm>("vm");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        UtmVm unnamed = realVm(2);
        unnamed.name.clear();
        unnamed.javaOpts.clear();
        QTest::newRow("no name, no options")
            << unnamed
            << QStringList{"NAME_B64=", "JAVA_OPTS=", "Network=none", "WantedBy=default.target"}
            << QStringList{"Environment=\"JAVA_OPTS=", "TOKEN_SERIAL="};
        UtmVm noVid = realVm(3, "0A1B2C3D");
        noVid.tokenVid.clear();
        noVid.enabled = false;
        QTest::newRow("token without vendor, disabled")
            << noVid << QStringList{"TOKEN_VID=",
                                    "Environment=UTM_TOKEN_VID=",
                                    "AddDevice=/dev/egais/0A1B2C3D",
                                    "ENABLED=0",
                                    "Environment=\"JAVA_OPTS=-Xmx192m\"",
                                    "RestartPreventExitStatus=3"}
            << QStringList{"[Install]"};
        QTest::newRow("test VM without INN")
            << testVm(4, {})
            << QStringList{"KIND=test", "TEST_FSRAR=999900000042", "Network=host",
                           "Environment=MOCK_UTM_PORT=8084", "Restart=on-failure"}
            << QStringList{"TEST_INN=",   "MOCK_UTM_INN", "Volume=",
                           "AddDevice=",  "JAVA_OPTS=\"", "RestartPreventExitStatus",
                           "UTM_WEB_PORT"};
    }
    void fileLines()
    {
        QFETCH(UtmVm, vm);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        QVERIFY(apply(vm, VmFilesOnly));
        const QString pod = m_wsl->readFile(utmPodPath(vm.number));
        const QStringList lines = (m_wsl->readFile(utmEnvPath(vm.number)) + pod +
                                   m_wsl->readFile(utmContainerPath(vm.number)))
                                      .split(QLatin1Char('\n'));
        for (const QString &line : present)
            QVERIFY2(lines.contains(line), qPrintable(line));
        for (const QString &piece : absent)
            QVERIFY2(lines.filter(piece).isEmpty(), qPrintable(piece));
        QVERIFY(pod.startsWith(kGeneratedHeader));
    }

    // What the write-and-apply script writes comes back through the status report.
    void roundTrip()
    {
        UtmVm stopped = realVm(7);
        stopped.enabled = false;
        const QList<UtmVm> vms = {realVm(1, "0A1B2C3D"), testVm(2, "7712345678"), stopped,
                                  realVm(9, "FF00")};
        QVERIFY(m_wsl->writeFile("/dev/egais/0A1B2C3D", {}));
        for (const UtmVm &vm : vms.mid(0, 3))
            QVERIFY(apply(vm));
        QVERIFY(apply(vms.at(3), VmFilesOnly));
        m_wsl->setUnitProperty("utm-9-utm.service", "ActiveState", "failed");
        m_wsl->setUnitProperty("utm-9-utm.service", "ExecMainStatus", "3");
        m_wsl->setUnitProperty("utm-9-utm.service", "NRestarts", "4");
        m_wsl->writeFile("/.standin/system-state", "degraded\n");

        const DistroStatus report = status();
        QCOMPARE(report.systemd, "degraded");
        QCOMPARE(report.memTotal, 8000000LL * 1024);
        QCOMPARE(report.memAvailable, 7000000LL * 1024);
        QCOMPARE(report.images, m_wsl->images());
        QCOMPARE(report.vms.size(), vms.size());
        const QList<int> states = {VmRunning, VmRunning, VmStopped, VmNoToken};
        for (int i = 0; i < vms.size(); ++i) {
            const UtmVm &back = report.vms.at(i);
            QCOMPARE(recordOf(back), recordOf(vms.at(i)));
            QCOMPARE(vmRunState(back), states.at(i));
            QCOMPARE(back.memory, states.at(i) == VmRunning ? 102400LL * 1024 : 0);
            QCOMPARE(back.devicePresent, i == 0);
        }
        QCOMPARE(report.vms.at(3).restarts, 4);
        QVERIFY(m_wsl->calls().contains("systemctl start utm-1-pod.service utm-1-utm.service"));

        // Stopping stops; rewriting the files alone neither stops nor starts.
        QVERIFY(apply(vms.at(0), VmStop));
        QCOMPARE(vmRunState(status().vms.at(0)), int(VmStopped));
        const int calls = m_wsl->calls().size();
        QVERIFY(apply(vms.at(1), VmFilesOnly));
        QVERIFY(m_wsl->calls().mid(calls).filter(QRegularExpression("stop|start")).isEmpty());
    }

    // A write cut short, here by a file size limit as by a full disk, leaves the VM's record as
    // it was, and what it left behind does not stand in the way of the next one.
    void cutWriteKeepsTheFiles()
    {
        const UtmVm vm = realVm(1, "0A1B2C3D");
        QVERIFY(apply(vm, VmFilesOnly));
        UtmVm renamed = vm;
        renamed.name = QStringLiteral("Касса");
        QVERIFY(exitOf("ulimit -f 0\n" + writeVmScript(renamed, VmFilesOnly, false)) != 0);
        QCOMPARE(recordOf(status().vms.value(0)), recordOf(vm));
        QVERIFY(apply(renamed, VmFilesOnly));
        QCOMPARE(recordOf(status().vms.value(0)), recordOf(renamed));
    }

    void scriptFailures_data()
    {
        QTest::addColumn<QString>("listening");
        QTest::addColumn<bool>("quadletFails");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("web port taken")
            << "8081" << false << 10 << "Порт 8081 или служебные 8200–8202 уже заняты в WSL";
        QTest::newRow("last service port taken") << "18202\n8202" << false << 10 << "Порт 8081";
        QTest::newRow("token device missing")
            << "8203" << false << 11 << "Носитель 0A1B2C3D не появился в WSL";
        QTest::newRow("unit rejected") << "" << true << 1 << "bad unit";
    }
    void scriptFailures()
    {
        QFETCH(QString, listening);
        QFETCH(bool, quadletFails);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        m_wsl->writeFile("/.standin/listening", listening.toUtf8());
        if (quadletFails)
            m_wsl->writeFile("/.standin/quadlet-fail", "bad unit\n");
        const WslStandIn::Run run =
            m_wsl->runScript(writeVmScript(realVm(1, "0A1B2C3D"), VmApply, true));
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(run.err).contains(message), run.err);
        // A taken port stops the script before it writes anything.
        QCOMPARE(exists(utmEnvPath(1)), exitCode != 10);
        QVERIFY(m_wsl->calls().filter("systemctl start").isEmpty());
    }

    // Values read back from the distribution never reach a script unchecked.
    void unsafeRecords_data()
    {
        QTest::addColumn<UtmVm>("vm");
        const auto row = [](const char *name, UtmVm vm, const std::function<void(UtmVm &)> &spoil) {
            spoil(vm);
            QTest::newRow(name) << vm;
        };
        row("here-document end in options", realVm(1), [](UtmVm &vm) {
            vm.javaOpts = "-Xmx1m\nUTMHOST_EOF\ntouch /etc/escaped\ncat <<'UTMHOST_EOF'";
        });
        row("quote in options", realVm(1), [](UtmVm &vm) { vm.javaOpts = "-Dx=\"a\""; });
        row("specifier in options", realVm(1), [](UtmVm &vm) { vm.javaOpts = "-Dx=%h"; });
        row("serial", realVm(1, "A"),
            [](UtmVm &vm) { vm.tokenSerial = "x' ]; touch /etc/escaped; '"; });
        row("vendor id", realVm(1, "A"),
            [](UtmVm &vm) { vm.tokenVid = "0a89\nAddDevice=/dev/sda"; });
        row("image", realVm(1), [](UtmVm &vm) { vm.image = "utm:1\nPrivileged=true"; });
        row("test FSRAR id", testVm(1, {}), [](UtmVm &vm) { vm.testFsrarId = "1\nKIND=x"; });
        row("test INN", testVm(1, {}), [](UtmVm &vm) { vm.testInn = "7712345678\n"; });
        row("number 0", realVm(0), [](UtmVm &) {});
        row("number 100", realVm(100), [](UtmVm &) {});
    }
    void unsafeRecords()
    {
        QFETCH(UtmVm, vm);
        QVERIFY(!vmRecordProblem(vm).isEmpty());
        const WslStandIn::Run run = m_wsl->runScript(writeVmScript(vm, VmApply, false));
        QCOMPARE(run.exitCode, 12);
        QVERIFY(run.err.contains("VM"));
        QVERIFY(!exists("/etc/utm-desktop"));
        QVERIFY(!exists("/etc/escaped"));
        // Sound values of the same fields pass.
        QVERIFY(vmRecordProblem(realVm(99, "0A1B")).isEmpty());
        QVERIFY(vmRecordProblem(testVm(1, "771234567890")).isEmpty());
    }

    void removalAndPruning()
    {
        m_wsl->setImages({"localhost/utm-runtime:2", "localhost/utm-runtime:3",
                          "localhost/utm-runtime:30", "localhost/utm-mock:1"});
        UtmVm kept = realVm(4);
        kept.image = "localhost/utm-runtime:30";
        QVERIFY(apply(realVm(2)));
        QVERIFY(apply(kept));
        QCOMPARE(exitOf(removeVmScript(2)), 0);
        const DistroStatus report = status();
        QCOMPARE(report.vms.size(), 1);
        QCOMPARE(report.vms.at(0).number, 4);
        for (const QString &gone : {utmEnvPath(2), utmPodPath(2), utmContainerPath(2),
                                    QStringLiteral("/.standin/volumes/utm-2-db"),
                                    QStringLiteral("/.standin/volumes/utm-2-log")})
            QVERIFY2(!exists(gone), qPrintable(gone));
        QVERIFY(exists("/.standin/volumes/utm-4-db"));
        QCOMPARE(exitOf(removeVmScript(2)), 0);
        QCOMPARE(exitOf(removeVmScript(0)), 12);

        QCOMPARE(exitOf(pruneImagesScript("localhost/utm-runtime:2")), 0);
        QCOMPARE(m_wsl->images(),
                 QStringList({"localhost/utm-runtime:2", "localhost/utm-runtime:30",
                              "localhost/utm-mock:1"}));
        QCOMPARE(exitOf(pruneImagesScript("x'; podman image rm y")), 12);
    }

    void imageTagAndSystemdWait()
    {
        m_wsl->setImages({"localhost/loaded:1"});
        QCOMPARE(exitOf(tagImageScript("localhost/loaded:1", "localhost/utm-runtime:5")), 0);
        QCOMPARE(m_wsl->images(), QStringList({"localhost/loaded:1", "localhost/utm-runtime:5"}));
        // An existing target stays as it is, even when the source is gone.
        QCOMPARE(exitOf(tagImageScript("localhost/gone:1", "localhost/utm-runtime:5")), 0);
        QVERIFY(exitOf(tagImageScript("localhost/gone:1", "localhost/utm-runtime:6")) != 0);
        QCOMPARE(m_wsl->images().size(), 2);
        QCOMPARE(exitOf(tagImageScript("localhost/loaded:1", "Bad:1")), 12);
        QCOMPARE(exitOf(tagImageScript("Bad:1", "localhost/loaded:2")), 12);

        m_wsl->writeFile("/.standin/system-state", "starting\n");
        QCOMPARE(m_wsl->runScript(waitSystemdScript()).out, "pid1\tsystemd\nsystemd\tstarting\n");
    }

    void journal()
    {
        QVERIFY(m_wsl->runScript(utmLogsScript(3, 300)).out.isEmpty());
        QVERIFY(apply(realVm(3)));
        QVERIFY(m_wsl->runScript(utmLogsScript(3, 300)).out.contains("systemd[1]: Started utm-3"));

        const QString id =
            m_wsl->readFile("/.standin/units/utm-3-utm.service/InvocationID").trimmed();
        const QString at = "2024-05-01T10:00:00+0300 ";
        QString journal;
        for (const QString &text :
             QStringList{"УТМ запущен", "level=warning msg=\"x\"", QString(64, 'a'), "готов"})
            journal += QStringLiteral("utm-3-utm.service\t%1\tutm-3-utm\t%2utm-3-utm[812]: %3\n")
                           .arg(id, at, text);
        journal += "utm-3-utm.service\told\tutm-3-utm\t" + at + "utm-3-utm[1]: прошлый запуск\n";
        QVERIFY(m_wsl->writeFile("/.standin/journal", journal.toUtf8()));
        QCOMPARE(QString::fromUtf8(m_wsl->runScript(utmLogsScript(3, 300)).out),
                 at + "УТМ запущен\n" + at + "готов\n");
        QCOMPARE(QString::fromUtf8(m_wsl->runScript(utmLogsScript(3, 1)).out), at + "готов\n");
    }
};

QTEST_GUILESS_MAIN(TestDistroFiles)
#include "tst_distrofiles.moc"
