#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"

#include <QFileInfo>
#include <QTest>

#include <functional>
#include <memory>

using namespace Orv;
using Orv::Test::WslStandIn;

Q_DECLARE_METATYPE(Orv::UtmVm)

namespace {

UtmVm realVm(int number)
{
    UtmVm vm;
    vm.number = number;
    vm.name = QStringLiteral("Склад №%1").arg(number);
    vm.image = QStringLiteral("localhost/utm-runtime:4.2.0");
    vm.javaOpts = QStringLiteral("-Xmx192m");
    return vm;
}

UtmVm tokenVm(int number)
{
    UtmVm vm = realVm(number);
    vm.tokenSerial = QStringLiteral("0A1B2C3D");
    vm.tokenVid = QStringLiteral("0a89");
    return vm;
}

UtmVm testVm(int number, const QString &inn)
{
    UtmVm vm;
    vm.number = number;
    vm.online = true;
    vm.test = true;
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

    DistroStatus status()
    {
        const WslStandIn::Run run = m_wsl->runScript(distroStatusScript());
        if (run.exitCode != 0)
            qWarning() << run.err;
        return parseHostStatus(QString::fromUtf8(run.out));
    }

    bool apply(const UtmVm &vm, int action = VmApply)
    {
        const WslStandIn::Run run = m_wsl->runScript(writeVmScript(vm, action, true));
        if (run.exitCode != 0)
            qWarning() << run.err;
        return run.exitCode == 0;
    }

private slots:
    void init()
    {
        m_wsl = std::make_unique<WslStandIn>();
        QVERIFY(m_wsl->isValid());
        m_wsl->setImages({"localhost/utm-runtime:4.2.0", "localhost/utm-mock:1"});
    }

    void portsAndNames_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("webPort");
        QTest::addColumn<int>("serviceBase");
        QTest::newRow("first") << 1 << 8081 << 8200;
        QTest::newRow("last") << 99 << 8179 << 9180;
    }
    void portsAndNames()
    {
        QFETCH(int, number);
        QFETCH(int, webPort);
        QFETCH(int, serviceBase);
        const UtmVm vm = realVm(number);
        QCOMPARE(utmWebPort(vm), webPort);
        QCOMPARE(utmServicePortBase(vm), serviceBase);
        QCOMPARE(utmBaseUrl(vm), QStringLiteral("http://127.0.0.1:%1").arg(webPort));
        QCOMPARE(utmServiceNames(number),
                 QStringLiteral("utm-%1-utm.service utm-%1-pod.service").arg(number));
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
        QTest::newRow("image upper") << int(Image) << "localhost/UTM:1" << false;
        QTest::newRow("image punctuation first") << int(Image) << "/utm:1" << false;
        QTest::newRow("image quote") << int(Image) << "utm:1'x" << false;
        QTest::newRow("image line feed") << int(Image) << "utm:1\n" << false;
        QTest::newRow("image empty") << int(Image) << "" << false;
        QTest::newRow("inn 10") << int(Inn) << "7712345678" << true;
        QTest::newRow("inn 12") << int(Inn) << "771234567890" << true;
        QTest::newRow("inn 11") << int(Inn) << "77123456789" << false;
        QTest::newRow("inn line feed") << int(Inn) << "7712345678\n" << false;
        QTest::newRow("serial 64") << int(Serial) << QString(64, 'Z') << true;
        QTest::newRow("serial 65") << int(Serial) << QString(65, 'Z') << false;
        QTest::newRow("serial path") << int(Serial) << "../x" << false;
        QTest::newRow("serial line feed") << int(Serial) << "0A1B\n" << false;
        QTest::newRow("serial Cyrillic") << int(Serial) << "АБ12" << false;
        QTest::newRow("fsrar") << int(Fsrar) << "999900000042" << true;
        QTest::newRow("fsrar other prefix") << int(Fsrar) << "030000000042" << false;
        QTest::newRow("fsrar line feed") << int(Fsrar) << "999900000042\n" << false;
    }
    void validators()
    {
        QFETCH(int, validator);
        QFETCH(QString, text);
        QFETCH(bool, valid);
        using Check = bool (*)(const QString &);
        const Check checks[] = {isValidImageRef, isValidInn, isValidTokenSerial,
                                isValidTestFsrarId};
        QCOMPARE(checks[validator](text), valid);
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
        QTest::newRow("no state") << "" << true << 0 << int(VmFailing);
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
        QCOMPARE(kGeneratedHeader.count(QLatin1Char('\n')), 2);
        QVERIFY(kGeneratedHeader.endsWith("# правки руками перезапишутся.\n"));
        QCOMPARE(heredocWrite("/etc/a b", "x\n"),
                 "cat > '/etc/a b' <<'UTMHOST_EOF'\nx\nUTMHOST_EOF\n");
        QCOMPARE(heredocWrite("/etc/it's", "x\n"),
                 "cat > '/etc/it'\\''s' <<'UTMHOST_EOF'\nx\nUTMHOST_EOF\n");
    }

    // Lines a variant of a VM must have in its files, and lines it must not.
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
        UtmVm noVid = tokenVm(3);
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
                           "AddDevice=",  "JAVA_OPTS=\"", "RestartPreventExitStatus=3",
                           "UTM_WEB_PORT"};
    }
    void fileLines()
    {
        QFETCH(UtmVm, vm);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        QVERIFY(apply(vm, VmFilesOnly));
        const QStringList lines =
            (m_wsl->readFile(utmEnvPath(vm.number)) + m_wsl->readFile(utmPodPath(vm.number)) +
             m_wsl->readFile(utmContainerPath(vm.number)))
                .split(QLatin1Char('\n'));
        for (const QString &line : present)
            QVERIFY2(lines.contains(line), qPrintable(line));
        for (const QString &piece : absent)
            QVERIFY2(lines.filter(piece).isEmpty(), qPrintable(piece));
        QVERIFY(m_wsl->readFile(utmPodPath(vm.number)).startsWith(kGeneratedHeader));
    }

    // What the write-and-apply script writes comes back through the status report.
    void roundTrip()
    {
        UtmVm stopped = realVm(7);
        stopped.enabled = false;
        const QList<UtmVm> vms = {tokenVm(1), testVm(2, "7712345678"), stopped};
        QVERIFY(m_wsl->writeFile("/dev/egais/0A1B2C3D", {}));
        for (const UtmVm &vm : vms)
            QVERIFY(apply(vm));

        const DistroStatus report = status();
        QCOMPARE(report.systemd, "running");
        QCOMPARE(report.memTotal, 8000000LL * 1024);
        QCOMPARE(report.memAvailable, 7000000LL * 1024);
        QCOMPARE(report.images, m_wsl->images());
        QCOMPARE(report.vms.size(), vms.size());
        for (int i = 0; i < vms.size(); ++i) {
            const UtmVm &back = report.vms.at(i);
            QCOMPARE(recordOf(back), recordOf(vms.at(i)));
            QCOMPARE(back.activeState, vms.at(i).enabled ? "active" : "inactive");
            QCOMPARE(back.memory, vms.at(i).enabled ? 102400LL * 1024 : 0);
            QCOMPARE(back.devicePresent, i == 0);
        }
        QVERIFY(m_wsl->calls().contains("systemctl start utm-1-pod.service utm-1-utm.service"));
        QVERIFY(!m_wsl->calls().filter("systemctl start utm-7").size());
    }

    void statusWithoutVms()
    {
        m_wsl->writeFile("/.standin/system-state", "degraded\n");
        const DistroStatus report = status();
        QCOMPARE(report.systemd, "degraded");
        QCOMPARE(report.images.size(), 2);
        QVERIFY(report.vms.isEmpty());
        m_wsl->setUnitProperty("utm-5-utm.service", "ActiveState", "failed");
        m_wsl->setUnitProperty("utm-5-utm.service", "ExecMainStatus", "3");
        m_wsl->setUnitProperty("utm-5-utm.service", "NRestarts", "4");
        QVERIFY(apply(tokenVm(5), VmFilesOnly));
        const UtmVm back = status().vms.value(0);
        QCOMPARE(vmRunState(back), int(VmNoToken));
        QCOMPARE(back.restarts, 4);
        QVERIFY(!back.devicePresent);
    }

    void actions()
    {
        const UtmVm vm = realVm(3);
        QVERIFY(apply(vm));
        QVERIFY(apply(vm, VmStop));
        QCOMPARE(status().vms.value(0).activeState, "inactive");
        const int calls = m_wsl->calls().size();
        UtmVm renamed = vm;
        renamed.name = "Новое имя";
        QVERIFY(apply(renamed, VmFilesOnly));
        QCOMPARE(m_wsl->calls().mid(calls).filter(QRegularExpression("stop|start")), QStringList());
        QCOMPARE(status().vms.value(0).name, "Новое имя");
    }

    void scriptFailures_data()
    {
        QTest::addColumn<QString>("listening");
        QTest::addColumn<bool>("quadletFails");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("written");
        QTest::newRow("web port taken")
            << "8081" << false << 10 << "Порт 8081 или служебные 8200–8202 уже заняты в WSL"
            << false;
        QTest::newRow("last service port taken")
            << "18202\n8202" << false << 10 << "Порт 8081" << false;
        QTest::newRow("token device missing")
            << "" << false << 11 << "Носитель 0A1B2C3D не появился в WSL" << true;
        QTest::newRow("unit rejected") << "" << true << 1 << "bad unit" << true;
    }
    void scriptFailures()
    {
        QFETCH(QString, listening);
        QFETCH(bool, quadletFails);
        m_wsl->writeFile("/.standin/listening", listening.toUtf8());
        if (quadletFails)
            m_wsl->writeFile("/.standin/quadlet-fail", "bad unit\n");
        const WslStandIn::Run run = m_wsl->runScript(writeVmScript(tokenVm(1), VmApply, true));
        QTEST(run.exitCode, "exitCode");
        QFETCH(QString, message);
        QVERIFY2(QString::fromUtf8(run.err).contains(message), run.err);
        QTEST(QFileInfo::exists(m_wsl->path(utmEnvPath(1))), "written");
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
        row("serial", tokenVm(1),
            [](UtmVm &vm) { vm.tokenSerial = "x' ]; touch /etc/escaped; '"; });
        row("vendor id", tokenVm(1), [](UtmVm &vm) { vm.tokenVid = "0a89\nAddDevice=/dev/sda"; });
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
        QVERIFY(QString::fromUtf8(run.err).contains("недопустимое значение") ||
                QString::fromUtf8(run.err).contains("вне диапазона"));
        QVERIFY(!QFileInfo::exists(m_wsl->path("/etc/utm-desktop")));
        QVERIFY(!QFileInfo::exists(m_wsl->path("/etc/escaped")));
        // Harmless values of the same fields pass.
        QVERIFY(vmRecordProblem(tokenVm(99)).isEmpty());
        QVERIFY(vmRecordProblem(testVm(1, "771234567890")).isEmpty());
    }

    void removal()
    {
        QVERIFY(apply(realVm(2)));
        QVERIFY(apply(realVm(4)));
        QVERIFY(QFileInfo::exists(m_wsl->path("/.standin/volumes/utm-2-db")));
        QCOMPARE(m_wsl->runScript(removeVmScript(2)).exitCode, 0);
        const DistroStatus report = status();
        QCOMPARE(report.vms.size(), 1);
        QCOMPARE(report.vms.at(0).number, 4);
        for (const QString &gone : {utmEnvPath(2), utmPodPath(2), utmContainerPath(2),
                                    QStringLiteral("/.standin/volumes/utm-2-db"),
                                    QStringLiteral("/.standin/volumes/utm-2-log")})
            QVERIFY2(!QFileInfo::exists(m_wsl->path(gone)), qPrintable(gone));
        QVERIFY(QFileInfo::exists(m_wsl->path("/.standin/volumes/utm-4-db")));
        QCOMPARE(m_wsl->runScript(removeVmScript(2)).exitCode, 0);
        QCOMPARE(m_wsl->runScript(removeVmScript(0)).exitCode, 12);
    }

    void pruning()
    {
        m_wsl->setImages({"localhost/utm-runtime:1", "localhost/utm-runtime:2",
                          "localhost/utm-runtime:3", "localhost/utm-runtime:30",
                          "localhost/utm-mock:1"});
        UtmVm vm = realVm(1);
        vm.image = "localhost/utm-runtime:30";
        QVERIFY(apply(vm, VmFilesOnly));
        QCOMPARE(m_wsl->runScript(pruneImagesScript("localhost/utm-runtime:2")).exitCode, 0);
        QCOMPARE(m_wsl->images(),
                 QStringList({"localhost/utm-runtime:2", "localhost/utm-runtime:30",
                              "localhost/utm-mock:1"}));
        QCOMPARE(m_wsl->runScript(pruneImagesScript("x'; podman image rm y")).exitCode, 12);
    }

    void tagging()
    {
        m_wsl->setImages({"localhost/loaded:1"});
        QCOMPARE(m_wsl->runScript(tagImageScript("localhost/loaded:1", "localhost/utm-runtime:5"))
                     .exitCode,
                 0);
        QCOMPARE(m_wsl->images(), QStringList({"localhost/loaded:1", "localhost/utm-runtime:5"}));
        // An existing target is kept as it is, even when the source is gone.
        QCOMPARE(m_wsl->runScript(tagImageScript("localhost/gone:1", "localhost/utm-runtime:5"))
                     .exitCode,
                 0);
        QVERIFY(m_wsl->runScript(tagImageScript("localhost/gone:1", "localhost/utm-runtime:6"))
                    .exitCode != 0);
        QCOMPARE(m_wsl->images().size(), 2);
    }

    void waitingForSystemd()
    {
        m_wsl->writeFile("/.standin/system-state", "starting\n");
        const WslStandIn::Run run = m_wsl->runScript(waitSystemdScript());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, "pid1\tsystemd\nsystemd\tstarting\n");
    }

    void journal()
    {
        QCOMPARE(m_wsl->runScript(utmLogsScript(3, 300)).out, "");
        QVERIFY(apply(realVm(3)));
        const WslStandIn::Run started = m_wsl->runScript(utmLogsScript(3, 300));
        QCOMPARE(started.exitCode, 0);
        QVERIFY2(started.out.contains("systemd[1]: Started utm-3-utm.service."), started.out);

        const QString id =
            m_wsl->readFile("/.standin/units/utm-3-utm.service/InvocationID").trimmed();
        const QString at = "2024-05-01T10:00:00+0300";
        QByteArray journal;
        for (const QString &text :
             {at + " utm-3-utm[812]: УТМ запущен", at + " utm-3-utm[812]: level=warning msg=\"x\"",
              at + " utm-3-utm[812]: " + QString(64, 'a'), at + " utm-3-utm[812]: готов"})
            journal +=
                QStringLiteral("utm-3-utm.service\t%1\tutm-3-utm\t%2\n").arg(id, text).toUtf8();
        journal +=
            QStringLiteral("utm-3-utm.service\told\tutm-3-utm\t%1 utm-3-utm[1]: прошлый запуск\n")
                .arg(at)
                .toUtf8();
        QVERIFY(m_wsl->writeFile("/.standin/journal", journal));
        QCOMPARE(QString::fromUtf8(m_wsl->runScript(utmLogsScript(3, 300)).out),
                 at + " УТМ запущен\n" + at + " готов\n");
        QCOMPARE(QString::fromUtf8(m_wsl->runScript(utmLogsScript(3, 1)).out), at + " готов\n");
    }
};

QTEST_GUILESS_MAIN(TestDistroFiles)
#include "tst_distrofiles.moc"
