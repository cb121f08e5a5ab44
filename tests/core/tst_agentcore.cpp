#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/fakesigner.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"
#include "utm/utmclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;
using Orv::Test::FakeParvisTransport;

namespace {

const QString kToken = QStringLiteral("agent-token-0123456789");
const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kPollWait = QStringLiteral("/agent/v1/tasks?wait=30");
const QString kHeartbeat = QStringLiteral("/agent/v1/heartbeat");
const QString kUnsupported = QStringLiteral(
    "Тип задачи «x.unknown» не поддерживается этой версией агента. Обновите приложение агента");

AgentConfig testConfig()
{
    AgentConfig config;
    config.deviceId = QStringLiteral("dev-1");
    config.version = QStringLiteral("0.12.2");
    return config;
}

// A core over a borrowed transport, with a fake signer and a journal in a temporary folder. It is
// torn down the way its owner must do it: stop, abort the transport, then delete.
struct Rig
{
    explicit Rig(IHttpClient *transport, const AgentConfig &config = testConfig())
        : http(transport)
        , journal(dir.filePath(QStringLiteral("journal.db")))
        , core(config, transport, &signer, &journal)
    {
        journal.open();
    }
    ~Rig()
    {
        core.stop();
        http->abortAll();
    }

    QTimer *pollTimer() const
    {
        for (QTimer *timer : core.findChildren<QTimer *>()) {
            if (timer->isSingleShot())
                return timer;
        }
        return nullptr;
    }

    IHttpClient *http;
    QTemporaryDir dir;
    Test::FakeSigner signer;
    Journal journal;
    AgentCore core;
};

QByteArray taskJson(const QString &id, const QString &type, const QJsonObject &payload = {{"a", 1}})
{
    return QJsonDocument(QJsonObject{{"id", id},
                                     {"type", type},
                                     {"orgInn", "7700000001"},
                                     {"orgName", "Ромашка"},
                                     {"payload", payload}})
        .toJson(QJsonDocument::Compact);
}

// A УТМ that tells who it is but never answers `silentPath`, and a client to reach it.
struct SilentUtm
{
    explicit SilentUtm(const QString &silentPath)
    {
        utm.serveIdentity();
        utm.answer("GET", silentPath, FakeAnswer::never());
    }
    Test::FakeUtm utm;
    UtmHttpClient client{utm.baseUrl()};
};

QByteArray organizationsJson(bool pending)
{
    return QJsonDocument(
               QJsonObject{{"organizations", QJsonArray{QJsonObject{{"inn", "7700000001"},
                                                                    {"name", "Ромашка"},
                                                                    {"status", "ACTIVE"},
                                                                    {"signupPending", pending}}}}})
        .toJson(QJsonDocument::Compact);
}

// Paths of the requests, heartbeats left out: they run on their own timer.
QStringList loopPaths(const FakeParvisServer &server)
{
    QStringList paths;
    for (const Test::FakeRequest &request : server.requests()) {
        if (!request.path.startsWith(kHeartbeat))
            paths.append(request.path);
    }
    return paths;
}

// Index of call number `n` (from 0) to `path`, or -1 while there is none.
int nthCall(const FakeParvisTransport &http, const QString &path, int n)
{
    const QList<FakeParvisTransport::Call> calls = http.calls();
    for (int i = 0; i < calls.size(); ++i) {
        if (calls[i].path == path && n-- == 0)
            return i;
    }
    return -1;
}

} // namespace

class TestAgentCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    // Every test ends by aborting what is still in flight; an aborted reply has nothing to read.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open"))); }

    void startWithoutTokenSendsNothing()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        Test::LogCapture log;
        rig.core.start();
        QCOMPARE(rig.core.state(), AgentState::Idle);
        QVERIFY(http.calls().isEmpty());
        QCOMPARE(
            log.matching(QStringLiteral(
                             "[WARN] запуск без токена: сначала нужно подключить агента по коду"))
                .size(),
            1);
    }

    void startTwiceSendsOneHeartbeatThenOnePoll()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        QSignalSpy states(&rig.core, &AgentCore::stateChanged);
        rig.core.setToken(kToken);
        rig.core.start();
        rig.core.start();
        QCOMPARE(http.calls().size(), 2);
        QCOMPARE(http.calls()[0].path, kHeartbeat);
        QCOMPARE(http.calls()[1].path, kPollWait);
        QCOMPARE(http.calls()[1].token, kToken);
        QCOMPARE(states.size(), 1);
        QCOMPARE(states.first().first().value<AgentState>(), AgentState::Connecting);
    }

    void heartbeatDescribesThisPc()
    {
        Test::FakeUtm utm;
        utm.serveIdentity();
        UtmHttpClient utmClient(utm.baseUrl());
        FakeParvisServer server;
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        rig.core.setUtmClient(&utmClient);
        CertificateInfo named;
        named.thumbprint = QStringLiteral("aa11");
        named.subject = QStringLiteral("CN=Ромашка, ИНН=7700000001");
        named.inn = QStringLiteral("7700000001");
        named.validFrom = QDateTime(QDate(2025, 3, 1), QTime(12, 0), QTimeZone(3 * 3600));
        named.validTo = QDateTime(QDate(2026, 3, 1), QTime(12, 0), QTimeZone(3 * 3600));
        CertificateInfo bare;
        bare.thumbprint = QStringLiteral("bb22");
        rig.signer.setCertificates({named, bare});
        server.setAnswer("GET", kPoll, FakeAnswer::never());

        rig.core.setToken(kToken);
        rig.core.start();
        QTRY_COMPARE(server.requestsTo(kHeartbeat).size(), 1);
        // With a УТМ to probe first, the poll goes out before the heartbeat.
        QCOMPARE(server.requests().first().path, kPollWait);

        const Test::FakeRequest request = server.requestsTo(kHeartbeat).first();
        QCOMPARE(request.header("Authorization"), "Bearer " + kToken.toUtf8());
        const QJsonObject body = request.json();
        QCOMPARE(body.keys(), (QStringList{"capabilities", "certificates", "version"}));
        QCOMPARE(body.value(u"version").toString(), QStringLiteral("0.12.2"));
        const QJsonArray capabilities = body.value(u"capabilities").toArray();
        QCOMPARE(capabilities.size(), 2);
        QCOMPARE(capabilities[0].toObject(),
                 (QJsonObject{{"type", "sign"}, {"thumbprints", QJsonArray{"aa11", "bb22"}}}));
        // The УТМ as its probe found it; the details themselves are the capability list's.
        const QJsonObject utmEntry = capabilities[1].toObject();
        QCOMPARE(utmEntry.value(u"type").toString(), QStringLiteral("utm"));
        QCOMPARE(utmEntry.value(u"endpoint").toString(), utm.baseUrl());
        QCOMPARE(utmEntry.value(u"fsrarId").toString(), QStringLiteral("030000123456"));
        QVERIFY(utmEntry.value(u"reachable").toBool());
        const QJsonArray certificates = body.value(u"certificates").toArray();
        QCOMPARE(certificates.size(), 2);
        QCOMPARE(certificates[0].toObject(), (QJsonObject{{"thumbprint", "aa11"},
                                                          {"subject", "CN=Ромашка, ИНН=7700000001"},
                                                          {"inn", "7700000001"},
                                                          {"validFrom", "2025-03-01T09:00:00Z"},
                                                          {"validTo", "2026-03-01T09:00:00Z"}}));
        QVERIFY(certificates[1].toObject().value(u"inn").isNull());
    }

    void unknownTaskIsRefusedJournaledAndAnswered()
    {
        FakeParvisServer server;
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        server.setAnswer("POST", kHeartbeat, FakeAnswer::json(200, {}));
        server.enqueue("GET", kPoll, FakeAnswer::raw(200, taskJson("t-1", "x.unknown")));
        server.setAnswer("GET", kPoll, FakeAnswer::never());
        server.setAnswer("POST", "/agent/v1/tasks/t-1/result", FakeAnswer::json(200, {}));
        QSignalSpy finished(&rig.core, &AgentCore::taskFinished);
        Test::LogCapture log;

        rig.core.setToken(kToken);
        rig.core.start();
        QTRY_COMPARE(server.requestsTo(kPoll).size(), 2);

        QCOMPARE(loopPaths(server),
                 (QStringList{kPollWait, "/agent/v1/tasks/t-1/result", kPollWait}));
        const Test::FakeRequest result = server.requestsTo("/agent/v1/tasks/t-1/result").first();
        QCOMPARE(result.body, QJsonDocument(QJsonObject{{"ok", false}, {"error", kUnsupported}})
                                  .toJson(QJsonDocument::Compact));
        QCOMPARE(result.header("Authorization"), "Bearer " + kToken.toUtf8());

        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first(), (QVariantList{"x.unknown", false, kUnsupported}));
        QCOMPARE(log.matching(QStringLiteral("[INFO] получена задача x.unknown t-1")).size(), 1);

        const QList<JournalEntry> rows = rig.journal.recent(10);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].taskId, QStringLiteral("t-1"));
        QCOMPARE(rows[0].type, QStringLiteral("x.unknown"));
        QCOMPARE(rows[0].orgInn, QStringLiteral("7700000001"));
        QCOMPARE(rows[0].payloadHash, QString()); // the task came without one
        QCOMPARE(rows[0].signedHash, QString());
        QVERIFY(!rows[0].ok);
        QCOMPARE(rows[0].message, kUnsupported);
        QVERIFY(rows[0].at.secsTo(QDateTime::currentDateTimeUtc()) < 60);

        QVERIFY(!rig.core.isBusy());
        QCOMPARE(rig.core.state(), AgentState::Online);
    }

    void emptyPollPollsAgainAtOnce()
    {
        FakeParvisServer server;
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        server.enqueue("GET", kPoll, FakeAnswer::empty(204));
        server.setAnswer("GET", kPoll, FakeAnswer::never());
        QSignalSpy problems(&rig.core, &AgentCore::problem);

        rig.core.setToken(kToken);
        rig.core.start();
        QTRY_COMPARE(server.requestsTo(kPoll).size(), 2);
        QCOMPARE(rig.core.state(), AgentState::Online);
        QVERIFY(problems.isEmpty());
        QVERIFY(!rig.pollTimer()->isActive());
    }

    // The real delays, without waiting for them: each armed retry is read off the poll timer
    // and then fired at once.
    void failedPollsBackOffAndSuccessResets()
    {
        FakeParvisServer server;
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        const QList<int> delays{2000, 4000, 8000, 16000, 32000, 60000, 60000};
        for (int i = 0; i < delays.size(); ++i)
            server.enqueue("GET", kPoll, FakeAnswer::empty(503));
        server.enqueue("GET", kPoll, FakeAnswer::empty(204));
        server.enqueue("GET", kPoll, FakeAnswer::empty(503));
        server.setAnswer("GET", kPoll, FakeAnswer::never());
        QSignalSpy problems(&rig.core, &AgentCore::problem);
        Test::LogCapture log;
        QTimer *timer = rig.pollTimer();
        QVERIFY(timer);

        rig.core.setToken(kToken);
        rig.core.start();
        for (int i = 0; i <= delays.size(); ++i) {
            const int expected = i < delays.size() ? delays[i] : 2000; // the last after a success
            QTRY_COMPARE(problems.size(), i + 1);
            QCOMPARE(problems.last().first().toString(),
                     QStringLiteral("Сервер ответил кодом 503"));
            QCOMPARE(rig.core.state(), AgentState::Offline);
            QVERIFY(timer->isActive());
            QCOMPARE(timer->interval(), expected);
            const QStringList retries = log.matching(QStringLiteral("нет связи с PARVIS API"));
            QCOMPARE(retries.size(), i + 1);
            QCOMPARE(retries.last().section(u' ', 1),
                     QStringLiteral("[WARN] нет связи с PARVIS API: Сервер ответил кодом 503 "
                                    "повтор через %1 мс")
                         .arg(expected));
            timer->start(0);
        }
        QTRY_COMPARE(server.requestsTo(kPoll).size(), delays.size() + 3);
        QCOMPARE(problems.size(), delays.size() + 1);
    }

    void refusedResultIsLoggedAndNeverPostedAgain()
    {
        FakeParvisServer server;
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        server.enqueue("GET", kPoll, FakeAnswer::raw(200, taskJson("t-1", "x.unknown")));
        server.enqueue("GET", kPoll, FakeAnswer::empty(204));
        server.setAnswer("GET", kPoll, FakeAnswer::never());
        server.setAnswer("POST", "/agent/v1/tasks/t-1/result",
                         FakeAnswer::json(500, {{"error", "Задача уже закрыта"}}));
        QSignalSpy problems(&rig.core, &AgentCore::problem);
        Test::LogCapture log;

        rig.core.setToken(kToken);
        rig.core.start();
        QTRY_COMPARE(server.requestsTo(kPoll).size(), 3);

        QCOMPARE(server.requestsTo("/agent/v1/tasks/t-1/result").size(), 1);
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.first().first().toString(), QStringLiteral("Задача уже закрыта"));
        QCOMPARE(log.matching(
                        QStringLiteral("[WARN] результат задачи t-1 не принят: Задача уже закрыта"))
                     .size(),
                 1);
        QCOMPARE(rig.core.state(), AgentState::Online);
        QVERIFY(!rig.pollTimer()->isActive());
        QCOMPARE(rig.journal.recent(10).size(), 1);
    }

    void organizationsChangeOnlyWhenTheListDoes()
    {
        FakeParvisTransport http;
        AgentConfig config = testConfig();
        config.heartbeatIntervalMs = 10;
        Rig rig(&http, config);
        QSignalSpy changed(&rig.core, &AgentCore::organizationsChanged);
        rig.core.setToken(kToken);
        rig.core.start();

        // Each answer in turn, with the number of changes signalled after it.
        const QList<QPair<QByteArray, int>> answers{{organizationsJson(false), 1},
                                                    {organizationsJson(false), 1},
                                                    {organizationsJson(true), 2},
                                                    {"{}", 3},
                                                    {"not json", 3}};
        int answered = 0;
        for (const auto &[body, changes] : answers) {
            int index = -1;
            QTRY_VERIFY((index = nthCall(http, kHeartbeat, answered)) >= 0);
            http.answer(index, 200, body);
            ++answered;
            QCOMPARE(changed.size(), changes);
            if (changes == 2) {
                QCOMPARE(rig.core.organizations().size(), 1);
                QCOMPARE(rig.core.organizations().first().inn, QStringLiteral("7700000001"));
                QVERIFY(rig.core.organizations().first().signupPending);
            }
        }
        QVERIFY(rig.core.organizations().isEmpty());
    }

    void heartbeatDoesNotBringOfflineBack()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        Test::LogCapture log;
        rig.core.setToken(kToken);
        rig.core.start(); // calls: heartbeat, poll
        http.answer(1, 503);
        QCOMPARE(rig.core.state(), AgentState::Offline);
        http.answer(0, 200, "{}");
        QCOMPARE(rig.core.state(), AgentState::Offline);

        rig.pollTimer()->start(0);
        QTRY_COMPARE(http.calls().size(), 3);
        http.answer(2, 204);
        QCOMPARE(rig.core.state(), AgentState::Online);
        QCOMPARE(http.calls().size(), 4); // polled again at once

        rig.core.stop();
        http.answer(3, 200, taskJson("late", "x.unknown"));
        QCOMPARE(rig.core.state(), AgentState::Offline);
        QCOMPARE(http.calls().size(), 4);
        QVERIFY(log.matching(QStringLiteral("получена задача")).isEmpty());
    }

    void heartbeatFailureOnlyLogs()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        QSignalSpy problems(&rig.core, &AgentCore::problem);
        Test::LogCapture log;
        rig.core.setToken(kToken);
        rig.core.start();
        http.answer(0, 401, R"({"error":"Токен\nотозван"})");
        QCOMPARE(rig.core.state(), AgentState::Connecting);
        QVERIFY(problems.isEmpty());
        QCOMPARE(log.matching(QStringLiteral("[WARN] heartbeat не прошёл: Токен\\nотозван")).size(),
                 1);
    }

    // An answer to a poll of an earlier run must not start a second loop beside the new one.
    void restartWhilePollingKeepsOneLoop()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        rig.core.setToken(kToken);
        rig.core.start(); // heartbeat 0, poll 1
        rig.core.stop();
        rig.core.start(); // heartbeat 2, poll 3
        QCOMPARE(http.calls().size(), 4);

        http.answer(1, 204);
        QCOMPARE(http.calls().size(), 4);
        http.answer(3, 204);
        QCOMPARE(http.calls().size(), 5);
        QCOMPARE(http.calls().last().path, kPollWait);
    }

    void utmListChangesAreProbedAndLogged()
    {
        Test::FakeUtm gone[2];
        gone[0].shutDown();
        gone[1].shutDown();
        UtmHttpClient first(gone[0].baseUrl());
        UtmHttpClient second(gone[1].baseUrl());
        FakeParvisTransport http;
        Rig rig(&http);
        QSignalSpy changed(&rig.core, &AgentCore::utmStatusChanged);
        Test::LogCapture log;

        rig.core.setUtmClients({&first, &second});
        QCOMPARE(log.matching(QStringLiteral("[INFO] УТМ: ")), QStringList{log.lines().first()});
        QVERIFY(log.lines().first().endsWith(
            QStringLiteral("[INFO] УТМ: %1, %2").arg(first.baseUrl(), second.baseUrl())));
        QTRY_COMPARE(log.matching(QStringLiteral("[WARN] УТМ не отвечает:")).size(), 2);
        QCOMPARE(changed.size(), 3); // the new list, then each probe
        QCOMPARE(rig.core.utmStatuses().size(), 2);

        log.clear();
        rig.core.setUtmClients({&first, &second});
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(changed.size(), 3);

        rig.core.setUtmClient(nullptr);
        QCOMPARE(log.matching(QStringLiteral("УТМ")).size(), 1);
        QVERIFY(log.lines().first().endsWith(QStringLiteral("[INFO] УТМ: не настроен")));
        QTRY_COMPARE(changed.size(), 4);
        QVERIFY(rig.core.utmStatuses().isEmpty());
        QVERIFY(http.calls().isEmpty()); // probing the УТМ is no heartbeat
    }

    // Stopping ends a forwarded request still out; its outcome is journaled and signalled, but
    // neither posted nor followed by a poll.
    void stopWhileTaskRunsJournalsWithoutPosting()
    {
        SilentUtm silent(QStringLiteral("/opt/out"));
        FakeParvisTransport http;
        Rig rig(&http);
        rig.core.setUtmClient(&silent.client);
        QSignalSpy finished(&rig.core, &AgentCore::taskFinished);
        rig.core.setToken(kToken);
        rig.core.start();
        http.answer(nthCall(http, kPollWait, 0), 200,
                    taskJson("t-1", "utm.request",
                             {{"fsrarId", Test::FakeUtmIdentity().fsrarId},
                              {"method", "GET"},
                              {"path", "/opt/out"}}));
        QTRY_COMPARE(silent.utm.requestsTo("/opt/out").size(), 1);
        QVERIFY(rig.core.isBusy());

        rig.core.stop();
        QVERIFY(!rig.core.isBusy());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().mid(0, 2), (QVariantList{"utm.request", false}));
        QCOMPARE(rig.journal.recent(10).size(), 1);
        QCOMPARE(nthCall(http, "/agent/v1/tasks/t-1/result", 0), -1);
        QCOMPARE(nthCall(http, kPollWait, 1), -1);
    }

    // The owner's teardown while a УТМ check waits on its second page. Stopping lets the check
    // ask for the third, whose abort may come after it went out; the fourth is never asked for.
    void deletedMidCheckEndsTheCheck()
    {
        SilentUtm silent(QStringLiteral("/info/version"));
        FakeParvisTransport http;
        auto rig = std::make_unique<Rig>(&http);
        rig->core.setUtmClient(&silent.client);
        QTRY_COMPARE(silent.utm.requestsTo("/info/version").size(), 1);
        rig.reset();
        // The fake answers once more, so the event loop has run well past the teardown.
        bool answered = false;
        silent.client.get("/diagnosis", 5000,
                          [&answered](const UtmResponse &) { answered = true; });
        QTRY_VERIFY(answered);
        QCOMPARE(silent.utm.requestsTo("/api/rsa").size(), 0);
    }

    void stopKeepsTokenAndSaysWhy_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<AgentState>("afterSet");
        QTest::addColumn<AgentState>("afterStop");
        QTest::newRow("token") << kToken << AgentState::Connecting << AgentState::Offline;
        QTest::newRow("none") << QString() << AgentState::Idle << AgentState::Idle;
    }

    void stopKeepsTokenAndSaysWhy()
    {
        QFETCH(QString, token);
        QFETCH(AgentState, afterSet);
        QFETCH(AgentState, afterStop);
        FakeParvisTransport http;
        Rig rig(&http);
        Test::LogCapture log;
        rig.core.setToken(token);
        QCOMPARE(rig.core.state(), afterSet);
        rig.core.start();
        rig.core.stop();
        QCOMPARE(rig.core.state(), afterStop);
        QCOMPARE(rig.core.token(), token);
        if (afterStop == AgentState::Offline)
            QVERIFY(!log.matching(QStringLiteral("[INFO] состояние: нет связи")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAgentCore)
#include "tst_agentcore.moc"
