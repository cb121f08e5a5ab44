#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "core/devicetokenstore.h"
#include "core/util.h"
#include "platform/autostart.h"
#include "platform/comstandin.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"
#include "utm/utmclient.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExtensionPlugin>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

Q_IMPORT_QML_PLUGIN(OrvAgentAppPlugin)

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

const QString kPair = QStringLiteral("/agent/v1/pair");
const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kInn = QStringLiteral("7712345678");
const QString kToken = QStringLiteral("token-0123456789abcdef");
const QString kOrganization = QStringLiteral("ООО Ромашка");
const QString kLinked = QStringLiteral("Агент подключён к организации ") + kOrganization;
// Every scheme an address in the tests has: whatever the program hands on is caught here.
const char *const kSchemes[] = {"http", "https", "file", "javascript", "ms-settings"};

QJsonObject linkAnswer(const QString &status = QStringLiteral("ACTIVE"),
                       const QString &outcome = QString(), const QString &signupUrl = QString())
{
    return {{"agentId", "agent-42"},
            {"token", kToken},
            {"organization", QJsonObject{{"inn", kInn}, {"name", kOrganization}}},
            {"status", status},
            {"outcome", outcome},
            {"signupUrl", signupUrl}};
}

// This executable as an autostart entry names it.
QString self()
{
    return "\"" + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) + "\"";
}

// A certificate of the organisation, with its key, in the stand-in's personal store.
QString installCertificate(const QString &inn = kInn)
{
    QString error;
    if (!ComStandIn::installProvider(&error) || !ComStandIn::installPlugin(&error))
        qWarning() << error;
    ComStandIn::CertificateRequest request;
    request.fileName = QStringLiteral("romashka-") + inn;
    request.commonName = kOrganization;
    request.innLe = inn;
    request.notBefore = QDateTime::currentDateTimeUtc().addDays(-10);
    request.notAfter = QDateTime::currentDateTimeUtc().addDays(300);
    const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(request);
    if (!created.ok)
        qWarning() << created.error;
    return created.thumbprint.toLower();
}

} // namespace

class TestAppController : public QObject
{
    Q_OBJECT

public slots:
    // Catches what the program hands to the browser.
    void open(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toUtf8());
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("TellvaneTest"));
        QCoreApplication::setApplicationName(QStringLiteral("Orv Controller Test"));
        QVERIFY(QSettings().fileName().startsWith(m_home.path()));
        QVERIFY(dataDir().startsWith(m_home.path()));
        for (const char *scheme : kSchemes)
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }

    void cleanupTestCase()
    {
        for (const char *scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void init()
    {
        QSettings().clear();
        QDir(deviceTokenPath()).removeRecursively();
        QFile::remove(deviceTokenPath());
        QFile::remove(journalPath());
        removeAutostartEntry(kRunValueName);
        QDir(ComStandIn::rootPath()).removeRecursively();
        m_opened.clear();
        m_server = std::make_unique<FakeParvisServer>();
        m_server->setAnswer("POST", "/agent/v1/heartbeat", FakeAnswer::json(200, {}));
        m_server->setAnswer("GET", kPoll, FakeAnswer::never());
    }

    // The address comes from the command line alone; the device id, once stored, stays.
    void pairingStoresTokenAndOrganization()
    {
        QSettings().setValue(kServerUrlKey, QStringLiteral("http://127.0.0.1:1"));
        QCOMPARE(AppController().apiBaseUrl(), kDefaultServerUrl);
        QVERIFY(!QSettings().contains(kServerUrlKey));
        QVERIFY(!(QFileInfo(QSettings().fileName()).permissions() & QFile::ReadOther));
        const QString machine = QString::fromLatin1(QSysInfo::machineUniqueId());
        QVERIFY(!QSettings().value(kDeviceIdKey).toString().isEmpty());
        QVERIFY(machine.isEmpty() || QSettings().value(kDeviceIdKey).toString() == machine);
        QSettings().setValue(kDeviceIdKey, QStringLiteral("stored-device"));

        auto agent = newAgent();
        // A refused code first: the server's reason is what the user reads.
        m_server->enqueue("POST", kPair, FakeAnswer::json(400, {{"error", "Код устарел"}}));
        m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer()));
        agent->pair(QStringLiteral(" 123-456 "));
        QTRY_COMPARE(agent->lastMessage(), "Код устарел");
        QVERIFY(!agent->paired());
        agent->pair(QStringLiteral(" 123-456 "));
        QCOMPARE(agent->lastMessage(), "Подключение…");
        QTRY_COMPARE(agent->lastMessage(), kLinked);

        const QJsonObject request = m_server->requestsTo(kPair).value(0).json();
        QCOMPARE(request.value("code").toString(), " 123-456 ");
        QCOMPARE(request.value("device").toObject().value("id").toString(), "stored-device");
        QCOMPARE(request.value("device").toObject().value("version").toString(), ORV_VERSION);
        const QString display = kOrganization + " (ИНН " + kInn + ")";
        QCOMPARE(agent->organization(), display);
        QCOMPARE(QSettings().value(kOrganizationNameKey).toString(), display);
        QCOMPARE(DeviceTokenStore(deviceTokenPath()).load(), kToken);
        QTRY_COMPARE(agent->state(), "online");
        QVERIFY(agent->connected());
        QCOMPARE(agent->statusText(), "На связи");
    }

    void unpairClearsTokenAndOrganizationKeepsDeviceId_data()
    {
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<QString>("message");
        QTest::newRow("removed") << false << "Регистрация удалена. Введите новый код подключения";
        // A token file that cannot be removed would bring the registration back at the next start.
        QTest::newRow("token file stays")
            << true
            << QStringLiteral("Регистрация удалена, но файл токена %1 удалить не удалось. Удалите "
                              "его вручную, иначе при следующем запуске агент подключится со "
                              "старым токеном")
                   .arg(deviceTokenPath());
    }

    void unpairClearsTokenAndOrganizationKeepsDeviceId()
    {
        QFETCH(bool, blocked);
        QFETCH(QString, message);
        if (blocked) // a folder in the file's place: it can be neither written nor removed
            QVERIFY(QDir().mkpath(deviceTokenPath() + "/blocked"));
        auto agent = newAgent();
        m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer()));
        agent->pair(QStringLiteral("1"));
        QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1); // waits on the long poll
        QCOMPARE(agent->lastMessage().contains(deviceTokenPath()), blocked); // not saved
        const QString device = QSettings().value(kDeviceIdKey).toString();

        QSignalSpy changed(agent.get(), &AppController::changed);
        Test::LogCapture log;
        agent->unpair();
        QCOMPARE(agent->lastMessage(), message);
        QCOMPARE(log.matching("[WARN] не удалось удалить файл токена: " + deviceTokenPath()).size(),
                 blocked ? 1 : 0);
        QVERIFY(!changed.isEmpty());
        QVERIFY(!agent->paired());
        QCOMPARE(agent->state(), "idle");
        QVERIFY(agent->organization().isEmpty());
        QVERIFY(!QSettings().contains(kOrganizationNameKey));
        QCOMPARE(QFile::exists(deviceTokenPath()), blocked);
        QCOMPARE(QSettings().value(kDeviceIdKey).toString(), device);
    }

    // A signed document is told by its title and a failure by its text; a successful forwarded
    // УТМ request comes and goes unseen, in the message and in the journal.
    void taskOutcomesSetTheMessage()
    {
        Test::FakeUtm utm;
        utm.serveIdentity();
        utm.answer("GET", "/opt/out", 200, "<A/>");
        QSettings().setValue(kUtmEndpointsKey, QStringList{utm.baseUrl()});
        QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
        const QString fsrarId = Test::FakeUtmIdentity().fsrarId;
        serveTask("t1", "chz.document",
                  {{"inn", kInn}, {"thumbprint", installCertificate()}, {"contentBase64", "ZG9j"}});
        serveTask("t2", "utm.request",
                  {{"fsrarId", fsrarId}, {"method", "GET"}, {"path", "/opt/out"}});
        serveTask("t3", "utm.request", {{"fsrarId", fsrarId}, {"method", "GET"}, {"path", "/x"}});
        QStringList messages; // outlives the agent, which still signals while it goes
        auto agent = newAgent();
        connect(agent.get(), &AppController::changed, this, [&] {
            if (messages.value(messages.size() - 1) != agent->lastMessage())
                messages.append(agent->lastMessage());
        });
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requestsTo("/agent/v1/tasks/t3/result").size(), 1,
                                  15000);
        QCOMPARE(m_server->requestsTo("/agent/v1/tasks/t2/result").value(0).json().value("ok"),
                 true);
        QCOMPARE(messages, (QStringList{"Документ Честного знака: подписано",
                                        "Чтение /x не входит в разрешённое"}));
        const QVariantList journal = agent->journal();
        QCOMPARE(journal.size(), 2);
        QCOMPARE(journal.at(0).toMap().value("ok").toBool(), false);
        QCOMPARE(journal.at(1).toMap().value("ok").toBool(), true);
    }

    void enrolmentMessages_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<QUrl>>("opened");
        QTest::newRow("active") << linkAnswer() << kLinked << QList<QUrl>();
        QTest::newRow("pending") << linkAnswer("PENDING")
                                 << kOrganization + ": ожидает подтверждения владельцем в кабинете"
                                 << QList<QUrl>();
        QTest::newRow("registered with sign-up")
            << linkAnswer("PENDING", "REGISTERED", "https://cabinet.example/signup?t=1")
            << kOrganization +
                   " зарегистрирована. Завершите регистрацию в браузере — задайте логин и пароль"
            << QList<QUrl>{QUrl("https://cabinet.example/signup?t=1")};
    }

    void enrolmentMessages()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(QString, message);
        QFETCH(QList<QUrl>, opened);
        const QString thumbprint = installCertificate();
        m_server->setAnswer("POST", "/agent/v1/enroll/challenge",
                            FakeAnswer::json(200, {{"challengeId", "c1"}, {"data", "подпиши"}}));
        m_server->setAnswer("POST", "/agent/v1/enroll", FakeAnswer::json(200, answer));
        auto agent = newAgent();
        QCOMPARE(agent->certificates().size(), 1);
        QCOMPARE(agent->enrollCandidates().size(), 1);
        agent->enroll(kInn, thumbprint);
        QTRY_VERIFY(agent->paired());
        QCOMPARE(agent->lastMessage(), message);
        QCOMPARE(m_opened, opened);
    }

    void onlyWebAddressesAreOpened_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << "https://cabinet.example/org/7712345678" << true;
        QTest::newRow("http") << "http://cabinet.example/x" << true;
        QTest::newRow("local file") << "file:///etc/passwd" << false;
        QTest::newRow("script") << "javascript:alert(1)" << false;
        QTest::newRow("program handler") << "ms-settings:network" << false;
        QTest::newRow("no host") << "https:///path" << false;
        QTest::newRow("relative") << "cabinet/x" << false;
    }

    void onlyWebAddressesAreOpened()
    {
        QFETCH(QString, address);
        QFETCH(bool, opens);
        QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
        m_server->setAnswer("POST", "/agent/v1/orgs/" + kInn + "/signup-link",
                            FakeAnswer::json(200, {{"signupUrl", address}}));
        auto agent = newAgent();
        Test::LogCapture log;
        agent->openCabinet(kInn);
        QTRY_VERIFY(agent->lastMessage() != QString());
        QCOMPARE(agent->lastMessage(),
                 opens ? "Кабинет открыт в браузере — задайте логин и пароль"
                       : "Не удалось открыть браузер. Нажмите «Открыть кабинет» ещё раз");
        QCOMPARE(m_opened, opens ? QList<QUrl>{QUrl(address)} : QList<QUrl>());
        QCOMPARE(log.matching("[WARN]").filter(address).size(), opens ? 0 : 1);
    }

    // The list as the user edits it, starting from the address older versions kept under their
    // own key. A client that stays listed keeps its probe and what the probe knows.
    void utmList()
    {
        Test::FakeUtm first;
        first.serveIdentity();
        Test::FakeUtm second;
        second.answer("GET", "/diagnosis", FakeAnswer::never());
        const QString legacy = first.baseUrl();
        const QString fsrarId = Test::FakeUtmIdentity().fsrarId;
        QSettings().setValue(kLegacyUtmEndpointKey, legacy);
        auto agent = newAgent();
        QVERIFY(!QSettings().contains(kLegacyUtmEndpointKey));
        QTRY_COMPARE(agent->utms().value(0).toMap().value("fsrarId").toString(), fsrarId);
        QVERIFY(agent->addUtm(second.baseUrl().mid(7))); // without "http://"
        QVERIFY(!agent->addUtm(" " + second.baseUrl() + "/ "));
        QCOMPARE(agent->lastMessage(), "УТМ " + second.baseUrl() + " уже есть в списке");
        QCOMPARE(agent->utmEndpoints(), (QStringList{legacy, second.baseUrl()}));
        QCOMPARE(agent->utms().value(0).toMap().value("fsrarId").toString(), fsrarId);
        QCOMPARE(agent->utms().value(1).toMap().value("endpoint").toString(), second.baseUrl());
        QCOMPARE(agent->utms().value(1).toMap().value("checked").toBool(), false);

        QSignalSpy changed(agent.get(), &AppController::changed);
        QVERIFY(!agent->addUtm(QStringLiteral("   ")));
        agent->removeUtm(second.baseUrl() + "/"); // taken as given, not normalised
        agent->setUtmListed(second.baseUrl(), true);
        agent->setUtmListed(QStringLiteral("http://other:8080"), false);
        QVERIFY(changed.isEmpty());

        agent->setUtmListed(QStringLiteral("127.0.0.3"), true);
        QCOMPARE(agent->utmEndpoints().last(), "http://127.0.0.3:8080");
        agent->setUtmListed(QStringLiteral("http://127.0.0.3:8080"), false);
        agent->removeUtm(second.baseUrl());
        QCOMPARE(QSettings().value(kUtmEndpointsKey).toStringList(), QStringList{legacy});
        QCOMPARE(agent->utms().value(0).toMap().value("fsrarId").toString(), fsrarId);
        agent->removeUtm(legacy);
        QVERIFY(!QSettings().contains(kUtmEndpointsKey));
        QVERIFY(agent->utms().isEmpty());
    }

    // New options rewrite the entry only when it names this executable, and never turn
    // autostart on; turning it on writes them.
    void autostart_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QStringList host{"--utm-host"};
        QTest::newRow("off") << QString() << host << QString();
        QTest::newRow("ours") << self() + " --tray" << host << self() + " --tray --utm-host";
        QTest::newRow("ours in other letter case")
            << self().toUpper() + " --tray" << host << self() + " --tray --utm-host";
        QTest::newRow("another program")
            << "\"/opt/other/agent\" --tray" << host << "\"/opt/other/agent\" --tray";
        QTest::newRow("written by hand") << "whatever" << host << "whatever";
        QTest::newRow("no options keeps host mode")
            << self() + " --tray --utm-host" << QStringList() << self() + " --tray --utm-host";
    }

    void autostart()
    {
        QFETCH(QString, stored);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        if (!stored.isEmpty())
            writeAutostartEntry(kRunValueName, stored);
        auto agent = newAgent();
        QSignalSpy changed(agent.get(), &AppController::changed);
        agent->setAutostartArgs(arguments);
        QCOMPARE(autostartEntry(kRunValueName), expected);
        QCOMPARE(agent->autostart(), !expected.isEmpty());
        agent->setAutostart(false);
        QVERIFY(!agent->autostart());
        agent->setAutostart(true);
        QCOMPARE(autostartEntry(kRunValueName),
                 (QStringList{self(), "--tray"} + arguments).join(' '));
        QCOMPARE(changed.size(), (expected != stored) + 2);
    }

    // Every page of the window reads the certificates again after each change, some of them
    // several times; the store is listed once for all of them, also when a task's outcome
    // brings two changes at once, with the missing plug-in logged once; a token plugged in
    // meanwhile shows at the next change.
    void oneListingPerChange_data()
    {
        QTest::addColumn<bool>("plugin");
        QTest::addColumn<int>("opened");
        QTest::addColumn<int>("warnings");
        QTest::newRow("plug-in ready") << true << 1 << 0;
        QTest::newRow("plug-in missing") << false << 0 << 2;
    }

    void oneListingPerChange()
    {
        QFETCH(bool, plugin);
        QFETCH(int, opened);
        QFETCH(int, warnings);
        installCertificate();
        if (!plugin)
            QVERIFY(ComStandIn::removePlugin());
        auto agent = newAgent();
        QQmlApplicationEngine engine;
        engine.rootContext()->setContextProperty("agent", agent.get());
        engine.rootContext()->setContextProperty("utmHost", nullptr);
        // Hidden, as when started in the tray: every page is there and bound, none is drawn.
        engine.rootContext()->setContextProperty("trayAvailable", true);
        engine.rootContext()->setContextProperty("startInTray", true);
        engine.addImportPath("qrc:/qt/qml");
        engine.load(QUrl("qrc:/qt/qml/OrvAgentApp/Main.qml"));
        QCOMPARE(engine.rootObjects().size(), 1);

        ComStandIn::setCallLogEnabled(true);
        for (int change = 1; change <= 2; ++change) {
            QCoreApplication::processEvents(); // the next pass of the event loop
            ComStandIn::clearCallLog();
            Test::LogCapture log;
            agent->refreshCertificates();
            agent->refreshCertificates();
            QCOMPARE(ComStandIn::callLog().filter("CAdESCOM.Store.Open(").size(), opened);
            QCOMPARE(log.matching("[WARN]").size(), warnings);
            QCOMPARE(agent->certificates().size(), plugin ? change : 0);
            installCertificate(QStringLiteral("7712345679")); // plugged in after the first
            if (!plugin)
                QVERIFY(ComStandIn::removePlugin());
        }
        ComStandIn::setCallLogEnabled(false);
    }

    // A stored token starts the core at once; after shutdown nothing reaches for it, and the
    // УТМ list is kept for the next one.
    void storedTokenStartsCoreUntilShutdown()
    {
        QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
        QSettings().setValue(kOrganizationNameKey, QStringLiteral("Стоящая (ИНН 1)"));
        const QJsonObject organization{
            {"inn", kInn}, {"name", kOrganization}, {"status", "ACTIVE"}};
        m_server->setAnswer("POST", "/agent/v1/heartbeat",
                            FakeAnswer::json(200, {{"organizations", QJsonArray{organization}}}));
        auto agent = newAgent();
        QVERIFY(agent->organizations().isEmpty());
        QSignalSpy changed(agent.get(), &AppController::changed);
        QVERIFY(agent->paired());
        QCOMPARE(agent->state(), "connecting");
        QCOMPARE(agent->organization(), "Стоящая (ИНН 1)");
        QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1);
        QCOMPARE(m_server->requestsTo(kPoll).at(0).header("Authorization"),
                 "Bearer " + kToken.toUtf8());
        QTRY_COMPARE(agent->state(), "online");
        QTRY_COMPARE(agent->organizations().size(), 1);
        QVERIFY(!changed.isEmpty()); // the window hears of it
        agent->shutdown();
        agent->shutdown();
        QCOMPARE(agent->state(), "idle");
        QCOMPARE(agent->statusText(), "Не подключён");
        QVERIFY(!agent->connected() && !agent->paired() && !agent->isCoreBusy());
        QVERIFY(agent->organizations().isEmpty());
        const QString message = agent->lastMessage();
        agent->pair(QStringLiteral("1"));
        agent->openCabinet(kInn);
        QCOMPARE(agent->lastMessage(), message);
        QVERIFY(agent->addUtm(QStringLiteral("localhost")));
        QCOMPARE(agent->utmEndpoints(), QStringList{"http://localhost:8080"});
        QVERIFY(agent->utms().isEmpty());
    }

    // A check stands at its second request when the core goes away, by unpairing and by quitting:
    // nothing of it may run on afterwards (the AddressSanitizer build catches any late callback).
    void unpairAndQuitDuringUtmCheck()
    {
        Test::FakeUtm utm;
        utm.serveIdentity();
        utm.answer("GET", "/info/version", FakeAnswer::never());
        auto agent = newAgent();
        QVERIFY(agent->addUtm(utm.baseUrl()));
        QTRY_COMPARE(utm.requestsTo("/info/version").size(), 1);

        agent->unpair();
        QCOMPARE(agent->utms().size(), 1);
        QTRY_COMPARE(utm.requestsTo("/info/version").size(), 2);

        agent.reset();
        // The fake УТМ answers once more, so the event loop has run well past the teardown.
        UtmHttpClient client(utm.baseUrl());
        bool answered = false;
        client.get("/diagnosis", 5000, [&answered](const UtmResponse &) { answered = true; });
        QTRY_VERIFY(answered);
        // Stopping lets a check ask for its next page, and that request may go out before its
        // abort.
        QCOMPARE(utm.requestsTo("/api/rsa").size(), 0);
    }

private:
    std::unique_ptr<AppController> newAgent()
    {
        return std::make_unique<AppController>(m_server->baseUrl());
    }

    void serveTask(const QString &id, const QString &type, const QJsonObject &payload)
    {
        m_server->enqueue(
            "GET", kPoll,
            FakeAnswer::json(200,
                             {{"id", id}, {"type", type}, {"orgInn", kInn}, {"payload", payload}}));
        m_server->setAnswer("POST", "/agent/v1/tasks/" + id + "/result", FakeAnswer::json(200, {}));
    }

    QTemporaryDir m_home;
    QList<QUrl> m_opened;
    std::unique_ptr<FakeParvisServer> m_server;
};

QTEST_MAIN(TestAppController)
#include "tst_appcontroller.moc"
