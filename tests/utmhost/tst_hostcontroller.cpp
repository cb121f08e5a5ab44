#include "utmhost/hostcontroller.h"

#include "app/appcontroller.h"
#include "core/devicetokenstore.h"
#include "core/util.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/hoststandins.h"
#include "utmhost/utmhost.h"

#include <QDesktopServices>
#include <QJSEngine>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace Orv {
namespace {

constexpr int kWaitMs = 30000;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// `keys` of each row, joined.
QStringList text(const QVariantList &rows, const QStringList &keys)
{
    QStringList lines;
    for (const QVariant &row : rows) {
        lines << QString();
        for (const QString &key : keys)
            lines.last() += row.toMap().value(key).toString() + '|';
    }
    return lines;
}

} // namespace

// The controller as the window sees it (names and keys through a script engine) over the real
// host and runner on the stand-ins, feeding a real agent controller.
class TestHostController : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl &url) { m_opened << url; }

private:
    Test::HostStandIns m_standIns;
    Test::FakeParvisServer m_server;
    std::unique_ptr<AppController> m_agent;
    std::unique_ptr<HostController> m_host;
    QJSEngine m_js;
    QList<QUrl> m_opened;

    QVariant js(const QString &code)
    {
        const QJSValue value = m_js.evaluate(code);
        return value.isError() ? "error: " + value.toString() : value.toVariant();
    }

    // Calls `code` as the page does; gives the message of the operation's end once the refresh
    // after it has read the VMs back.
    QString perform(const QString &code)
    {
        m_agent->setLastMessage({});
        js(code);
        const UtmHost &host = *m_host->m_host;
        return QTest::qWaitFor(
                   [&] {
                       return !m_agent->lastMessage().isEmpty() && !host.m_refreshing &&
                              host.m_listOperations == host.m_operationsFinished;
                   },
                   kWaitMs)
                   ? m_agent->lastMessage()
                   : "timed out";
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_standIns.isValid(), qPrintable(m_standIns.error()));
        QCoreApplication::setOrganizationName("Tellvane");
        QCoreApplication::setApplicationName("Tellvane Orv Agent");
        QDesktopServices::setUrlHandler("http", this, "open");

        m_server.setAnswer("POST", "/agent/v1/heartbeat", Test::FakeAnswer::json(200, {}));
        m_server.setAnswer("GET", "/agent/v1/tasks", Test::FakeAnswer::never());
        QVERIFY(DeviceTokenStore(deviceTokenPath()).save("token")); // the agent has a core
        m_agent = std::make_unique<AppController>(m_server.baseUrl());
        m_host = std::make_unique<HostController>(m_agent.get(), m_standIns.manifestUrl());
        QJSEngine::setObjectOwnership(m_agent.get(), QJSEngine::CppOwnership);
        QJSEngine::setObjectOwnership(m_host.get(), QJSEngine::CppOwnership);
        m_js.globalObject().setProperty("agent", m_js.newQObject(m_agent.get()));
        m_js.globalObject().setProperty("utmHost", m_js.newQObject(m_host.get()));
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("http"); }

    // What the window binds, in the order the meta-object holds it.
    void qmlBoundary()
    {
        const QMetaObject &meta = HostController::staticMetaObject;
        QStringList names;
        for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
            names << meta.property(i).name() + QString(meta.property(i).isWritable() ? "=" : "");
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            names << meta.method(i).methodSignature();
        QCOMPARE(names.join(' '),
                 "phase problem wslVersion busy busyText installStep installProgress image "
                 "usbipdFound setupNeeded rebootPending setupReason setupNeedsAdmin vms tokens "
                 "resources logNumber logText watching= changed() resourcesChanged() logsChanged() "
                 "refresh() setup() install() updateImage() removeHost() createVm(QString) "
                 "createTestVm(QString,QString) startVm(int) stopVm(int) removeVm(int) "
                 "renameVm(int,QString) setOnline(int,bool) assignToken(int,QString) "
                 "releaseToken(int) loadLogs(int) openUtm(int)");
    }

    void derivedRules_data()
    {
        QTest::addColumn<int>("phase");
        QTest::addColumn<QStringList>("images"); // "localhost/utm-runtime:" unless with a "/"
        QTest::addColumn<int>("verdict");        // 1: rights needed, 2: restart pending
        QTest::addColumn<QString>("shown");      // phase word, image, set-up needed, set-up reason
        QTest::newRow("1.9 after 1.10")
            << 5 << QStringList{"1.10", "1.9", "localhost/utm-mock:2"} << 0 << "running 1.9 0 ";
        QTest::newRow("no runtime image") << 5 << QStringList{"Localhost/utm-runtime:2"} << 0
                                          << "running  1 УТМ для VM ещё не загружен";
        QTest::newRow("restart pending") << 5 << QStringList() << 2 << "running  1 вердикт";
        QTest::newRow("rights needed")
            << 5 << QStringList{"4.3:b"} << 1 << "running 4.3:b 1 вердикт";
        QTest::newRow("no wsl") << 1 << QStringList() << 0 << "nowsl  1 ";
        QTest::newRow("not installed") << 2 << QStringList() << 0
                                       << "notinstalled  1 VM ещё не установлены — загрузим их с "
                                          "dl.parvis.ru, несколько сотен мегабайт";
        QTest::newRow("error") << 6 << QStringList() << 0 << "error  0 ";
        QTest::newRow("unknown") << 7 << QStringList() << 0 << "checking  0 ";
    }

    void derivedRules()
    {
        QFETCH(int, phase);
        QFETCH(QStringList, images);
        QFETCH(int, verdict);
        UtmHostStatus status;
        status.phase = phase;
        for (const QString &image : images)
            status.images << (image.contains('/') ? image : "localhost/utm-runtime:" + image);
        status.setupNeedsAdmin = verdict == 1;
        status.rebootPending = verdict == 2;
        status.setupReason = "вердикт";
        QTEST(QString("%1 %2 %3 %4")
                  .arg(phaseName(status.phase), runtimeImageTag(status.images))
                  .arg(int(setupNeeded(status)))
                  .arg(setupReason(status)),
              "shown");
    }

    // Joins by exact text, a later organisation, status, record or VM winning; a device that is
    // no token still names a VM's token; shares of nothing measured are -1.
    void rowsAndResources()
    {
        UtmHostStatus status;
        status.vms.resize(3);
        for (int i = 0; i < 3; ++i) {
            status.vms[i].number = i + 1;
            status.vms[i].tokenSerial = i ? "S1" : "";
            status.vms[i].testFsrarId = QString::number(i + 1);
        }
        status.vms[0].memory = 1048576;
        status.tokens = {{"1-2", "0a89", "0020", "S1", "", "Рутокен", false, true, true},
                         {"", "", "", "S1", "", "Считыватель", false, false, false},
                         {"", "", "0101", "", "", "JaCarta", false, false, true}};
        const QVariantList organizations{QVariantMap{{"inn", "77"}, {"name", "Первая"}},
                                         QVariantMap{{"inn", "77"}, {"name", "Вторая"}}};
        const QVariantList utms{
            QVariantMap{{"endpoint", "http://127.0.0.1:8082"}, {"inn", "77"}, {"reachable", true}},
            QVariantMap{{"endpoint", "http://127.0.0.1:8083/"}, {"fsrarId", "030000000001"}}};
        QCOMPARE(text(vmRows(status, organizations, utms),
                      {"port", "memory", "tokenName", "fsrarId", "inn", "organization", "answers"}),
                 (QStringList{"8081|1 МБ||1|||false|", "8082||Считыватель|2|77|Вторая|true|",
                              "8083||Считыватель|3|||false|"}));
        QCOMPARE(text(tokenRows(status), {"busId", "hardwareId", "present", "attached", "owner"}),
                 (QStringList{"1-2|0a89:0020|true|true|3|", "||false|false|0|"}));
        HostResources resources;
        resources.wslLimit = 4294967296;
        resources.wslTotal = 8589934592;
        QCOMPARE(text({resourceMap(resources, {})},
                      {"memoryShare", "wslShare", "wslTotal", "vmsMemory", "diskFree", "more"}),
                 QStringList{"-1|-1|4,0 ГБ|||0|"});
        QCOMPARE(vmStateName(5), "failing");
    }

    // What a user does on the page, from a PC without the distribution to VMs and back.
    void pageOnTheStandIns()
    {
        QSignalSpy changed(m_host.get(), &HostController::changed);
        m_host->start();
        QTRY_COMPARE_WITH_TIMEOUT(js("utmHost.phase + utmHost.wslVersion + utmHost.setupNeeded"),
                                  "notinstalled2.3.26.0true", kWaitMs);
        QCOMPARE(m_host->m_host->config().manifestUrl, m_standIns.manifestUrl());
        QCOMPARE(HostController(m_agent.get(), {}).m_host->config().manifestUrl,
                 "https://dl.parvis.ru/ferrow/utmhost/manifest.json");
        QCOMPARE(perform("utmHost.install()"), "Всё готово — создайте VM");
        QCOMPARE(js("[utmHost.phase, utmHost.image, utmHost.busy].join()"), "running,1.9,false");

        QVERIFY(perform("utmHost.createVm('Касса')").startsWith("VM 1 создана без выхода в сеть"));
        QCOMPARE(js("utmHost.vms.map(v => v.name + v.health).join()"), "Кассаrunning");
        QCOMPARE(js("Object.keys(utmHost.vms[0]).sort().join()"),
                 "answers,enabled,endpoint,fsrarId,health,inn,memory,name,number,online,"
                 "organization,port,restarts,test,tokenName,tokenProblem,tokenSerial");
        perform("utmHost.setOnline(1, true)");
        QCOMPARE(js("agent.utms.map(u => u.endpoint) + utmHost.vms[0].online"),
                 "http://127.0.0.1:8081true");
        perform("utmHost.setOnline(1, false)");
        QCOMPARE(js("agent.utms.length + ' ' + utmHost.vms[0].online"), "0 false");

        QSignalSpy logs(m_host.get(), &HostController::logsChanged);
        js("utmHost.loadLogs(1)");
        QCOMPARE(js("[utmHost.logNumber, utmHost.logText]"), (QVariantList{1, ""}));
        QVERIFY(logs.wait(kWaitMs) && js("utmHost.logText").toString().contains("Started utm-1"));
        QCOMPARE(logs.size(), 2);

        QCOMPARE(js("Object.keys(utmHost.tokens[0]).sort().join()"),
                 "attached,bound,busId,description,hardwareId,owner,present,serial");
        QCOMPARE(perform("utmHost.assignToken(1, '1-2')"), "Носитель «Rutoken ECP» передан VM 1");
        QCOMPARE(js("utmHost.tokens.map(t => t.busId + t.owner) + utmHost.vms[0].tokenName"),
                 "1-21,0Rutoken ECP");
        QCOMPARE(perform("utmHost.releaseToken(1)"), "Носитель отключён от VM 1");
        QCOMPARE(js("utmHost.tokens.map(t => t.owner).join()"), "0,0");

        QCOMPARE(js("Object.keys(utmHost.resources).sort().join()"),
                 "capacityText,cpuLoad,cpuName,diskFree,distroRunning,logicalCpus,memoryFree,"
                 "memoryShare,memoryTotal,memoryUsed,more,vmsMemory,wslConfigured,wslShare,"
                 "wslTotal,wslUsed");
        QCOMPARE(js("['wslUsed', 'wslTotal', 'wslShare'].map(k => utmHost.resources[k]).join()"),
                 "977 МБ,7,6 ГБ,0.125"); // the stand-in distribution's meminfo
        js("utmHost.openUtm(2)");
        QCOMPARE(m_opened, QList<QUrl>{QUrl("http://127.0.0.1:8082")});

        // The refresh rhythm and the sampler, as the host's timers show them.
        const auto rhythm = [this] {
            QList<int> intervals;
            for (const QTimer *timer : m_host->m_host->findChildren<QTimer *>())
                intervals << (timer->isActive() ? timer->interval() : 0);
            std::sort(intervals.begin(), intervals.end());
            return intervals;
        };
        QCOMPARE(rhythm(), (QList<int>{0, 0, 60000}));
        changed.clear();
        js("utmHost.watching = true; utmHost.watching = true");
        QCOMPARE(rhythm(), (QList<int>{0, 2000, 10000}));
        QCOMPARE(changed.size(), 1);
        js("utmHost.watching = false");
        QCOMPARE(rhythm(), (QList<int>{0, 0, 60000}));

        QVERIFY(m_standIns.servePayload("1.10"));
        QCOMPARE(perform("utmHost.updateImage()"), "УТМ обновлён: 1.10");
        QCOMPARE(js("utmHost.image"), "1.10");
    }

    // Each verdict of a set-up that runs the elevated step.
    void setupVerdicts_data()
    {
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown"); // rights needed, restart pending, set-up needed, reason
        const QString port = "Порт передачи носителей открыт для всей локальной сети";
        const QString restart = HostSetup::kMsgRestartNeeded;
        QTest::newRow("rights needed") << Test::HostStandIns::setupResult("false", "skipped")
                                       << port << "true,false,true," + port;
        QTest::newRow("restart needed") << Test::HostStandIns::setupResult("true", "narrowed")
                                        << restart << "false,true,false," + restart;
        QTest::newRow("done") << Test::HostStandIns::setupResult("false", "narrowed")
                              << "Компьютер настроен — можно создавать VM"
                              << "false,false,false,";
    }

    void setupVerdicts()
    {
        const QString verdict = "[utmHost.setupNeedsAdmin, utmHost.rebootPending, "
                                "utmHost.setupNeeded, utmHost.setupReason].join()";
        QVERIFY(
            writeFile(dataDir() + "/utmhost/setup.json",
                      Test::HostStandIns::setupResult("false", "skipped", "2020-01-01T00:00:00Z")));
        js("utmHost.refresh()");
        QTRY_VERIFY_WITH_TIMEOUT(js(verdict).toString().startsWith("true,false,true,"), kWaitMs);
        QFETCH(QByteArray, result);
        qputenv("POWERSHELL_STANDIN_RESULT", result);
        QTEST(perform("utmHost.setup()"), "message");
        QTEST(js(verdict).toString(), "shown");
    }

    // A shutdown leaves nothing running; a removal takes the VMs out of the agent's list.
    void shutDownAndRemove()
    {
        QVERIFY(m_host->m_shell.isBackgroundRunning()); // the keep-alive
        m_host->shutdown();
        QVERIFY(!m_host->m_shell.isBackgroundRunning());
        QTRY_COMPARE(m_standIns.wsl().processes(), QStringList());
        m_host->start();
        QTRY_COMPARE_WITH_TIMEOUT(js("utmHost.phase"), "running", kWaitMs);
        perform("utmHost.setOnline(1, true)");
        QCOMPARE(m_agent->utmEndpoints(), QStringList{"http://127.0.0.1:8081"});
        QCOMPARE(perform("utmHost.removeHost()"), "Все VM удалены вместе с базами УТМ");
        QVERIFY(m_agent->utmEndpoints().isEmpty());
        QCOMPARE(js("utmHost.phase + utmHost.vms.length"), "notinstalled0");
    }
};

} // namespace Orv

QTEST_MAIN(Orv::TestHostController)
#include "tst_hostcontroller.moc"
