#include "utmhost/utmhost.h"

#include "core/util.h"
#include "tests/support/fakehostshell.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/wslstandin.h"
#include "utmhost/distrofiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Orv::Test::FakeAnswer;
using Orv::Test::FakeHostShell;
using Orv::Test::WslStandIn;

namespace Orv {
namespace {

const QString kTag = "localhost/utm-runtime:4.3:b";
const QString kOldTag = "localhost/utm-runtime:4.2";
// What the stand-in podman loads: the reference on the first line.
const QByteArray kImage = kTag.toUtf8() + '\n' + QByteArray(300000, 'i');
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
    std::unique_ptr<QTemporaryDir> m_dir;
    Orv::Test::FakeParvisServer m_server;
    qint64 m_diskFree = 0; // what the resource sample reports for the data folder
    const QByteArray m_rootfs = rootfsOf("true");

    QString dataPath(const QString &path) const { return m_dir->filePath("utmhost/" + path); }

    // A host over `shell` that reads the fake server's manifest of `rootfs` and `image` (`sent`
    // going out for the image), sees `m_diskFree` on its disk and checks systemd without delay.
    std::unique_ptr<UtmHost> makeHost(IHostShell *shell, const QByteArray &rootfs = "rootfs",
                                      const QByteArray &image = kImage, QByteArray sent = {})
    {
        const auto entry = [this](const char *file, const QByteArray &content) {
            m_server.setAnswer("GET", QString("/m/") + file, FakeAnswer::raw(200, content));
            return QJsonObject{{"file", file},
                               {"sha256", sha256Hex(content)},
                               {"ref", kTag},
                               {"size", content.size()},
                               {"version", "12.5"}};
        };
        const QJsonObject manifest{{"format", 1},
                                   {"rootfs", entry("rootfs.tar", rootfs)},
                                   {"image", entry("utm.tar", image)}};
        m_server.setAnswer("GET", "/m/manifest.json",
                           FakeAnswer::raw(200, QJsonDocument(manifest).toJson()));
        if (!sent.isNull())
            m_server.setAnswer("GET", "/m/utm.tar", FakeAnswer::raw(200, sent));
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
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_diskFree = 0;
    }

    void installOnTheStandIns_data()
    {
        QTest::addColumn<QByteArray>("rootfs");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<qint64>("diskFree");
        QTest::addColumn<int>("steps"); // how many of the steps it went through
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("kept"); // what stays in the download folder
        const QString failed = "Установка не завершена: ";
        const qint64 need = 2 * m_rootfs.size() + 2 * (kImage.size() + 536870912);
        const QStringList rootfs{"rootfs.tar", "rootfs.tar.sha256"};
        const QStringList image{"utm.tar", "utm.tar.sha256"};
        const QByteArray none;
        QTest::newRow("installed") << m_rootfs << kImage << none << need << 6
                                   << "Всё готово — создайте VM" << QStringList();
        QTest::newRow("too little disk")
            << m_rootfs << kImage << none << need - 1 << 1
            << failed + "на диске свободно 1,0 ГБ, а нужно около 1,0 ГБ" << QStringList();
        QTest::newRow("download fails")
            << m_rootfs << kImage << QByteArray(kImage).replace(0, 1, "L") << qint64(0) << 3
            << failed + "sha256 utm.tar не совпал с описанием — файл удалён" << rootfs;
        QTest::newRow("not a root file system")
            << QByteArray("no tar") << kImage << none << qint64(0) << 4
            << failed + "VM не установилась" + kSeeLog << rootfs + image;
        QTest::newRow("systemd never up")
            << rootfsOf("mkdir .standin; echo starting >.standin/system-state") << kImage << none
            << qint64(0) << 5 << failed + "VM не запустилась" + kSeeLog << image;
        QTest::newRow("no systemd at all")
            << rootfsOf("mkdir -p proc/1; echo init >proc/1/comm") << kImage << none << qint64(0)
            << 5 << failed + "VM не запустилась" + kSeeLog << image;
        QTest::newRow("image does not load")
            << m_rootfs << QByteArray("no image\n") << none << qint64(0) << 6
            << failed + "УТМ не установился" + kSeeLog << image;
    }

    // Real processes on the stand-ins, from no distribution to a running one and back; each way
    // out leaves the host idle and checking, the complete payloads kept for the next attempt.
    void installOnTheStandIns()
    {
        QFETCH(int, steps);
        QFETCH(QString, message);
        WslStandIn wsl;
        wsl.exportEnvironment();
        QCOMPARE(wsl.run({"--unregister", "utm-desktop"}).exitCode, 0);
        QFETCH(qint64, diskFree);
        m_diskFree = diskFree;
        ProcessShell processes;
        QFETCH(QByteArray, rootfs);
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, sent);
        const auto host = makeHost(&processes, rootfs, image, sent);
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        host->start();
        QTRY_COMPARE(host->status().phase, int(UtmHost::NotInstalled));

        QStringList seen;
        QList<double> progress; // of the root file system's download
        connect(host.get(), &UtmHost::statusChanged, this, [&] {
            const UtmHostStatus &status = host->status();
            QVERIFY(status.phase == UtmHost::Installing && host->busyText() == "Устанавливаем VM");
            if (seen.value(seen.size() - 1) != status.installStep)
                seen << status.installStep;
            if (status.installStep == "Загружаем VM")
                progress << status.installProgress;
            else if (status.installStep != "Загружаем УТМ")
                QCOMPARE(status.installProgress, -1.0);
        });
        host->install();
        QVERIFY(finished.wait(30000));
        disconnect(host.get(), &UtmHost::statusChanged, this, nullptr);
        const bool ok = steps == 6 && message.startsWith("Всё");
        QCOMPARE(finished.takeFirst(), (QVariantList{ok, message}));
        const QStringList all{"Загружаем описание", "Загружаем VM", "Загружаем УТМ",
                              "Устанавливаем VM",   "Запускаем VM", "Устанавливаем УТМ"};
        QCOMPARE(seen, all.mid(0, steps));
        QCOMPARE(host->status().phase, int(ok ? UtmHost::Running : UtmHost::Checking));
        QVERIFY(host->busyText().isEmpty() && host->status().installStep.isEmpty());
        QCOMPARE(host->status().installProgress, -1.0);
        QTEST(QDir(dataPath("download")).entryList(QDir::Files), "kept");
        if (!ok)
            return;
        QVERIFY(progress.size() > 1 && progress.constFirst() == 0.0 && progress.constLast() == 1.0);
        QVERIFY(QFile::exists(dataPath("wsl/ext4.vhdx")));
        QTRY_VERIFY(!host->m_refreshing && host->status().images == QStringList{kTag});

        host->removeHost();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.takeFirst(), (QVariantList{true, "Все VM удалены вместе с базами УТМ"}));
        QVERIFY(!QDir(dataPath("wsl")).exists() && wsl.state().isEmpty());
        QTRY_COMPARE(host->status().phase, int(UtmHost::NotInstalled));
    }

    // Only the image needs room when the distribution is there; a refresh under way when a
    // fresh installation begins reports into the void; a shutdown during the installation
    // leaves a phase from which the next start refreshes.
    void installGuardsAndPhase()
    {
        FakeHostShell shell;
        const auto host = makeHost(&shell);
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        host->setPhase(UtmHost::Starting, {});
        host->install();
        QCOMPARE(finished.takeFirst(), (QVariantList{false, kMsgNotReady}));
        host->m_busyText = "Создаём VM";
        host->install();
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "Подождите: Создаём VM"}));
        host->m_busyText.clear();
        host->setPhase(UtmHost::Running, {});
        for (const qint64 spare : {-1, 0}) {
            m_diskFree = 2 * (kImage.size() + 536870912) + spare;
            host->install();
            QTRY_VERIFY(host->status().installStep != "Загружаем описание");
            QCOMPARE(finished.size(), 1);
        }

        host->shutdown();
        m_server.setAnswer("GET", "/m/manifest.json", FakeAnswer::never());
        host->setPhase(UtmHost::NotInstalled, {});
        host->start();
        host->install();
        QCOMPARE(host->status().phase, int(UtmHost::Installing));
        shell.complete(shell.waiting().constLast(), FakeHostShell::exited(1));
        QCoreApplication::processEvents();
        QCOMPARE(host->status().phase, int(UtmHost::Installing));
        QCOMPARE(host->status().installStep, QString("Загружаем описание"));
        host->shutdown();
        QCOMPARE(host->status().phase, int(UtmHost::Checking));
        QVERIFY(host->status().installStep.isEmpty() && finished.size() == 1);
        const qsizetype commands = shell.calls.size();
        host->start();
        QCOMPARE(shell.calls.size(), commands + 1);
    }

    // Online VMs go offline before the distribution does; a failed unregistration keeps
    // everything; without a data folder nothing is touched at all.
    void removeHostFails()
    {
        FakeHostShell shell;
        const auto host = makeHost(&shell);
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        QSignalSpy online(host.get(), &UtmHost::vmOnlineChanged);
        host->m_status.vms.resize(2);
        host->m_status.vms[0].number = 1;
        host->m_status.vms[0].online = true;
        host->m_status.vms[1].number = 5;
        QVERIFY(QDir().mkpath(dataPath("wsl")));
        shell.startBackground({}, {});
        host->removeHost();
        QCOMPARE(online.takeFirst(), (QVariantList{"http://127.0.0.1:8081", false}));
        QVERIFY(online.isEmpty() && !shell.isBackgroundRunning());
        host->removeHost();
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "Подождите: Удаляем все VM"}));
        QCOMPARE(shell.lines().constLast(), QString("--unregister utm-desktop"));
        shell.complete(shell.waiting().constFirst(), FakeHostShell::exited(1));
        QCOMPARE(finished.takeFirst(), (QVariantList{false, "VM не удалены" + kSeeLog}));
        QVERIFY(QDir(dataPath("wsl")).exists() && host->busyText().isEmpty());
        QCOMPARE(host->status().vms.size(), 2);

        host->m_config.dataDir.clear();
        const qsizetype commands = shell.calls.size();
        host->removeHost();
        QCOMPARE(finished.takeFirst(),
                 (QVariantList{false, "Папка данных хоста не задана — VM не удалены"}));
        QCOMPARE(shell.calls.size(), commands);
    }

    void updateImage_data()
    {
        QTest::addColumn<bool>("hadImage");
        QTest::addColumn<QString>("failing");  // the run that fails
        QTest::addColumn<QList<int>>("moved"); // VMs rewritten; negative: files only
        QTest::addColumn<QString>("message");
        const QList<int> all{1, -3, 5};
        QTest::newRow("new image") << false << QString() << all << "УТМ обновлён: 4.3:b";
        QTest::newRow("image there") << true << QString() << all << "Новее УТМ нет: 4.3:b";
        QTest::newRow("prune fails") << true << "podman image rm" << all << "Новее УТМ нет: 4.3:b";
        QTest::newRow("second fails")
            << false << utmEnvPath(3) << QList<int>{1, -3} << "VM 3 не перезапустилась" + kSeeLog;
        QTest::newRow("load fails")
            << false << kLoad << QList<int>() << "УТМ не обновлён: УТМ не установился" + kSeeLog;
    }

    // Real VMs move onto the manifest's image one after the other, test VMs never; a failure
    // stops the chain and keeps the old images.
    void updateImage()
    {
        QFETCH(bool, hadImage);
        QFETCH(QString, failing);
        FakeHostShell shell;
        const auto host = makeHost(&shell);
        host->setPhase(UtmHost::Running, {});
        host->m_status.images = hadImage ? QStringList{kOldTag, kTag} : QStringList{kOldTag};
        QList<UtmVm> vms(5);
        for (int i = 0; i < 5; ++i) {
            vms[i].number = i + 1;
            vms[i].enabled = i != 2;
            vms[i].image = i == 3 ? kTag : kOldTag;
            vms[i].test = i == 1;
            vms[i].testFsrarId = "030000000001";
        }
        host->m_status.vms = vms;
        shell.answer("set -eo pipefail", FakeHostShell::exited(0));
        shell.answer("podman image rm", FakeHostShell::exited(0));
        shell.answer(kLoad, FakeHostShell::exited(0, "Loaded image(s):\n  " + kTag.toUtf8()));
        if (!failing.isEmpty())
            shell.answer(failing, FakeHostShell::exited(1));
        QSignalSpy finished(host.get(), &UtmHost::operationFinished);
        host->updateImage();
        QVERIFY(finished.wait());
        QList<int> moved;
        bool pruned = false;
        for (const FakeHostShell::Call &call : std::as_const(shell.calls)) {
            pruned = pruned || call.command.stdinData == pruneImagesScript(kTag).toUtf8();
            for (UtmVm vm : vms) {
                vm.image = kTag;
                for (const int action : {VmApply, VmFilesOnly}) {
                    if (call.command.stdinData == writeVmScript(vm, action, false).toUtf8())
                        moved << (action == VmApply ? vm.number : -vm.number);
                }
            }
        }
        QTEST(moved, "moved");
        // Only a chain that reached its end prunes, and then it succeeds whatever the pruning did.
        QCOMPARE(pruned, moved.size() == 3);
        QFETCH(QString, message);
        QCOMPARE(finished.takeFirst(), (QVariantList{pruned, message}));
        QVERIFY(host->busyText().isEmpty() && host->status().installStep.isEmpty());
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestUtmHostInstall)
#include "tst_utmhost_install.moc"
