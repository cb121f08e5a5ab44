#include "app/appconstants.h"
#include "app/appcontroller.h"
#include "core/devicetokenstore.h"
#include "core/journal.h"
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
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

const QString kPair = QStringLiteral("/agent/v1/pair");
const QString kHeartbeat = QStringLiteral("/agent/v1/heartbeat");
const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kInn = QStringLiteral("7712345678");
const QString kToken = QStringLiteral("token-0123456789abcdef");
const QString kOrganization = QStringLiteral("ООО Ромашка");
// Every scheme an address in the tests has: whatever the program hands on is caught here.
const char *const kSchemes[] = {"http", "https", "file", "javascript", "ms-settings"};
const QString kBrowserFailed =
    QStringLiteral("Не удалось открыть браузер. Нажмите «Открыть кабинет» ещё раз");

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

QString executable()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

} // namespace

// Catches what the program hands to the browser.
class BrowserSpy : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestAppController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void serverAddressAndDeviceId();
    void pairingStoresTokenAndOrganization();
    void startWithStoredTokenStartsCore();
    void unpairClearsTokenAndOrganizationKeepsDeviceId();
    void unpairReportsTokenFileThatStays();
    void taskOutcomesSetTheMessage_data();
    void taskOutcomesSetTheMessage();
    void successfulForwardedRequestChangesNothing();
    void enrolmentMessages_data();
    void enrolmentMessages();
    void onlyWebAddressesAreOpened_data();
    void onlyWebAddressesAreOpened();
    void utmList();
    void utmClientsAreKeptAcrossChanges();
    void legacyUtmAddressMovesIntoTheList();
    void autostartOnAndOff();
    void autostartRewrittenOnlyForThisExecutable_data();
    void autostartRewrittenOnlyForThisExecutable();
    void withoutCore();
    void unpairAndQuitDuringUtmCheck();

private:
    std::unique_ptr<AppController> newAgent()
    {
        return std::make_unique<AppController>(m_server->baseUrl());
    }
    void pairAgent(AppController &agent);
    QString installCertificate();
    void serveTask(const QString &id, const QString &type, const QJsonObject &payload);

    QTemporaryDir m_home;
    BrowserSpy m_browser;
    std::unique_ptr<FakeParvisServer> m_server;
};

void TestAppController::initTestCase()
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
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &m_browser, "open");
}

void TestAppController::cleanupTestCase()
{
    for (const char *scheme : kSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void TestAppController::init()
{
    QSettings().clear();
    QDir(deviceTokenPath()).removeRecursively();
    QFile::remove(deviceTokenPath());
    QFile::remove(journalPath());
    removeAutostartEntry(kRunValueName);
    QDir(ComStandIn::rootPath()).removeRecursively();
    m_browser.opened.clear();
    m_server = std::make_unique<FakeParvisServer>();
    m_server->setAnswer("POST", kHeartbeat, FakeAnswer::json(200, {}));
    m_server->setAnswer("GET", kPoll, FakeAnswer::never());
}

void TestAppController::cleanup()
{
    m_server.reset();
}

void TestAppController::pairAgent(AppController &agent)
{
    m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer()));
    agent.pair(QStringLiteral("123-456"));
    QTRY_COMPARE(agent.lastMessage(), "Агент подключён к организации " + kOrganization);
}

// A certificate of the organisation, with its key, in the stand-in's personal store.
QString TestAppController::installCertificate()
{
    QString error;
    if (!ComStandIn::installProvider(&error) || !ComStandIn::installPlugin(&error))
        qWarning() << error;
    ComStandIn::CertificateRequest request;
    request.fileName = QStringLiteral("romashka");
    request.commonName = kOrganization;
    request.innLe = kInn;
    request.notBefore = QDateTime::currentDateTimeUtc().addDays(-10);
    request.notAfter = QDateTime::currentDateTimeUtc().addDays(300);
    const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(request);
    if (!created.ok)
        qWarning() << created.error;
    return created.thumbprint.toLower();
}

void TestAppController::serveTask(const QString &id, const QString &type,
                                  const QJsonObject &payload)
{
    m_server->enqueue(
        "GET", kPoll,
        FakeAnswer::json(200,
                         {{"id", id}, {"type", type}, {"orgInn", kInn}, {"payload", payload}}));
    m_server->setAnswer("POST", "/agent/v1/tasks/" + id + "/result", FakeAnswer::json(200, {}));
}

void TestAppController::serverAddressAndDeviceId()
{
    QSettings().setValue(kServerUrlKey, QStringLiteral("http://127.0.0.1:1"));
    {
        AppController agent;
        QCOMPARE(agent.apiBaseUrl(), kDefaultServerUrl);
        QVERIFY(!QSettings().contains(kServerUrlKey));
    }
    const QString first = QSettings().value(kDeviceIdKey).toString();
    QVERIFY(!first.isEmpty());
    const QByteArray machine = QSysInfo::machineUniqueId();
    QCOMPARE(first, machine.isEmpty() ? first : QString::fromLatin1(machine));

    // A stored id wins over whatever the machine says now.
    QSettings().setValue(kDeviceIdKey, QStringLiteral("stored-device"));
    auto agent = newAgent();
    QCOMPARE(agent->apiBaseUrl(), m_server->baseUrl());
    pairAgent(*agent);
    const QJsonObject device =
        m_server->requestsTo(kPair).value(0).json().value("device").toObject();
    QCOMPARE(device.value("id").toString(), "stored-device");
    QCOMPARE(device.value("version").toString(), "0.12.2");
    QCOMPARE(QSettings().value(kDeviceIdKey).toString(), "stored-device");
}

void TestAppController::pairingStoresTokenAndOrganization()
{
    auto agent = newAgent();
    QVERIFY(!agent->paired());
    QCOMPARE(agent->state(), "idle");
    QCOMPARE(agent->statusText(), "Не подключён");
    m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer()));

    agent->pair(QStringLiteral(" 123-456 "));
    QCOMPARE(agent->lastMessage(), "Подключение…");
    QTRY_COMPARE(agent->lastMessage(), "Агент подключён к организации " + kOrganization);

    QCOMPARE(m_server->requestsTo(kPair).value(0).json().value("code").toString(), " 123-456 ");
    const QString display = kOrganization + " (ИНН " + kInn + ")";
    QCOMPARE(agent->organization(), display);
    QCOMPARE(QSettings().value(kOrganizationNameKey).toString(), display);
    QCOMPARE(DeviceTokenStore(deviceTokenPath()).load(), kToken);
    QVERIFY(agent->paired());
    QTRY_COMPARE(agent->state(), "online");
    QVERIFY(agent->connected());
    QCOMPARE(agent->statusText(), "На связи");
}

void TestAppController::startWithStoredTokenStartsCore()
{
    QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
    QSettings().setValue(kOrganizationNameKey, QStringLiteral("Стоящая (ИНН 1)"));
    auto agent = newAgent();
    QVERIFY(agent->paired());
    QCOMPARE(agent->state(), "connecting");
    QCOMPARE(agent->organization(), "Стоящая (ИНН 1)");
    QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1);
    QCOMPARE(m_server->requestsTo(kPoll).at(0).header("Authorization"),
             "Bearer " + kToken.toUtf8());
    QTRY_COMPARE(agent->state(), "online");
}

void TestAppController::unpairClearsTokenAndOrganizationKeepsDeviceId()
{
    auto agent = newAgent();
    pairAgent(*agent);
    QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1); // waits on the long poll
    const QString device = QSettings().value(kDeviceIdKey).toString();

    QSignalSpy changed(agent.get(), &AppController::changed);
    agent->unpair();
    QCOMPARE(agent->lastMessage(), "Регистрация удалена. Введите новый код подключения");
    QVERIFY(!changed.isEmpty());
    QVERIFY(!agent->paired());
    QCOMPARE(agent->state(), "idle");
    QVERIFY(agent->organization().isEmpty());
    QVERIFY(!QFile::exists(deviceTokenPath()));
    QVERIFY(!QSettings().contains(kOrganizationNameKey));
    QCOMPARE(QSettings().value(kDeviceIdKey).toString(), device);

    agent.reset();
    auto restarted = newAgent();
    QVERIFY(!restarted->paired());
    QVERIFY(restarted->organization().isEmpty());
    QCOMPARE(QSettings().value(kDeviceIdKey).toString(), device);
}

// A token file that cannot be removed would bring the registration back at the next start.
void TestAppController::unpairReportsTokenFileThatStays()
{
    QVERIFY(QDir().mkpath(deviceTokenPath() + "/blocked"));
    auto agent = newAgent();
    m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer()));
    agent->pair(QStringLiteral("1"));
    QTRY_VERIFY(agent->paired());
    QVERIFY(agent->lastMessage().contains(deviceTokenPath())); // the token could not be saved

    Test::LogCapture log;
    agent->unpair();
    QCOMPARE(log.matching("[WARN] не удалось удалить файл токена: " + deviceTokenPath()).size(), 1);
    QVERIFY(agent->lastMessage().contains(deviceTokenPath()));
    QVERIFY(agent->lastMessage().startsWith("Регистрация удалена, но файл токена"));
    QVERIFY(!agent->paired());
    QCOMPARE(agent->state(), "idle");
    QVERIFY(agent->organization().isEmpty());
}

void TestAppController::taskOutcomesSetTheMessage_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonObject>("payload");
    QTest::addColumn<QString>("message"); // empty: the title of a signed document
    QTest::newRow("signed document")
        << "chz.document" << QJsonObject{{"contentBase64", "ZG9j"}} << "";
    QTest::newRow("unknown type")
        << "x.other" << QJsonObject()
        << "Тип задачи «x.other» не поддерживается этой версией агента. Обновите приложение агента";
    QTest::newRow("failed forwarded request")
        << "utm.request" << QJsonObject{{"fsrarId", "030000123456"}, {"method", "GET"}}
        << "УТМ на этом компьютере не настроен";
}

void TestAppController::taskOutcomesSetTheMessage()
{
    QFETCH(QString, type);
    QFETCH(QJsonObject, payload);
    QFETCH(QString, message);
    QJsonObject full = payload;
    if (message.isEmpty()) {
        full.insert("inn", kInn);
        full.insert("thumbprint", installCertificate());
        message = "Документ Честного знака: подписано";
    }
    QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
    serveTask("t1", type, full);
    auto agent = newAgent();
    QTRY_COMPARE(m_server->requestsTo("/agent/v1/tasks/t1/result").size(), 1);
    QCOMPARE(agent->lastMessage(), message);
    const QVariantList journal = agent->journal();
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).toMap().value("ok").toBool(), message.endsWith("подписано"));
}

void TestAppController::successfulForwardedRequestChangesNothing()
{
    Test::FakeUtm utm;
    utm.serveIdentity();
    utm.answer("GET", "/opt/out", 200, "<A/>");
    QSettings().setValue(kUtmEndpointsKey, QStringList{utm.baseUrl()});
    QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
    serveTask("t1", "x.other", {});
    serveTask(
        "t2", "utm.request",
        {{"fsrarId", Test::FakeUtmIdentity().fsrarId}, {"method", "GET"}, {"path", "/opt/out"}});
    auto agent = newAgent();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestsTo("/agent/v1/tasks/t2/result").size(), 1, 15000);
    QCOMPARE(m_server->requestsTo("/agent/v1/tasks/t2/result").at(0).json().value("ok"), true);

    // What the refused first task left is still all there is.
    QCOMPARE(
        agent->lastMessage(),
        "Тип задачи «x.other» не поддерживается этой версией агента. Обновите приложение агента");
    const QVariantList journal = agent->journal();
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).toMap().value("title").toString(), "x.other");
    Journal stored(journalPath());
    QVERIFY(stored.open());
    QCOMPARE(stored.recent(10).size(), 1);
}

void TestAppController::enrolmentMessages_data()
{
    QTest::addColumn<QJsonObject>("answer");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::newRow("active") << linkAnswer() << "Агент подключён к организации " + kOrganization
                            << QList<QUrl>();
    QTest::newRow("pending") << linkAnswer("PENDING")
                             << kOrganization + ": ожидает подтверждения владельцем в кабинете"
                             << QList<QUrl>();
    QTest::newRow("registered with sign-up")
        << linkAnswer("PENDING", "REGISTERED", "https://cabinet.example/signup?t=1")
        << kOrganization +
               " зарегистрирована. Завершите регистрацию в браузере — задайте логин и пароль"
        << QList<QUrl>{QUrl("https://cabinet.example/signup?t=1")};
}

void TestAppController::enrolmentMessages()
{
    QFETCH(QJsonObject, answer);
    QFETCH(QString, message);
    QFETCH(QList<QUrl>, opened);
    const QString thumbprint = installCertificate();
    m_server->setAnswer("POST", "/agent/v1/enroll/challenge",
                        FakeAnswer::json(200, {{"challengeId", "c1"}, {"data", "подпиши меня"}}));
    m_server->setAnswer("POST", "/agent/v1/enroll", FakeAnswer::json(200, answer));
    auto agent = newAgent();
    const QVariantList candidates = agent->enrollCandidates();
    QCOMPARE(candidates.size(), 1);
    QCOMPARE(candidates.at(0).toMap().value("thumbprint").toString(), thumbprint);
    QCOMPARE(agent->certificates().size(), 1);

    agent->enroll(kInn, thumbprint);
    QTRY_VERIFY(agent->paired());
    QCOMPARE(agent->lastMessage(), message);
    QCOMPARE(m_browser.opened, opened);
    QCOMPARE(agent->organization(), kOrganization + " (ИНН " + kInn + ")");
    QCOMPARE(DeviceTokenStore(deviceTokenPath()).load(), kToken);
    Journal stored(journalPath());
    QVERIFY(stored.open());
    QCOMPARE(stored.recent(10).value(0).type, "enroll");
}

void TestAppController::onlyWebAddressesAreOpened_data()
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

void TestAppController::onlyWebAddressesAreOpened()
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
    if (opens) {
        QCOMPARE(agent->lastMessage(), "Кабинет открыт в браузере — задайте логин и пароль");
        QCOMPARE(m_browser.opened, QList<QUrl>{QUrl(address)});
    } else {
        QCOMPARE(agent->lastMessage(), kBrowserFailed);
        QVERIFY(m_browser.opened.isEmpty());
        QCOMPARE(log.matching("[WARN]").filter(address).size(), 1);
    }
}

void TestAppController::utmList()
{
    auto agent = newAgent();
    QSignalSpy changed(agent.get(), &AppController::changed);
    QVERIFY(agent->addUtm(QStringLiteral("localhost")));
    QVERIFY(!agent->addUtm(QStringLiteral("  http://localhost:8080/ ")));
    QCOMPARE(agent->lastMessage(), "УТМ http://localhost:8080 уже есть в списке");
    QVERIFY(agent->addUtm(QStringLiteral("127.0.0.2:8081/utm")));
    QCOMPARE(agent->utmEndpoints(),
             (QStringList{"http://localhost:8080", "http://127.0.0.2:8081/utm"}));
    QCOMPARE(agent->utms().size(), 2);
    QCOMPARE(agent->utms().at(1).toMap().value("endpoint").toString(), "http://127.0.0.2:8081/utm");

    changed.clear();
    QVERIFY(!agent->addUtm(QStringLiteral("   ")));
    agent->removeUtm(QStringLiteral("localhost")); // taken as given, not normalised
    agent->setUtmListed(QStringLiteral("localhost"), true);
    agent->setUtmListed(QStringLiteral("http://other:8080"), false);
    QVERIFY(changed.isEmpty());
    QCOMPARE(agent->utmEndpoints().size(), 2);

    agent->setUtmListed(QStringLiteral("127.0.0.3"), true);
    QCOMPARE(agent->utmEndpoints().last(), "http://127.0.0.3:8080");
    agent->setUtmListed(QStringLiteral("http://127.0.0.3:8080"), false);
    agent->removeUtm(QStringLiteral("http://localhost:8080"));
    QCOMPARE(QSettings().value(kUtmEndpointsKey).toStringList(),
             QStringList{"http://127.0.0.2:8081/utm"});
    agent->removeUtm(QStringLiteral("http://127.0.0.2:8081/utm"));
    QVERIFY(!QSettings().contains(kUtmEndpointsKey));
    QVERIFY(agent->utms().isEmpty());
}

// A client that stays listed keeps its probe and what the probe knows; only a new address starts
// from nothing.
void TestAppController::utmClientsAreKeptAcrossChanges()
{
    Test::FakeUtm first;
    first.serveIdentity();
    Test::FakeUtm second;
    second.answer("GET", "/diagnosis", FakeAnswer::never());
    auto agent = newAgent();
    QVERIFY(agent->addUtm(first.baseUrl()));
    QTRY_COMPARE(agent->utms().value(0).toMap().value("fsrarId").toString(),
                 Test::FakeUtmIdentity().fsrarId);

    QVERIFY(agent->addUtm(second.baseUrl()));
    QVariantList rows = agent->utms();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).toMap().value("fsrarId").toString(), Test::FakeUtmIdentity().fsrarId);
    QCOMPARE(rows.at(1).toMap().value("checked").toBool(), false);

    agent->removeUtm(second.baseUrl());
    rows = agent->utms();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).toMap().value("fsrarId").toString(), Test::FakeUtmIdentity().fsrarId);
}

void TestAppController::legacyUtmAddressMovesIntoTheList()
{
    QSettings().setValue(kLegacyUtmEndpointKey, QStringLiteral("127.0.0.2:9/"));
    auto agent = newAgent();
    QVERIFY(!QSettings().contains(kLegacyUtmEndpointKey));
    QCOMPARE(agent->utmEndpoints(), QStringList{"127.0.0.2:9/"});
    QCOMPARE(agent->utms().size(), 1);
}

void TestAppController::autostartOnAndOff()
{
    auto agent = newAgent();
    QVERIFY(!agent->autostart());
    QCOMPARE(agent->autostartArguments(), QStringList{"--tray"});
    QSignalSpy changed(agent.get(), &AppController::changed);
    agent->setAutostart(true);
    QCOMPARE(changed.size(), 1);
    QVERIFY(agent->autostart());
    QCOMPARE(autostartEntry(kRunValueName), "\"" + executable() + "\" --tray");

    agent->setAutostartArgs({QStringLiteral("--utm-host")});
    QCOMPARE(agent->autostartArguments(), (QStringList{"--tray", "--utm-host"}));
    QCOMPARE(autostartEntry(kRunValueName), "\"" + executable() + "\" --tray --utm-host");

    agent->setAutostart(false);
    QVERIFY(!agent->autostart());
    agent->setAutostart(false);
    QCOMPARE(changed.size(), 4);

    // Options alone never turn autostart on.
    agent->setAutostartArgs({QStringLiteral("--utm-host")});
    QVERIFY(!agent->autostart());
}

void TestAppController::autostartRewrittenOnlyForThisExecutable_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    const QString self = "\"" + executable() + "\"";
    QTest::newRow("ours, host mode")
        << self + " --tray" << QStringList{"--utm-host"} << self + " --tray --utm-host";
    QTest::newRow("ours in other letter case")
        << "\"" + executable().toUpper() + "\" --tray" << QStringList{"--utm-host"}
        << self + " --tray --utm-host";
    QTest::newRow("another program") << "\"/opt/other/agent\" --tray" << QStringList{"--utm-host"}
                                     << "\"/opt/other/agent\" --tray";
    QTest::newRow("written by hand") << "whatever" << QStringList{"--utm-host"} << "whatever";
    QTest::newRow("no options keeps host mode")
        << self + " --tray --utm-host" << QStringList() << self + " --tray --utm-host";
}

void TestAppController::autostartRewrittenOnlyForThisExecutable()
{
    QFETCH(QString, stored);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    writeAutostartEntry(kRunValueName, stored);
    auto agent = newAgent();
    QVERIFY(agent->autostart());
    agent->setAutostartArgs(arguments);
    QCOMPARE(autostartEntry(kRunValueName), expected);
    QVERIFY(agent->autostart());
}

void TestAppController::withoutCore()
{
    QVERIFY(DeviceTokenStore(deviceTokenPath()).save(kToken));
    auto agent = newAgent();
    QTRY_COMPARE(agent->state(), "online");
    agent->shutdown();
    agent->shutdown();
    QCOMPARE(agent->state(), "idle");
    QCOMPARE(agent->statusText(), "Не подключён");
    QVERIFY(!agent->connected());
    QVERIFY(!agent->paired());
    QVERIFY(!agent->isCoreBusy());
    QVERIFY(agent->organizations().isEmpty());
    QVERIFY(agent->utms().isEmpty());
    const QString message = agent->lastMessage();
    agent->pair(QStringLiteral("1"));
    agent->openCabinet(kInn);
    QCOMPARE(agent->lastMessage(), message);
    // The list is still kept; it gets clients with the next core.
    QVERIFY(agent->addUtm(QStringLiteral("localhost")));
    QCOMPARE(agent->utmEndpoints(), QStringList{"http://localhost:8080"});
    QVERIFY(agent->utms().isEmpty());
}

// A check stands at its second request when the core goes away, by unpairing and by quitting:
// nothing of it may run on afterwards (the AddressSanitizer build catches any late callback).
void TestAppController::unpairAndQuitDuringUtmCheck()
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
    QCOMPARE(utm.requestsTo("/api/info/list").size(), 0);
}

QTEST_MAIN(TestAppController)
#include "tst_appcontroller.moc"
