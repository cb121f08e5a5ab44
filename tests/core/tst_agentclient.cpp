#include "core/agentclient.h"
#include "core/httpclient.h"
#include "tests/support/fakeparvisserver.h"

#include <QTest>
#include <QTimeZone>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;
using Orv::Test::FakeParvisTransport;

namespace {

// What one call's completion delivered, whichever call it was: every completion has the
// success flag first and the error text last.
struct Outcome
{
    int completions = 0;
    bool ok = false;
    QString error;

    template<typename... Rest> void operator()(bool success, const Rest &...rest)
    {
        ++completions;
        ok = success;
        (take(rest), ...);
    }
    void take(const QString &text) { error = text; }
    template<typename T> void take(const T &) {}
};

AgentConfig config()
{
    AgentConfig c;
    c.deviceId = QStringLiteral("dev-1");
    c.deviceName = QStringLiteral("БУХГАЛТЕРИЯ-ПК");
    c.os = QStringLiteral("Windows 11");
    c.version = QStringLiteral("0.12.2");
    c.longPollSeconds = 5;
    return c;
}

void issue(AgentClient &client, const QString &call, Outcome *out)
{
    const QString token = QStringLiteral("agent-token");
    const QString inn = QStringLiteral("7700000001");
    const auto done = [out](bool ok, const auto &...rest) {
        (*out)(ok, rest...);
    };
    if (call == u"pair")
        client.pair(QStringLiteral("123-456"), {}, {}, done);
    else if (call == u"enrollChallenge")
        client.enrollChallenge(token, inn, QStringLiteral("ab12"), done);
    else if (call == u"enroll")
        client.enroll(token, QStringLiteral("ch-1"), QStringLiteral("U0lH"), {}, {}, done);
    else if (call == u"fetchTask")
        client.fetchTask(token, done);
    else if (call == u"heartbeat")
        client.heartbeat(token, {}, {}, done);
    else if (call == u"requestSignupLink")
        client.requestSignupLink(token, inn, done);
    else
        client.sendResult(token, QStringLiteral("t-1"), TaskOutcome::failure(QStringLiteral("нет")),
                          done);
}

} // namespace

class TestAgentClient : public QObject
{
    Q_OBJECT

private slots:
    void requestsOnTheWire()
    {
        FakeParvisTransport http;
        AgentClient client(&http, config());
        Outcome out;
        QStringList sent;
        for (const char *call : {"pair", "enrollChallenge", "enroll", "fetchTask", "heartbeat",
                                 "requestSignupLink", "sendResult"}) {
            issue(client, QString::fromLatin1(call), &out);
            const FakeParvisTransport::Call c = http.calls().last();
            sent.append(QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(QString::fromLatin1(c.method), c.path, c.token)
                            .arg(c.timeoutMs)
                            .arg(c.body.keys().join(u',')));
            if (c.body.contains(u"device"))
                QCOMPARE(c.body.value(u"device").toObject(),
                         (QJsonObject{{"id", "dev-1"},
                                      {"name", "БУХГАЛТЕРИЯ-ПК"},
                                      {"os", "Windows 11"},
                                      {"version", "0.12.2"}}));
        }
        // Pairing is the one call made before the agent holds a token; the poll's wait and
        // time-out follow the configured long poll.
        QCOMPARE(sent,
                 (QStringList{
                     "POST /agent/v1/pair  30000 capabilities,certificates,code,device",
                     "POST /agent/v1/enroll/challenge agent-token 30000 device,inn,thumbprint",
                     "POST /agent/v1/enroll agent-token 30000 "
                     "capabilities,certificates,challengeId,device,signature",
                     "GET /agent/v1/tasks?wait=5 agent-token 15000 ",
                     "POST /agent/v1/heartbeat agent-token 30000 capabilities,certificates,version",
                     "POST /agent/v1/orgs/7700000001/signup-link agent-token 30000 ",
                     "POST /agent/v1/tasks/t-1/result agent-token 30000 error,ok"}));
        QCOMPARE(out.completions, 0);
    }

    void answers_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("error");

        QTest::newRow("pair 201") << "pair" << 201 << QByteArray(R"({"token":"tok"})") << true
                                  << "";
        QTest::newRow("pair without token") << "pair" << 200 << QByteArray(R"({"agentId":"a1"})")
                                            << false << "Сервер не вернул токен агента";
        QTest::newRow("pair 500 with html")
            << "pair" << 500 << QByteArray("<h1>x</h1>") << false << "Сервер ответил кодом 500";
        QTest::newRow("pair no answer")
            << "pair" << 0 << QByteArray() << false << "Нет связи с сервером: Connection refused";
        QTest::newRow("challenge") << "enrollChallenge" << 200
                                   << QByteArray(R"({"challengeId":"c","data":"d"})") << true << "";
        QTest::newRow("challenge without data")
            << "enrollChallenge" << 200 << QByteArray(R"({"challengeId":"c"})") << false
            << "Сервер не вернул заявку на подключение";
        // Whether a token already held will do is the core's to judge.
        QTest::newRow("enroll without token") << "enroll" << 200 << QByteArray("{}") << true << "";
        QTest::newRow("poll 204") << "fetchTask" << 204 << QByteArray() << true << "";
        QTest::newRow("poll 201 with a task")
            << "fetchTask" << 201 << QByteArray(R"({"id":"t","type":"chz.auth"})") << false
            << "Сервер ответил кодом 201";
        QTest::newRow("poll not json") << "fetchTask" << 200 << QByteArray("[1]") << false
                                       << "Сервер прислал задачу в неожиданном формате";
        QTest::newRow("poll numeric id")
            << "fetchTask" << 200 << QByteArray(R"({"id":5,"type":"chz.auth"})") << false
            << "В задаче нет идентификатора или типа";
        QTest::newRow("heartbeat not json") << "heartbeat" << 200 << QByteArray("ok") << true << "";
        QTest::newRow("heartbeat 401")
            << "heartbeat" << 401 << QByteArray(R"({"error":"Токен отозван"})") << false
            << "Токен отозван";
        QTest::newRow("heartbeat 401, long text")
            << "heartbeat" << 401 << "{\"error\":\"" + QByteArray(600, 'x') + "\"}" << false
            << QString(499, u'x') + u'…';
        QTest::newRow("signup link") << "requestSignupLink" << 201
                                     << QByteArray("{\"signupUrl\":\"https://x/s\"}") << true << "";
        QTest::newRow("signup link missing") << "requestSignupLink" << 200 << QByteArray("{}")
                                             << false << "Сервер не вернул ссылку в кабинет";
        QTest::newRow("result 200") << "sendResult" << 200 << QByteArray("garbage") << true << "";
        QTest::newRow("result 409") << "sendResult" << 409 << QByteArray(R"({"error":""})") << false
                                    << "Сервер ответил кодом 409";
    }

    void answers()
    {
        QFETCH(QString, call);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QFETCH(QString, error);

        FakeParvisTransport http;
        AgentClient client(&http, config());
        Outcome out;
        issue(client, call, &out);
        http.answerLast(status, body, status == 0 ? QStringLiteral("Connection refused") : "");
        QCOMPARE(out.completions, 1);
        QCOMPARE(out.ok, ok);
        QCOMPARE(out.error, error);
    }

    void answersAreRead()
    {
        const AgentClient::PairResult pair = AgentClient::parsePairResult(
            R"({"agentId":"a1","token":"tok","organization":{"inn":"7700000001","name":"Ромашка"},
                "status":"PENDING","outcome":"REGISTERED","signupUrl":"cabinet"})");
        QCOMPARE((QStringList{pair.agentId, pair.token, pair.orgInn, pair.orgName, pair.status,
                              pair.outcome, pair.signupUrl}),
                 (QStringList{"a1", "tok", "7700000001", "Ромашка", "PENDING", "REGISTERED",
                              "cabinet"}));

        const QList<OrganizationLink> list = AgentClient::parseOrganizations(R"({"organizations":[
            {"inn":"2","name":"Б","status":"ACTIVE","signupPending":true},
            {"name":"без ИНН"},
            {"inn":"1","status":"PENDING","signupPending":"true"},
            "строка"]})");
        QCOMPARE(list.size(), 2);
        QCOMPARE((QStringList{list[0].inn, list[0].name, list[0].status, list[1].inn}),
                 (QStringList{"2", "Б", "ACTIVE", "1"}));
        QVERIFY(list[0].signupPending && !list[1].signupPending);
        const QByteArray longName =
            "{\"organizations\":[{\"inn\":\"1\",\"name\":\"" + QByteArray(600, 'x');
        QCOMPARE(AgentClient::parseOrganizations(longName + "\"}]}").value(0).name.size(), 500);
    }

    void taskIsReadLeniently()
    {
        TaskDescriptor task;
        QString error;
        const QByteArray json =
            R"({"id":"t1","type":"chz.document","orgInn":"7700000001","orgName":"Ромашка",
                "payload":{"a":1},"payloadHash":"AB","expiresAt":"2025-01-01T10:00:00Z"})";
        QVERIFY(AgentClient::parseTask(json, &task, &error));
        QCOMPARE(task.json, json); // the payload's hash is made from the server's bytes
        QCOMPARE((QStringList{task.id, task.type, task.orgInn, task.orgName, task.payloadHash}),
                 (QStringList{"t1", "chz.document", "7700000001", "Ромашка", "AB"}));
        QCOMPARE(task.payload, (QJsonObject{{"a", 1}}));
        QCOMPARE(task.expiresAt, QDateTime(QDate(2025, 1, 1), QTime(10, 0), QTimeZone::utc()));

        QVERIFY(AgentClient::parseTask(
            R"({"id":"t2","type":"x","payload":[1],"expiresAt":"скоро"})", &task, &error));
        QVERIFY(task.payload.isEmpty());
        QVERIFY(!task.expiresAt.isValid());
        // The journal stores the hash in a NOT NULL column: absent must read as empty, not null.
        QVERIFY(task.payloadHash.isEmpty() && !task.payloadHash.isNull());

        // A U+FEFF that opens a string is part of it, as anywhere else.
        QVERIFY(AgentClient::parseTask("{\"id\":\"\xEF\xBB\xBFt3\",\"type\":\"x\",\"payload\":"
                                       "{\"\xEF\xBB\xBF\":[\"\xEF\xBB\xBF\\\"\"]}}",
                                       &task, &error));
        const QString bom(QChar(0xFEFF));
        QCOMPARE(task.id, bom + QStringLiteral("t3"));
        QCOMPARE(task.payload, (QJsonObject{{bom, QJsonArray{bom + u'"'}}}));
    }

    // "." and ".." would be folded away as dot segments, sending the request elsewhere.
    void dotSegmentsAreRefused()
    {
        TaskDescriptor task;
        QString error;
        QVERIFY(!AgentClient::parseTask(R"({"id":"..","type":"x"})", &task, &error));
        QCOMPARE(error,
                 QStringLiteral("Значение «..» от сервера нельзя подставить в адрес запроса"));
        FakeParvisTransport http;
        AgentClient client(&http, config());
        Outcome out;
        client.sendResult({}, QStringLiteral(".."), TaskOutcome::failure({}), std::ref(out));
        client.requestSignupLink({}, QStringLiteral("."), std::ref(out));
        QVERIFY(http.calls().isEmpty());
        QVERIFY(out.completions == 2 && !out.ok);
    }

    // The details of the heartbeat's lists; which entries they hold is the core's business.
    void listEntries()
    {
        CertificateInfo cert;
        cert.thumbprint = QStringLiteral("ab12");
        cert.validFrom = QDateTime(QDate(2025, 3, 1), QTime(12, 0, 0, 500), QTimeZone(3 * 3600));
        QCOMPARE(AgentClient::certificatesToJson({cert}),
                 (QJsonArray{QJsonObject{{"thumbprint", "ab12"},
                                         {"subject", ""},
                                         {"inn", QJsonValue::Null},
                                         {"validFrom", "2025-03-01T09:00:00Z"},
                                         {"validTo", ""}}}));
        const QJsonObject utm{{"type", "чужой"}, {"endpoint", "http://u:8080"}};
        QCOMPARE(AgentClient::capabilitiesToJson({{QStringLiteral("utm"), utm}}),
                 (QJsonArray{QJsonObject{{"type", "utm"}, {"endpoint", "http://u:8080"}}}));
    }

    void successCarriesItsData()
    {
        FakeParvisTransport http;
        AgentClient(&http, config())
            .sendResult({}, QStringLiteral("t"),
                        TaskOutcome::success({{"signature", "U0lH"}}, QStringLiteral("h")), {});
        QCOMPARE(http.calls()[0].body,
                 (QJsonObject{{"ok", true}, {"data", QJsonObject{{"signature", "U0lH"}}}}));
    }

    // Ids and INNs come from the server and must stay inside their own path segment; ordinary
    // ones go unchanged (see requestOnTheWire).
    void serverValuesStayInTheirSegment_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("segment");
        QTest::newRow("slash, query, fragment") << "a/b?c#d"
                                                << "a%2Fb%3Fc%23d";
        QTest::newRow("space and percent") << "a b%2F"
                                           << "a%20b%252F";
    }

    void serverValuesStayInTheirSegment()
    {
        QFETCH(QString, value);
        QFETCH(QString, segment);
        FakeParvisServer server;
        const QString resultPath = QStringLiteral("/agent/v1/tasks/%1/result").arg(segment);
        const QString linkPath = QStringLiteral("/agent/v1/orgs/%1/signup-link").arg(segment);
        server.setAnswer("POST", resultPath, FakeAnswer::json(200, {}));
        server.setAnswer("POST", linkPath, FakeAnswer::json(200, {{"signupUrl", "https://c"}}));
        HttpClient http(server.baseUrl());
        AgentClient client(&http, config());
        int accepted = 0;
        client.sendResult(QStringLiteral("tok"), value, TaskOutcome::failure(QStringLiteral("x")),
                          [&](bool ok, const QString &) { accepted += ok; });
        client.requestSignupLink(
            QStringLiteral("tok"), value,
            [&](bool ok, const QString &, const QString &) { accepted += ok; });
        QTRY_COMPARE(accepted, 2);
    }
};

QTEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
