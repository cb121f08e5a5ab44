#include "utmhost/utmhost.h"

#include "core/util.h"
#include "tests/support/fakehostshell.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/logcapture.h"
#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Orv::Test::FakeAnswer;
using Orv::Test::FakeHostShell;

namespace Orv {
namespace {

const QString kTag = "localhost/utm-runtime:4.3:b";
const QString kMockTag = "localhost/utm-mock:1";
// What the stand-in podman loads: the reference on the first line.
const QByteArray kImage = kTag.toUtf8() + '\n' + QByteArray(300000, 'i');
const QByteArray kMock = kMockTag.toUtf8() + '\n' + QByteArray(1000, 'm');
const QString kLoad = "-d utm-desktop -u root -- podman load";
const QString kSeeLog = ". Подробности — в журнале агента";

// A root file system for the stand-in wsl: the tar of a folder that `commands` fill.
QByteArray rootfsOf(const QString &commands)
{
    QProcess tar;
    tar.start("sh", {"-ec", "cd \"$(mktemp -d)\"; mkdir etc; " + commands + "; tar -cf - ."});
    tar.waitForFinished();
    return tar.readAllStandardOutput();
}

} // namespace

class TestUtmHostInstall : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    Test::FakeParvisServer m_server;
    qint64 m_diskFree = 0; // what the resource sample reports for the data folder
    const QByteArray m_rootfs = rootfsOf("true");

    QString dataPath(const QString &path) const { return m_dir.filePath("utmhost/" + path); }

    // A fresh host over `shell` that reads the fake server's manifest of `rootfs` and kImage
    // (`sent` going out for the image), sees `m_diskFree` free and checks systemd without delay.
    std::unique_ptr<UtmHost> makeHost(IHostShell *shell, const QByteArray &rootfs = "rootfs",
                                      const QByteArray &sent = kImage)
    {
        const auto entry = [](const char *file, const QByteArray &content,
                              const QString &ref = kTag) {
            return QString(R"({"file":"%1","sha256":"%2","size":%3,"ref":"%4","version":"1"})")
                .arg(file, sha256Hex(content), QString::number(content.size()), ref);
        };
        const QString manifest =
            QString(R"({"format":1,"rootfs":%1,"image":%2,"mock":%3})")
                .arg(entry("rootfs.tar", rootfs), entry("utm.tar", kImage),
                     entry("mock.tar", kMock, kMockTag));
        m_server.setAnswer("GET", "/m/manifest.json", FakeAnswer::raw(200, manifest.toUtf8()));
        m_server.setAnswer("GET", "/m/rootfs.tar", FakeAnswer::raw(200, rootfs));
        m_server.setAnswer("GET", "/m/utm.tar", FakeAnswer::raw(200, sent));
        m_server.setAnswer("GET", "/m/mock.tar", FakeAnswer::raw(200, kMock));
        QDir(dataPath({})).removeRecursively();
        UtmHostConfig config;
        config.dataDir = dataPath({});
        config.manifestUrl = m_server.baseUrl() + "/m/manifest.json";
        auto host = std::make_unique<UtmHost>(config, shell);
        SystemInfoSource source;
        source.diskSpace = [this](const QString &) {
            return m_diskFree;
        };
        host->m_metrics = std::make_unique<HostMetrics>(source);
        host->m_systemdRetryMs = 0;
        return host;
    }

private slots:
    void installOnTheStandIns_data()
    {
        QTest::addColumn<QByteArray>("rootfs");
        QTest::addColumn<QByteArray>("sent"); // what goes out for the image
        QTest::addColumn<qint64>("diskFree");
        QTest::addColumn<int>("steps"); // how many of the steps it went through
        QTest::addColumn<QString>("message");
        const QString failed = "Установка не завершена: ";
        const qint64 need = 2 * m_rootfs.size() + 2 * (kImage.size() + 536870912);
        QTest::newRow("installed")
            << m_rootfs << kImage << need << 6 << QString("Всё готово — создайте VM");
        QTest::newRow("too little disk")
            << m_rootfs << kImage << need - 1 << 1
            << failed + "на диске свободно 1,0 ГБ, а нужно около 1,0 ГБ";
        QTest::newRow("download fails")
            << m_rootfs << QByteArray(kImage).replace(0, 1, "L") << qint64(0) << 3
            << failed + "sha256 utm.tar не совпал с описанием — файл удалён";
        QTest::newRow("not a root file system") << QByteArray("no tar") << kImage << qint64(0) << 4
                                                << failed + "VM не установилась" + kSeeLog;
        QTest::newRow("systemd never up")
            << rootfsOf("mkdir .standin; echo starting >.standin/system-state") << kImage
            << qint64(0) << 5 << failed + "VM не запустилась" + kSeeLog;
    }

    // Real processes on the stand-ins, from no distribution to a running one and back; each way
    // out leaves the host idle and refreshing, the complete payloads kept for the next attempt.
    void installOnTheStandIns()
    {
        QFETCH(int, steps);
        QFETCH(QString, message);
        QFETCH(qint64, diskFree);
        QFETCH(QByteArray, rootfs);
        QFETCH(QByteArray, sent);
        Test::WslStandIn wsl;
        wsl.exportEnvironment();
        QCOMPARE(wsl.run({"--unregister", "utm-desktop"}).exitCode, 0);
        m_diskFree = diskFree;
        ProcessShell processes;
        const auto host = makeHost(&processes, rootfs, sent);
        const UtmHostStatus &status = host->status();
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        host->start();
        QTRY_COMPARE(status.phase, int(UtmHost::NotInstalled));

        QStringList seen;
        QList<double> progress; // of the root file system's download
        connect(host.get(), &UtmHost::statusChanged, this, [&] {
            QVERIFY(status.phase == UtmHost::Installing && host->busyText() == "Устанавливаем VM");
            if (seen.value(seen.size() - 1) != status.installStep)
                seen << status.installStep;
            if (status.installStep == "Загружаем VM")
                progress << status.installProgress;
        });
        host->install();
        QVERIFY(finished.wait(30000));
        disconnect(host.get(), &UtmHost::statusChanged, this, nullptr);
        const bool ok = steps == 6;
        QCOMPARE(finished.takeFirst(), (QVariantList{ok, message}));
        const QStringList all{"Загружаем описание", "Загружаем VM", "Загружаем УТМ",
                              "Устанавливаем VM",   "Запускаем VM", "Устанавливаем УТМ"};
        QCOMPARE(seen, all.mid(0, steps));
        QCOMPARE(status.phase, int(ok ? UtmHost::Running : UtmHost::Checking));
        QVERIFY(host->busyText().isEmpty() && status.installStep.isEmpty());
        QCOMPARE(status.installProgress, -1.0);
        QCOMPARE(processes.isBackgroundRunning(), steps >= 5); // kept alive from the import on
        QCOMPARE(wsl.calls().filter("is-system-running").size(), steps == 5 ? 4 : steps / 6);
        // A payload goes once it is in place and stays, complete, for the next attempt until then.
        const QList<int> kept{0, 0, 2, 4, 2, 0}; // the payloads with their marks
        QCOMPARE(QDir(dataPath("download")).entryList(QDir::Files).size(), kept[steps - 1]);
        QTRY_VERIFY(!host->m_refreshing && status.phase != UtmHost::Checking);
        if (!ok)
            return;
        QVERIFY(progress.size() > 1 && progress.constFirst() == 0.0 && progress.constLast() == 1.0);
        QCOMPARE(status.images, QStringList{kTag});

        // A test VM brings the mock УТМ down first; its steps end with it.
        host->createTestVm("Проба", "");
        QVERIFY(finished.wait(30000));
        const QVariantList created = finished.takeFirst();
        QVERIFY2(created.at(1).toString().startsWith("Тестовая VM 1: мок УТМ с FSRAR_ID 9999"),
                 qPrintable(created.at(1).toString()));
        QVERIFY(created.at(0).toBool() && status.installStep.isEmpty());
        QCOMPARE(status.installProgress, -1.0);
        QTRY_COMPARE(status.vms.size(), 1);
        QCOMPARE(status.vms.constFirst().image, kMockTag);
        QVERIFY(status.images.contains(kMockTag));

        host->m_tokenProblems.insert("A1B2", kMsgTokenNotPassed);
        host->removeHost();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.takeFirst(), (QVariantList{true, "Все VM удалены вместе с базами УТМ"}));
        QVERIFY(!QDir(dataPath("wsl")).exists() && wsl.state().isEmpty());
        QVERIFY(status.images.isEmpty() && host->m_tokenProblems.isEmpty());
        QTRY_COMPARE(status.phase, int(UtmHost::NotInstalled));
    }

    // With the distribution there only the image needs room; a refresh under way when a fresh
    // installation begins reports into the void; a shutdown during it leaves a phase from which
    // the next start refreshes.
    void installGuardsAndPhase()
    {
        FakeHostShell shell;
        const auto host = makeHost(&shell);
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        host->setPhase(UtmHost::Running, {});
        for (const qint64 spare : {-1, 0}) {
            m_diskFree = 2 * (kImage.size() + 536870912) + spare;
            host->install();
            QTRY_VERIFY(host->status().installStep != "Загружаем описание");
            QCOMPARE(finished.size(), 1);
        }
        host->install();
        QCOMPARE(finished.last(), (QVariantList{false, "Подождите: Устанавливаем VM"}));
        host->shutdown();
        m_server.setAnswer("GET", "/m/manifest.json", FakeAnswer::never());
        host->setPhase(UtmHost::NotInstalled, {});
        host->start();
        host->install();
        shell.complete(shell.waiting().constLast(), FakeHostShell::exited(1));
        QCoreApplication::processEvents();
        QCOMPARE(host->status().phase, int(UtmHost::Installing));
        host->shutdown();
        QCOMPARE(host->status().phase, int(UtmHost::Checking));
        QVERIFY(host->status().installStep.isEmpty() && finished.size() == 2);
        const qsizetype commands = shell.calls.size();
        host->start();
        QCOMPARE(shell.calls.size(), commands + 1);

        // The image for new VMs: the manifest's (fetched above) while present, else the last by
        // name.
        host->m_status.images = {"localhost/utm-runtime:10", "localhost/utm-mock:2",
                                 "localhost/utm-runtime:9", "localhost/utm-mock:10", "zz/x:1"};
        QCOMPARE(host->runtimeImageRef(), QString("localhost/utm-runtime:9"));
        QCOMPARE(host->mockImageRef(), QString("localhost/utm-mock:2"));
        host->m_status.images << kTag;
        QCOMPARE(host->runtimeImageRef(), kTag);
    }

    // Under running VMs: real ones move onto the manifest's image one after the other, test VMs
    // never, and old images go only when all moved. The removal reports online VMs offline
    // first; a failed one keeps everything, and without a data folder nothing is touched at all.
    void updateAndRemoveUnderRunningVms()
    {
        FakeHostShell shell;
        const auto host = makeHost(&shell);
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        QSignalSpy online(host.get(), &UtmHost::vmOnlineChanged);
        host->setPhase(UtmHost::Running, {});
        host->m_status.images = {"localhost/utm-runtime:4.2"};
        QList<UtmVm> vms(5);
        for (int i = 0; i < 5; ++i) {
            vms[i].number = i + 1;
            vms[i].online = i == 0;
            vms[i].enabled = i != 2;
            vms[i].image = i == 3 ? kTag : "localhost/utm-runtime:4.2";
            vms[i].test = i == 1;
            vms[i].testFsrarId = "030000000001";
        }
        host->m_status.vms = vms;
        // What ran from the call `first` on: VMs rewritten (negative: files only), 0: pruning.
        const auto ran = [&](qsizetype first) {
            QList<int> numbers;
            for (const FakeHostShell::Call &call : shell.calls.mid(first)) {
                if (call.command.stdinData == pruneImagesScript(kTag).toUtf8())
                    numbers << 0;
                for (UtmVm vm : vms) {
                    vm.image = kTag;
                    for (const int action : {VmApply, VmFilesOnly}) {
                        if (call.command.stdinData == writeVmScript(vm, action, false).toUtf8())
                            numbers << (action == VmApply ? vm.number : -vm.number);
                    }
                }
            }
            return numbers;
        };
        shell.answer("set -eo pipefail", FakeHostShell::exited(0));
        shell.answer(kLoad, FakeHostShell::exited(0, "Loaded image(s):\n  " + kTag.toUtf8()));
        shell.answer("podman image rm", FakeHostShell::exited(1));
        host->updateImage();
        QVERIFY(finished.wait());
        QCOMPARE(finished.takeFirst(), (QVariantList{true, "УТМ обновлён: 4.3:b"}));
        QCOMPARE(ran(0), (QList<int>{1, -3, 5, 0}));
        QVERIFY(host->busyText().isEmpty() && host->status().installStep.isEmpty());
        // Refused until a refresh has read the VMs back; then, under an image already there,
        // the same VMs again, as the list says.
        host->updateImage();
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "Подождите: обновляем список VM"}));
        host->m_listOperations = host->m_operationsFinished;
        const qsizetype first = shell.calls.size();
        // A long error ends with what failed, and that end reaches the log.
        shell.answer(utmEnvPath(3), FakeHostShell::exited(1, {}, QByteArray(700, '.') + "\nгде"));
        Test::LogCapture log;
        host->updateImage();
        QVERIFY(finished.wait());
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "VM 3 не перезапустилась" + kSeeLog}));
        QVERIFY(log.matching("VM 3 не перезапустилась — …").constFirst().endsWith(R"(..\nгде)"));
        QCOMPARE(ran(first), (QList<int>{1, -3}));
        QCOMPARE(shell.lines().filter("podman load").size(), 1);

        QVERIFY(QDir().mkpath(dataPath("wsl")));
        shell.startBackground({}, {});
        // Nor is the host removed before then: the VMs put online must leave the agent's list.
        host->removeHost();
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "Подождите: обновляем список VM"}));
        host->m_listOperations = host->m_operationsFinished;
        host->removeHost();
        QCOMPARE(online.takeFirst(), (QVariantList{"http://127.0.0.1:8081", false}));
        QVERIFY(online.isEmpty() && !shell.isBackgroundRunning());
        QCOMPARE(shell.lines().constLast(), QString("--unregister utm-desktop"));
        shell.complete(int(shell.calls.size() - 1), FakeHostShell::exited(1));
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "VM не удалены" + kSeeLog}));
        QVERIFY(QDir(dataPath("wsl")).exists() && host->busyText().isEmpty());
        QCOMPARE(host->status().vms.size(), 5);
        host->m_config.dataDir.clear();
        host->removeHost();
        QCOMPARE(finished.takeFirst(),
                 (QVariantList{false, "Папка данных хоста не задана — VM не удалены"}));
        QCOMPARE(shell.lines().filter("--unregister").size(), 1);
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestUtmHostInstall)
#include "tst_utmhost_install.moc"
