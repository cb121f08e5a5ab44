#include "core/httpclient.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/logcapture.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

constexpr int kLong = 10000;

// Collects every callback of one client, so a second completion of a request would show.
struct Results
{
    QList<HttpResponse> all;
    HttpCallback collect()
    {
        return [this](const HttpResponse &r) {
            all.append(r);
        };
    }
};

// One more full exchange: whatever a finished request still had queued has run by then.
void drainEvents(FakeParvisServer &server, HttpClient &client)
{
    server.setAnswer("GET", "/drain", FakeAnswer::empty(204));
    bool done = false;
    client.get(QStringLiteral("/drain"), {}, kLong, [&done](const HttpResponse &) { done = true; });
    QTRY_VERIFY(done);
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void completesOnce_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("expectedStatus");
        QTest::addColumn<bool>("timedOut");

        const auto complete = int(FakeAnswer::Mode::Complete);
        const QByteArray json = R"({"error":"Токен отозван"})";
        QTest::newRow("success") << complete << 200 << QByteArray(R"({"a":1})") << kLong << 200
                                 << false;
        QTest::newRow("401 with json") << complete << 401 << json << kLong << 401 << false;
        QTest::newRow("503 with html")
            << complete << 503 << QByteArray("<html>упал</html>") << kLong << 503 << false;
        QTest::newRow("no answer, time-out")
            << int(FakeAnswer::Mode::Never) << 200 << QByteArray() << 100 << 0 << true;
        // A status line that came before the time-out does not make the rest a whole answer.
        QTest::newRow("time-out after the status line")
            << int(FakeAnswer::Mode::Stall) << 200 << QByteArray(R"({"id":"t1","type":"x"})") << 300
            << 0 << true;
        QTest::newRow("connection lost after the status line")
            << int(FakeAnswer::Mode::CutOff) << 200 << QByteArray(R"({"id":"t1","type":"x"})")
            << kLong << 0 << false;
        QTest::newRow("4xx cut off")
            << int(FakeAnswer::Mode::CutOff) << 404 << json << kLong << 0 << false;
    }

    void completesOnce()
    {
        QFETCH(int, mode);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, timeoutMs);
        QFETCH(int, expectedStatus);
        QFETCH(bool, timedOut);

        FakeParvisServer server;
        FakeAnswer answer = FakeAnswer::raw(status, body, "application/json");
        answer.mode = FakeAnswer::Mode(mode);
        server.setAnswer("GET", "/agent/v1/tasks", answer);
        HttpClient client(server.baseUrl());
        Results results;
        Test::LogCapture log;

        client.get(QStringLiteral("/agent/v1/tasks?wait=30"), QStringLiteral("tok"), timeoutMs,
                   results.collect());
        QTRY_COMPARE_WITH_TIMEOUT(results.all.size(), 1, 15000);
        drainEvents(server, client);
        QCOMPARE(results.all.size(), 1);

        const HttpResponse &r = results.all.first();
        QCOMPARE(r.status, expectedStatus);
        if (expectedStatus == 0) {
            QVERIFY(!r.error.isEmpty());
        } else {
            QCOMPARE(r.body, body);
            QVERIFY(r.error.isEmpty());
        }
        const QStringList timeouts = log.matching(QStringLiteral("таймаут"));
        QCOMPARE(timeouts.size(), timedOut ? 1 : 0);
        if (timedOut)
            QVERIFY(timeouts.first().endsWith(
                QStringLiteral("[WARN] таймаут запроса, обрываем: /agent/v1/tasks")));
    }

    void noServerCompletesWithError()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();

        HttpClient client(QStringLiteral("http://127.0.0.1:%1").arg(port));
        Results results;
        client.postJson(QStringLiteral("/agent/v1/pair"), {}, {}, kLong, results.collect());
        QTRY_COMPARE(results.all.size(), 1);
        QCOMPARE(results.all.first().status, 0);
        QVERIFY(!results.all.first().error.isEmpty());
    }

    void abortAllCompletesEveryRequestInside()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/slow", FakeAnswer::never());
        QSignalSpy arrived(&server, &FakeParvisServer::requestArrived);
        HttpClient client(server.baseUrl());
        Results results;
        for (int i = 0; i < 3; ++i)
            client.get(QStringLiteral("/slow"), {}, kLong, results.collect());
        QTRY_COMPARE(arrived.size(), 3);

        client.abortAll();
        QCOMPARE(results.all.size(), 3);
        for (const HttpResponse &r : std::as_const(results.all)) {
            QCOMPARE(r.status, 0);
            QVERIFY(!r.error.isEmpty());
        }
        client.abortAll();
        drainEvents(server, client);
        QCOMPARE(results.all.size(), 3);
    }

    void destructionCompletesPendingRequest()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/slow", FakeAnswer::never());
        QSignalSpy arrived(&server, &FakeParvisServer::requestArrived);
        Results results;
        {
            HttpClient client(server.baseUrl());
            client.get(QStringLiteral("/slow"), {}, kLong, results.collect());
            QVERIFY(arrived.wait());
            QVERIFY(results.all.isEmpty());
        }
        QCOMPARE(results.all.size(), 1);
        QCOMPARE(results.all.first().status, 0);
        QCoreApplication::processEvents();
        QCOMPARE(results.all.size(), 1);
    }

    void finishedRequestHasNoRunningTimer()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/fast", FakeAnswer::json(200, {}));
        HttpClient client(server.baseUrl());
        int activeTimers = -1;
        client.get(QStringLiteral("/fast"), {}, kLong, [&](const HttpResponse &) {
            activeTimers = 0;
            const QList<QTimer *> timers = client.findChildren<QTimer *>();
            QVERIFY(!timers.isEmpty()); // the reply and its timer are deleted only later
            for (const QTimer *timer : timers)
                activeTimers += timer->isActive();
        });
        QTRY_VERIFY(activeTimers >= 0);
        QCOMPARE(activeTimers, 0);
    }

    void headers_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("post");
        QTest::newRow("get without token") << QString() << false;
        QTest::newRow("get with token") << QStringLiteral("абв-123") << false;
        QTest::newRow("post without token") << QString() << true;
        QTest::newRow("post with token") << QStringLiteral("t0k") << true;
    }

    void headers()
    {
        QFETCH(QString, token);
        QFETCH(bool, post);

        FakeParvisServer server;
        server.setAnswer(post ? "POST" : "GET", "/x", FakeAnswer::json(200, {}));
        QSignalSpy arrived(&server, &FakeParvisServer::requestArrived);
        HttpClient client(server.baseUrl());
        Results results;
        if (post)
            client.postJson(QStringLiteral("/x"), token, {}, kLong, results.collect());
        else
            client.get(QStringLiteral("/x"), token, kLong, results.collect());
        QTRY_COMPARE(results.all.size(), 1);

        const Test::FakeRequest request = server.requests().first();
        QCOMPARE(request.method, post ? QByteArray("POST") : QByteArray("GET"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QCOMPARE(request.hasHeader("Authorization"), !token.isEmpty());
        if (!token.isEmpty())
            QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(request.hasHeader("Content-Type"), post);
        if (post) {
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(request.body, QByteArray("{}"));
        } else {
            QVERIFY(request.body.isEmpty());
        }
    }

    void postBodyIsCompact()
    {
        FakeParvisServer server;
        server.setAnswer("POST", "/x", FakeAnswer::json(201, {}));
        HttpClient client(server.baseUrl());
        Results results;
        client.postJson(QStringLiteral("/x"), {},
                        {{"code", "12 34"}, {"device", QJsonObject{{"id", "d"}}}}, kLong,
                        results.collect());
        QTRY_COMPARE(results.all.size(), 1);
        QCOMPARE(results.all.first().status, 201);
        QCOMPARE(server.requests().first().body,
                 QByteArray(R"({"code":"12 34","device":{"id":"d"}})"));
    }

    void baseUrlLosesEveryTrailingSlash_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("path");
        QTest::newRow("none") << QString() << QStringLiteral("/agent/v1/pair");
        QTest::newRow("one") << QStringLiteral("/") << QStringLiteral("/agent/v1/pair");
        QTest::newRow("segment and three")
            << QStringLiteral("/api///") << QStringLiteral("/api/agent/v1/pair");
    }

    void baseUrlLosesEveryTrailingSlash()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, path);
        FakeParvisServer server;
        HttpClient client(server.baseUrl() + suffix);
        Results results;
        client.postJson(QStringLiteral("/agent/v1/pair"), {}, {}, kLong, results.collect());
        QTRY_COMPARE(results.all.size(), 1);
        QCOMPARE(server.requests().first().path, path);
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
