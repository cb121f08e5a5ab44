#include "utmhost/hostparsers.h"
#include "tests/support/testdata.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;

// The stand-in usbipd that host tests put on PATH: what it prints and how its commands change
// the devices it reports.
class TestUsbipdStandIn : public QObject
{
    Q_OBJECT

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    QTemporaryDir m_dir;

    QString stateFile() const { return m_dir.filePath(QStringLiteral("state.json")); }

    void useFixture(const QString &name)
    {
        const QByteArray fixture = Test::readTestData(QStringLiteral("usbipd/") + name);
        QVERIFY(!fixture.isEmpty());
        QFile::remove(stateFile() + QStringLiteral(".calls"));
        QFile file(stateFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(fixture);
    }

    Run usbipd(const QStringList &arguments) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("USBIPD_STANDIN_STATE"), stateFile());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(ORV_STANDIN_DIR "/usbipd"), arguments);
        Run run;
        if (process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit)
            run = {process.exitCode(), process.readAllStandardOutput(),
                   process.readAllStandardError()};
        return run;
    }

    // The devices "usbipd state" reports, read as the host reads them, by bus id.
    QHash<QString, HostToken> devices() const
    {
        QString error;
        const QList<HostToken> list =
            parseUsbipdState(usbipd({QStringLiteral("state")}).out, &error);
        if (!error.isEmpty())
            qWarning() << error;
        QHash<QString, HostToken> devices;
        for (const HostToken &device : list)
            devices.insert(device.busId, device);
        return devices;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // A device is attached once shared, and detached again; each step shows in the state.
    void bindAttachDetach()
    {
        useFixture(QStringLiteral("token-noserial.json"));
        const QStringList attach{"attach", "--wsl", "utm-desktop", "--busid", "2-1"};
        const Run refused = usbipd(attach);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.err.contains("not shared"));
        QVERIFY(!devices().value("2-1").attached);

        QCOMPARE(usbipd({"bind", "--busid", "2-1"}).exitCode, 0);
        QVERIFY(devices().value("2-1").bound);
        QCOMPARE(usbipd(attach).exitCode, 0);
        HostToken device = devices().value("2-1");
        QVERIFY(device.attached && device.bound);
        QCOMPARE(usbipd(attach).exitCode, 1);

        QCOMPARE(usbipd({"detach", "--busid", "2-1"}).exitCode, 0);
        device = devices().value("2-1");
        QVERIFY(!device.attached && device.bound);
        QCOMPARE(device.instanceId, "USB\\VID_2CE4&PID_7479\\6&1C2F3A&0&1");

        QFile calls(stateFile() + QStringLiteral(".calls"));
        QVERIFY(calls.open(QIODevice::ReadOnly));
        QCOMPARE(
            QString::fromUtf8(calls.readAll()).split('\n', Qt::SkipEmptyParts).mid(0, 3),
            (QStringList{"attach --wsl utm-desktop --busid 2-1", "state", "bind --busid 2-1"}));
    }

    void refusesWhatItDoesNotKnow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("unknown command") << QStringList{"list"} << QByteArray("'list'");
        QTest::newRow("unknown option")
            << QStringList{"bind", "--busid", "1-2", "--force"} << QByteArray("'--force'");
        QTest::newRow("attach outside WSL")
            << QStringList{"attach", "--busid", "1-2"} << QByteArray("--wsl");
        QTest::newRow("unplugged device")
            << QStringList{"bind", "--busid", "3-1"} << QByteArray("no device with busid '3-1'");
    }
    void refusesWhatItDoesNotKnow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        useFixture(QStringLiteral("token-serial.json"));
        const QByteArray before = usbipd({"state"}).out;
        const Run run = usbipd(arguments);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(message), run.err.constData());
        QCOMPARE(usbipd({"state"}).out, before);
    }
};

QTEST_GUILESS_MAIN(TestUsbipdStandIn)
#include "tst_usbipdstandin.moc"
