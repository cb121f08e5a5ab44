#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "core/util.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/fakesigner.h"
#include "tests/support/fakeutm.h"
#include "tests/support/logcapture.h"
#include "tests/support/testdata.h"
#include "utm/utmclient.h"

#include <QFile>
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
const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");
const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kPollWait = QStringLiteral("/agent/v1/tasks?wait=30");
const QString kHeartbeat = QStringLiteral("/agent/v1/heartbeat");
const QString kUnsupported = QStringLiteral(
    "Тип задачи «x.unknown» не поддерживается этой версией агента. Обновите приложение агента");

QString resultPath(const QString &taskId)
{
    return QStringLiteral("/agent/v1/tasks/%1/result").arg(taskId);
}

AgentConfig testConfig()
{
    AgentConfig config;
    config.version = QStringLiteral("0.12.2");
    return config;
}

// A core with every handler over a borrowed transport, with a fake signer and a journal in a
// temporary folder. It is torn down the way its owner must do it: stop, abort the transport,
// then delete.
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
    const QJsonObject task{{"id", id}, {"type", type}, {"orgInn", kInn}, {"payload", payload}};
    return QJsonDocument(task).toJson(QJsonDocument::Compact);
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

// How many log lines hold `text`.
qsizetype logged(const Test::LogCapture &log, const QString &text)
{
    return log.matching(text).size();
}

} // namespace

class TestAgentCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    // Every test ends by aborting what is still in flight; an aborted reply has nothing to read.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open"))); }

    // One loop of polls, whatever the starts and stops: a restart carries on with the poll still
    // out, so what it brings is neither dropped nor doubled by a second loop.
    void oneLoopAcrossRestarts()
    {
        FakeParvisTransport http;
        Rig rig(&http);
        QSignalSpy states(&rig.core, &AgentCore::stateChanged);
        QSignalSpy problems(&rig.core, &AgentCore::problem);
        Test::LogCapture log;
        rig.core.start();
        rig.core.stop();
        QCOMPARE(rig.core.state(), AgentState::Idle);
        QVERIFY(http.calls().isEmpty());
        QCOMPARE(logged(log, "[WARN] запуск без токена: сначала нужно подключить агента по коду"),
                 1);

        rig.core.setToken(kToken);
        rig.core.start();
        rig.core.start();
        QCOMPARE(http.calls().size(), 2);
        QCOMPARE(http.calls()[0].path, kHeartbeat);
        QCOMPARE(http.calls()[1].path, kPollWait);
        QCOMPARE(states.size(), 1);

        http.answer(0, 401, R"({"error":"Токен\nотозван"})"); // a failed heartbeat only logs
        QCOMPARE(rig.core.state(), AgentState::Connecting);
        QVERIFY(problems.isEmpty());
        QCOMPARE(logged(log, "[WARN] heartbeat не прошёл: Токен\\nотозван"), 1);

        rig.core.stop();
        QCOMPARE(rig.core.state(), AgentState::Offline);
        QCOMPARE(rig.core.token(), kToken);
        QCOMPARE(logged(log, "[INFO] состояние: нет связи"), 1);
        rig.core.start(); // heartbeat 2; poll 1 is still out
        QCOMPARE(http.calls().size(), 3);
        QCOMPARE(rig.core.state(), AgentState::Connecting); // not "нет связи" until it fails

        // A heartbeat may pass where polls fail: it does not bring the agent back.
        http.answer(1, 503);
        QCOMPARE(rig.core.state(), AgentState::Offline);
        http.answer(2, 200, "{}");
        QCOMPARE(rig.core.state(), AgentState::Offline);

        // An empty answer that came at once: the next poll waits out the rest of the second.
        rig.pollTimer()->start(0);
        QTRY_COMPARE(http.calls().size(), 4);
        http.answer(3, 204);
        QCOMPARE(rig.core.state(), AgentState::Online);
        QCOMPARE(http.calls().size(), 4);
        QVERIFY(rig.pollTimer()->isActive());
        QVERIFY(rig.pollTimer()->remainingTime() > 500);
        rig.pollTimer()->start(0);
        QTRY_COMPARE(http.calls().size(), 5);

        // A task for a stopped agent is dropped; one that comes after a restart is run and
        // answered, and the loop goes on once.
        rig.core.stop();
        http.answer(4, 200, taskJson("late", "x.unknown"));
        QCOMPARE(rig.core.state(), AgentState::Offline);
        rig.core.start();
        rig.core.stop();
        rig.core.start(); // heartbeats 5 and 7, poll 6
        QCOMPARE(http.calls().size(), 8);
        http.answer(6, 200, taskJson("t-2", "x.unknown"));
        QCOMPARE(http.calls().size(), 9);
        QCOMPARE(http.calls()[8].path, resultPath("t-2"));
        http.answer(8, 200, "{}");
        QCOMPARE(http.calls().size(), 10);
        QCOMPARE(http.calls()[9].path, kPollWait);
    }

    // What the server sends reaches the user, the journal and the log at a length they can take,
    // and a row the journal cannot write is reported after the task's own message; each result
    // goes back all the same.
    void taskValuesAndLostRowsReachTheUser()
    {
        QStringList heard; // outlives the rig, whose teardown still reports
        FakeParvisTransport http;
        Rig rig(&http);
        connect(&rig.core, &AgentCore::taskFinished,
                [&heard](const QString &, bool, const QString &message) { heard << message; });
        connect(&rig.core, &AgentCore::problem, [&heard](const QString &text) { heard << text; });
        Test::LogCapture log;
        rig.core.setToken(kToken);
        rig.core.start();
        http.answer(nthCall(http, kPollWait, 0), 200, taskJson("t-1", QString(200000, u'x')));
        QCOMPARE(heard.size(), 1);
        QVERIFY(heard[0].size() <= 500 && heard[0].endsWith(u'…'));
        QVERIFY(rig.journal.recent(1).value(0).type.size() <= 500);
        for (const QString &line : log.lines())
            QVERIFY(line.size() < 2000);

        http.answer(nthCall(http, resultPath("t-1"), 0), 200, "{}");
        rig.journal.close();
        http.answer(nthCall(http, kPollWait, 1), 200, taskJson("t-2", "x.unknown"));
        QCOMPARE(heard.mid(1), (QStringList{kUnsupported, "Журнал не открыт. Задача x.unknown не "
                                                          "выполнена, но в журнале её не будет"}));
        QVERIFY(nthCall(http, resultPath("t-2"), 0) > 0);
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

    void organizationsChangeOnlyWhenTheListDoes()
    {
        FakeParvisTransport http;
        AgentConfig config = testConfig();
        config.heartbeatIntervalMs = 10;
        Rig rig(&http, config);
        QSignalSpy changed(&rig.core, &AgentCore::organizationsChanged);
        rig.core.setToken(kToken);
        rig.core.start();

        const QByteArray active =
            R"({"organizations":[{"inn":"1","name":"Р","status":"ACTIVE","signupPending":false}]})";
        const QByteArray pending = QByteArray(active).replace("false", "true");
        // Each answer in turn, with the number of changes signalled after it.
        const QList<QPair<QByteArray, int>> answers{
            {active, 1}, {active, 1}, {pending, 2}, {"{}", 3}};
        int answered = 0;
        for (const auto &[body, changes] : answers) {
            int index = -1;
            QTRY_VERIFY((index = nthCall(http, kHeartbeat, answered)) >= 0);
            http.answer(index, 200, body);
            ++answered;
            QCOMPARE(changed.size(), changes);
            if (changes == 2)
                QVERIFY(rig.core.organizations().value(0).signupPending);
        }
        QVERIFY(rig.core.organizations().isEmpty());
    }

    // A new list is logged and probed at once; the same list again is neither.
    void utmListChangesAreLoggedAndProbed()
    {
        Test::FakeUtm gone;
        gone.shutDown();
        UtmHttpClient first(gone.baseUrl());
        UtmHttpClient second(gone.baseUrl() + QStringLiteral("/b"));
        FakeParvisTransport http;
        Rig rig(&http);
        QSignalSpy changed(&rig.core, &AgentCore::utmStatusChanged);
        Test::LogCapture log;
        rig.core.setUtmClients({&first, &second});
        rig.core.setUtmClients({&first, &second});
        QTRY_COMPARE(logged(log, "[WARN] УТМ не отвечает:"), 2);
        QCOMPARE(changed.size(), 3); // the new list, then each probe

        rig.core.setUtmClient(nullptr);
        const QStringList lists = log.matching(QStringLiteral("[INFO] УТМ:"));
        QCOMPARE(lists.size(), 2);
        QVERIFY(lists[0].endsWith(
            QStringLiteral("[INFO] УТМ: %1, %2").arg(first.baseUrl(), second.baseUrl())));
        QVERIFY(lists[1].endsWith(QStringLiteral("[INFO] УТМ: не настроен")));
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
        QCOMPARE(nthCall(http, resultPath("t-1"), 0), -1);
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

    // The core as the program builds it, on the fake server: the heartbeat describes this PC;
    // each task runs from the poll to the posted result, the next poll following at once (as it
    // does an empty answer); a refused result is logged and never posted again.
    void endToEnd()
    {
        const QByteArray document = "document bytes";
        const QByteArray buyerTitle =
            Test::readTestData(QStringLiteral("upd/buyer-title-cp1251.xml"));
        const QString sellerTitle =
            QString::fromUtf8(Test::readTestData(QStringLiteral("upd/seller-title.xml")));
        QVERIFY(!buyerTitle.isEmpty() && !sellerTitle.isEmpty());
        const QString fsrarId = Test::FakeUtmIdentity().fsrarId;
        const QByteArray upload =
            "<D><Owner><FSRAR_ID>" + fsrarId.toLatin1() + "</FSRAR_ID></Owner></D>";
        Test::FakeUtm utm;
        utm.serveIdentity();
        utm.answer("GET", "/opt/out", 200, "<A><url>x</url></A>");
        utm.answer("POST", "/opt/in/QueryAP_v2", 200, "<A><url>y</url></A>");
        UtmHttpClient utmClient(utm.baseUrl());

        const QList<QPair<QString, QJsonObject>> tasks{
            {"chz.auth", {{"inn", kInn}, {"thumbprint", kThumbprint}, {"data", "вход"}}},
            {"chz.document",
             {{"inn", kInn},
              {"thumbprint", kThumbprint},
              {"contentBase64", QString::fromLatin1(document.toBase64())}}},
            {"edo.title",
             {{"inn", kInn},
              {"thumbprint", kThumbprint},
              {"contentBase64", QString::fromLatin1(buyerTitle.toBase64())},
              {"sellerTitleXml", sellerTitle}}},
            {"utm.request", {{"fsrarId", fsrarId}, {"method", "GET"}, {"path", "/opt/out?x=1"}}},
            {"utm.request",
             {{"fsrarId", fsrarId},
              {"method", "POST"},
              {"path", "/opt/in/QueryAP_v2"},
              {"bodyBase64", QString::fromLatin1(upload.toBase64())}}},
            {"utm.request", {{"fsrarId", fsrarId}, {"method", "GET"}, {"path", "/x"}}},
            {"x.unknown", {{"a", 1}}},
            {"x.unknown", {{"a", 1}}}, // its result is refused
        };
        FakeParvisServer server;
        server.enqueue("GET", kPoll, FakeAnswer::empty(204));
        QStringList ids;
        for (int i = 0; i < tasks.size(); ++i) {
            ids.append(QStringLiteral("t%1").arg(i + 1));
            server.enqueue("GET", kPoll,
                           FakeAnswer::raw(200, taskJson(ids[i], tasks[i].first, tasks[i].second)));
            server.setAnswer("POST", resultPath(ids[i]), FakeAnswer::json(200, {}));
        }
        server.setAnswer("POST", resultPath("t8"),
                         FakeAnswer::json(500, {{"error", "Задача уже закрыта"}}));
        server.setAnswer("GET", kPoll, FakeAnswer::never());
        HttpClient http(server.baseUrl());
        Rig rig(&http);
        CertificateInfo named;
        named.thumbprint = kThumbprint;
        named.subject = QStringLiteral("CN=Ромашка, ИНН=7712345678");
        named.inn = kInn;
        named.validFrom = QDateTime(QDate(2025, 3, 1), QTime(12, 0), QTimeZone(3 * 3600));
        named.validTo = QDateTime(QDate(2100, 3, 1), QTime(12, 0), QTimeZone(3 * 3600));
        CertificateInfo bare;
        bare.thumbprint = QStringLiteral("bb22");
        rig.signer.setCertificates({named, bare});
        rig.core.setUtmClient(&utmClient);
        QSignalSpy finished(&rig.core, &AgentCore::taskFinished);
        QSignalSpy problems(&rig.core, &AgentCore::problem);
        Test::LogCapture log;
        rig.core.setToken(kToken);
        rig.core.start();
        QTRY_COMPARE_WITH_TIMEOUT(server.requestsTo(kPoll).size(), tasks.size() + 2, 15000);
        QTRY_COMPARE(server.requestsTo(kHeartbeat).size(), 1);

        // With a УТМ to probe first, the poll goes out before the heartbeat.
        QCOMPARE(server.requests().first().path, kPollWait);
        const Test::FakeRequest heartbeat = server.requestsTo(kHeartbeat).first();
        QCOMPARE(heartbeat.header("Authorization"), "Bearer " + kToken.toUtf8());
        const QJsonObject body = heartbeat.json();
        QCOMPARE(body.keys(), (QStringList{"capabilities", "certificates", "version"}));
        QCOMPARE(body.value(u"version").toString(), QStringLiteral("0.12.2"));
        const QJsonArray capabilities = body.value(u"capabilities").toArray();
        QCOMPARE(capabilities.size(), 2);
        QCOMPARE(capabilities[0].toObject(),
                 (QJsonObject{{"type", "sign"}, {"thumbprints", QJsonArray{kThumbprint, "bb22"}}}));
        // The УТМ as its probe found it; the details themselves are the capability list's.
        QCOMPARE(capabilities[1].toObject().value(u"endpoint").toString(), utm.baseUrl());
        QCOMPARE(capabilities[1].toObject().value(u"fsrarId").toString(), fsrarId);
        const QJsonArray certificates = body.value(u"certificates").toArray();
        QCOMPARE(certificates.size(), 2);
        QCOMPARE(certificates[0].toObject(), (QJsonObject{{"thumbprint", kThumbprint},
                                                          {"subject", named.subject},
                                                          {"inn", kInn},
                                                          {"validFrom", "2025-03-01T09:00:00Z"},
                                                          {"validTo", "2100-03-01T09:00:00Z"}}));
        QVERIFY(certificates[1].toObject().value(u"inn").isNull());

        QList<Test::FakeRequest> results;
        for (const QString &id : ids) {
            QCOMPARE(server.requestsTo(resultPath(id)).size(), 1);
            results.append(server.requestsTo(resultPath(id)).first());
        }
        // Attached for the login string, detached for the documents; each its own bytes.
        const QList<QByteArray> signedBytes{QStringLiteral("вход").toUtf8(), document, buyerTitle};
        const QList<Test::FakeSigner::SignCall> calls = rig.signer.signCalls();
        QCOMPARE(calls.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(calls[i].data, signedBytes[i]);
            QCOMPARE(calls[i].detached, i > 0);
            QCOMPARE(results[i].json().value("data").toObject().value("signature").toString(),
                     QString::fromLatin1(Test::FakeSigner::kDefaultSignature));
        }
        QCOMPARE(results[3].json().value("data").toObject().value("bodySha256").toString(),
                 sha256Hex("<A><url>x</url></A>"));
        QCOMPARE(utm.requestsTo("/opt/out").value(0).path, "/opt/out?x=1");
        QCOMPARE(results[4].json().value("ok"), true);
        QCOMPARE(results[5].json().value("ok"), false);

        QCOMPARE(results[6].body, QJsonDocument(QJsonObject{{"ok", false}, {"error", kUnsupported}})
                                      .toJson(QJsonDocument::Compact));
        QCOMPARE(finished.size(), tasks.size());
        QCOMPARE(finished[6], (QVariantList{"x.unknown", false, kUnsupported}));
        QCOMPARE(logged(log, "[INFO] получена задача x.unknown t7"), 1);

        // Every outcome but the successful forwarded read is journaled, newest first.
        const QList<JournalEntry> rows = rig.journal.recent(10);
        QStringList journaled;
        for (const JournalEntry &entry : rows)
            journaled.prepend(entry.taskId);
        QCOMPARE(journaled, (QStringList{"t1", "t2", "t3", "t5", "t6", "t7", "t8"}));
        const JournalEntry &row = rows[1];
        // The task came without a payload hash: the row is still written.
        QCOMPARE((QStringList{row.type, row.orgInn, row.payloadHash, row.signedHash, row.message}),
                 (QStringList{"x.unknown", kInn, "", "", kUnsupported}));
        QVERIFY(!row.ok);
        QVERIFY(row.at.secsTo(QDateTime::currentDateTimeUtc()) < 60);

        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems[0][0].toString(), QStringLiteral("Задача уже закрыта"));
        QCOMPARE(logged(log, "[WARN] результат задачи t8 не принят: Задача уже закрыта"), 1);
        QVERIFY(!rig.core.isBusy());
        QCOMPARE(rig.core.state(), AgentState::Online);
        QVERIFY(!rig.pollTimer()->isActive());
    }
};

QTEST_GUILESS_MAIN(TestAgentCore)
#include "tst_agentcore.moc"
