#include "core/httpclient.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/logcapture.h"

#include <QSignalSpy>
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
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("expectedStatus");
        QTest::addColumn<bool>("timedOut");

        using Mode = FakeAnswer::Mode;
        QTest::newRow("success") << int(Mode::Complete) << 200 << kLong << 200 << false;
        QTest::newRow("whole 401") << int(Mode::Complete) << 401 << kLong << 401 << false;
        QTest::newRow("no answer, time-out") << int(Mode::Never) << 200 << 100 << 0 << true;
        // A status line that came before the end does not make the rest a whole answer.
        QTest::newRow("time-out after the status line")
            << int(Mode::Stall) << 200 << 300 << 0 << true;
        QTest::newRow("connection lost after the status line")
            << int(Mode::CutOff) << 200 << kLong << 0 << false;
        QTest::newRow("4xx cut off") << int(Mode::CutOff) << 404 << kLong << 0 << false;
    }

    void completesOnce()
    {
        QFETCH(int, mode);
        QFETCH(int, status);
        QFETCH(int, timeoutMs);
        QFETCH(int, expectedStatus);
        QFETCH(bool, timedOut);

        const QByteArray body = R"({"id":"t1","type":"x"})";
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
        QCOMPARE(r.error.isEmpty(), expectedStatus != 0);
        if (expectedStatus != 0)
            QCOMPARE(r.body, body);
        const QStringList timeouts = log.matching(QStringLiteral("таймаут"));
        QCOMPARE(timeouts.size(), timedOut ? 1 : 0);
        if (timedOut)
            QVERIFY(timeouts.first().endsWith(
                QStringLiteral("[WARN] таймаут запроса, обрываем: /agent/v1/tasks")));
    }

    void abortAndDestructionCompleteEveryRequestInside_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("abortAll") << false;
        QTest::newRow("destruction") << true;
    }

    void abortAndDestructionCompleteEveryRequestInside()
    {
        QFETCH(bool, destroy);
        FakeParvisServer server;
        server.setAnswer("GET", "/slow", FakeAnswer::never());
        QSignalSpy arrived(&server, &FakeParvisServer::requestArrived);
        auto client = std::make_unique<HttpClient>(server.baseUrl());
        Results results;
        for (int i = 0; i < 3; ++i)
            client->get(QStringLiteral("/slow"), {}, kLong, results.collect());
        QTRY_COMPARE(arrived.size(), 3);
        QVERIFY(results.all.isEmpty());

        if (destroy)
            client.reset();
        else
            client->abortAll();
        QCOMPARE(results.all.size(), 3);
        for (const HttpResponse &r : std::as_const(results.all))
            QVERIFY(r.status == 0 && !r.error.isEmpty());
        if (client)
            client->abortAll();
        HttpClient other(server.baseUrl());
        drainEvents(server, other);
        QCOMPARE(results.all.size(), 3);
    }

    // The list holds its replies weakly: one deleted before the abort is passed over, and those
    // after it are still aborted, each finishing once before the call returns.
    void abortPassesOverADeletedReply()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/slow", FakeAnswer::never());
        QSignalSpy arrived(&server, &FakeParvisServer::requestArrived);
        QNetworkAccessManager network;
        const QNetworkRequest request(QUrl(server.baseUrl() + "/slow"));
        QNetworkReply *gone = network.get(request);
        QNetworkReply *running = network.get(request);
        QList<QPointer<QNetworkReply>> inFlight{gone, running};
        QTRY_COMPARE(arrived.size(), 2);
        delete gone;
        QSignalSpy finished(running, &QNetworkReply::finished);

        abortReplies(inFlight);
        QVERIFY(inFlight.isEmpty());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(running->error(), QNetworkReply::OperationCanceledError);
    }

    // The reply outlives its completion until the event loop deletes it; a late tick of its
    // timer must not abort it or log a time-out.
    void finishedRequestHasNoRunningTimer()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/fast", FakeAnswer::json(200, {}));
        HttpClient client(server.baseUrl());
        int activeTimers = -1;
        client.get(QStringLiteral("/fast"), {}, kLong, [&](const HttpResponse &) {
            const QList<QTimer *> timers = client.findChildren<QTimer *>();
            activeTimers = timers.isEmpty() ? -2 : 0;
            for (const QTimer *timer : timers)
                activeTimers += timer->isActive();
        });
        QTRY_VERIFY(activeTimers != -1);
        QCOMPARE(activeTimers, 0);
    }

    // The token and a body go only to the server they were meant for; a redirect within it is
    // followed as before.
    void redirectsStayWithTheServer_data()
    {
        QTest::addColumn<bool>("post");
        QTest::addColumn<bool>("elsewhere");
        QTest::newRow("302 of a GET to another server") << false << true;
        QTest::newRow("307 of a POST to another server") << true << true;
        QTest::newRow("307 of a POST on the same server") << true << false;
    }

    void redirectsStayWithTheServer()
    {
        QFETCH(bool, post);
        QFETCH(bool, elsewhere);
        FakeParvisServer server;
        FakeParvisServer other;
        const QByteArray method = post ? "POST" : "GET";
        FakeAnswer redirect = FakeAnswer::empty(post ? 307 : 302);
        redirect.headers = {
            {"Location", ((elsewhere ? other : server).baseUrl() + "/to").toUtf8()}};
        server.setAnswer(method, "/from", redirect);
        server.setAnswer(method, "/to", FakeAnswer::json(200, {}));
        HttpClient client(server.baseUrl());
        Results results;
        if (post)
            client.postJson("/from", "tok", {{"a", 1}}, kLong, results.collect());
        else
            client.get("/from", "tok", kLong, results.collect());
        QTRY_COMPARE(results.all.size(), 1);
        QCOMPARE(results.all[0].status, elsewhere ? 0 : 200);
        QCOMPARE(results.all[0].error.contains(other.baseUrl()), elsewhere);
        QVERIFY(other.requests().isEmpty());
        QCOMPARE(server.requestsTo("/to").value(0).body, elsewhere ? "" : R"({"a":1})");
    }

    // An answer that announces more than the cap is refused before its body is read.
    void oversizedAnswerIsRefused()
    {
        FakeParvisServer server;
        server.setAnswer("GET", "/big", FakeAnswer::flood(HttpClient::kMaxAnswerBytes + 1));
        HttpClient client(server.baseUrl());
        Results results;
        client.get(QStringLiteral("/big"), {}, kLong, results.collect());
        QTRY_COMPARE_WITH_TIMEOUT(results.all.size(), 1, 30000);
        QCOMPARE(results.all[0].status, 0);
        QCOMPARE(results.all[0].error,
                 QStringLiteral("Ответ сервера больше 256 МБ — агент его не принимает"));
        QVERIFY(server.floodedBytes() < HttpClient::kMaxAnswerBytes / 8);
    }

    // Paths are appended to the base address without any of its trailing slashes.
    void headers_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("post");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::newRow("get without token") << QString() << false << ""
                                           << "/x";
        QTest::newRow("post with token") << QStringLiteral("абв-123") << true << "/"
                                         << "/x";
        QTest::newRow("base with a segment") << QString() << false << "/api///"
                                             << "/api/x";
    }

    void headers()
    {
        QFETCH(QString, token);
        QFETCH(bool, post);
        QFETCH(QString, base);
        QFETCH(QString, path);

        FakeParvisServer server;
        server.setAnswer(post ? "POST" : "GET", path, FakeAnswer::json(201, {}));
        HttpClient client(server.baseUrl() + base);
        Results results;
        if (post)
            client.postJson(QStringLiteral("/x"), token,
                            {{"code", "12 34"}, {"device", QJsonObject{{"id", "d"}}}}, kLong,
                            results.collect());
        else
            client.get(QStringLiteral("/x"), token, kLong, results.collect());
        QTRY_COMPARE(results.all.size(), 1);
        QCOMPARE(results.all.first().status, 201);

        const Test::FakeRequest request = server.requests().first();
        QCOMPARE(request.path, path);
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QCOMPARE(request.hasHeader("Authorization"), !token.isEmpty());
        if (!token.isEmpty())
            QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(request.header("Content-Type"), post ? QByteArray("application/json") : "");
        QCOMPARE(request.body, post ? QByteArray(R"({"code":"12 34","device":{"id":"d"}})") : "");
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
