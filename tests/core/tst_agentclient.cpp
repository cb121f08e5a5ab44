#include "core/agentclient.h"
#include "core/httpclient.h"
#include "tests/support/fakeparvisserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;
using Orv::Test::FakeParvisTransport;

namespace {

// Whatever one call's completion delivered, whichever call it was.
struct Outcome
{
    int completions = 0;
    bool ok = false;
    QString error;
    bool hasTask = false;
    TaskDescriptor task;
    AgentClient::PairResult pair;
    AgentClient::ChallengeResult challenge;
    QList<OrganizationLink> organizations;
    QString url;
};

AgentConfig config()
{
    AgentConfig c;
    c.deviceId = QStringLiteral("dev-1");
    c.deviceName = QStringLiteral("БУХГАЛТЕРИЯ-ПК");
    c.os = QStringLiteral("Windows 11");
    c.version = QStringLiteral("0.12.2");
    return c;
}

void issue(AgentClient &client, const QString &call, Outcome *out)
{
    const auto pairDone = [out](bool ok, const AgentClient::PairResult &r, const QString &e) {
        ++out->completions, out->ok = ok, out->pair = r, out->error = e;
    };
    const QString token = QStringLiteral("agent-token");
    if (call == u"pair") {
        client.pair(QStringLiteral("123-456"), {}, {}, pairDone);
    } else if (call == u"enrollChallenge") {
        client.enrollChallenge(
            token, QStringLiteral("7700000001"), QStringLiteral("ab12"),
            [out](bool ok, const AgentClient::ChallengeResult &r, const QString &e) {
                ++out->completions, out->ok = ok, out->challenge = r, out->error = e;
            });
    } else if (call == u"enroll") {
        client.enroll(token, QStringLiteral("ch-1"), QStringLiteral("U0lH"), {}, {}, pairDone);
    } else if (call == u"fetchTask") {
        client.fetchTask(token, [out](bool ok, bool hasTask, const TaskDescriptor &t,
                                      const QString &e) {
            ++out->completions, out->ok = ok, out->hasTask = hasTask, out->task = t, out->error = e;
        });
    } else if (call == u"heartbeat") {
        client.heartbeat(
            token, {}, {}, [out](bool ok, const QList<OrganizationLink> &o, const QString &e) {
                ++out->completions, out->ok = ok, out->organizations = o, out->error = e;
            });
    } else if (call == u"requestSignupLink") {
        client.requestSignupLink(token, QStringLiteral("7700000001"),
                                 [out](bool ok, const QString &url, const QString &e) {
                                     ++out->completions, out->ok = ok, out->url = url,
                                                         out->error = e;
                                 });
    } else if (call == u"sendResult") {
        client.sendResult(
            token, QStringLiteral("t-1"), TaskOutcome::failure(QStringLiteral("нет")),
            [out](bool ok, const QString &e) { ++out->completions, out->ok = ok, out->error = e; });
    } else {
        QFAIL("unknown call");
    }
}

QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

} // namespace

class TestAgentClient : public QObject
{
    Q_OBJECT

private slots:
    void requestOnTheWire_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QStringList>("bodyKeys");

        QTest::newRow("pair") << "pair" << QByteArray("POST") << "/agent/v1/pair" << false << 30000
                              << QStringList{"capabilities", "certificates", "code", "device"};
        QTest::newRow("challenge")
            << "enrollChallenge" << QByteArray("POST") << "/agent/v1/enroll/challenge" << true
            << 30000 << QStringList{"device", "inn", "thumbprint"};
        QTest::newRow("enroll") << "enroll" << QByteArray("POST") << "/agent/v1/enroll" << true
                                << 30000
                                << QStringList{"capabilities", "certificates", "challengeId",
                                               "device", "signature"};
        QTest::newRow("poll") << "fetchTask" << QByteArray("GET") << "/agent/v1/tasks?wait=30"
                              << true << 40000 << QStringList{};
        QTest::newRow("heartbeat")
            << "heartbeat" << QByteArray("POST") << "/agent/v1/heartbeat" << true << 30000
            << QStringList{"capabilities", "certificates", "version"};
        QTest::newRow("signup link")
            << "requestSignupLink" << QByteArray("POST") << "/agent/v1/orgs/7700000001/signup-link"
            << true << 30000 << QStringList{};
        QTest::newRow("result") << "sendResult" << QByteArray("POST")
                                << "/agent/v1/tasks/t-1/result" << true << 30000
                                << QStringList{"error", "ok"};
    }

    void requestOnTheWire()
    {
        QFETCH(QString, call);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(bool, withToken);
        QFETCH(int, timeoutMs);
        QFETCH(QStringList, bodyKeys);

        FakeParvisTransport http;
        AgentClient client(&http, config());
        Outcome out;
        issue(client, call, &out);
        QCOMPARE(http.calls().size(), 1);
        const FakeParvisTransport::Call sent = http.calls().first();
        QCOMPARE(sent.method, method);
        QCOMPARE(sent.path, path);
        QCOMPARE(sent.token, withToken ? QStringLiteral("agent-token") : QString());
        QCOMPARE(sent.timeoutMs, timeoutMs);
        QCOMPARE(sortedKeys(sent.body), bodyKeys);
        if (sent.body.contains(u"device")) {
            const QJsonObject device{{"id", "dev-1"},
                                     {"name", "БУХГАЛТЕРИЯ-ПК"},
                                     {"os", "Windows 11"},
                                     {"version", "0.12.2"}};
            QCOMPARE(sent.body.value(u"device").toObject(), device);
        }
        QCOMPARE(out.completions, 0);
    }

    void pollWaitFollowsConfiguration()
    {
        FakeParvisTransport http;
        AgentConfig c = config();
        c.longPollSeconds = 5;
        AgentClient client(&http, c);
        Outcome out;
        issue(client, QStringLiteral("fetchTask"), &out);
        QCOMPARE(http.calls().first().path, QStringLiteral("/agent/v1/tasks?wait=5"));
        QCOMPARE(http.calls().first().timeoutMs, 15000);
    }

    void answers_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("error");

        const QByteArray pairBody =
            R"({"agentId":"a1","token":"tok","organization":{"inn":"7700000001","name":"Ромашка"}})";
        QTest::newRow("pair 201") << "pair" << 201 << pairBody << true << "";
        QTest::newRow("pair without token") << "pair" << 200 << QByteArray(R"({"agentId":"a1"})")
                                            << false << "Сервер не вернул токен агента";
        QTest::newRow("pair 500 with error text")
            << "pair" << 500 << QByteArray(R"({"error":"x"})") << false << "x";
        QTest::newRow("pair 500 with html")
            << "pair" << 500 << QByteArray("<h1>x</h1>") << false << "Сервер ответил кодом 500";
        QTest::newRow("pair no answer")
            << "pair" << 0 << QByteArray() << false << "Нет связи с сервером: Connection refused";
        QTest::newRow("challenge") << "enrollChallenge" << 200
                                   << QByteArray(R"({"challengeId":"c","data":"d"})") << true << "";
        QTest::newRow("challenge without data")
            << "enrollChallenge" << 200 << QByteArray(R"({"challengeId":"c"})") << false
            << "Сервер не вернул заявку на подключение";
        QTest::newRow("enroll without token") << "enroll" << 200 << QByteArray("{}") << true << "";
        QTest::newRow("enroll 403")
            << "enroll" << 403 << QByteArray() << false << "Сервер ответил кодом 403";
        QTest::newRow("poll 204") << "fetchTask" << 204 << QByteArray() << true << "";
        QTest::newRow("poll 201 with a task")
            << "fetchTask" << 201 << QByteArray(R"({"id":"t","type":"chz.auth"})") << false
            << "Сервер ответил кодом 201";
        QTest::newRow("poll not json") << "fetchTask" << 200 << QByteArray("[1]") << false
                                       << "Сервер прислал задачу в неожиданном формате";
        QTest::newRow("poll numeric id")
            << "fetchTask" << 200 << QByteArray(R"({"id":5,"type":"chz.auth"})") << false
            << "В задаче нет идентификатора или типа";
        QTest::newRow("poll 503") << "fetchTask" << 503 << QByteArray() << false
                                  << "Сервер ответил кодом 503";
        QTest::newRow("heartbeat not json") << "heartbeat" << 200 << QByteArray("ok") << true << "";
        QTest::newRow("heartbeat 401")
            << "heartbeat" << 401 << QByteArray(R"({"error":"Токен отозван"})") << false
            << "Токен отозван";
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
        http.answerLast(status, body,
                        status == 0 ? QStringLiteral("Connection refused") : QString());
        QCOMPARE(out.completions, 1);
        QCOMPARE(out.ok, ok);
        QCOMPARE(out.error, error);
        if (!ok) { // a failure carries empty records
            QVERIFY(out.pair.token.isEmpty() && out.pair.agentId.isEmpty());
            QVERIFY(out.challenge.challengeId.isEmpty());
            QVERIFY(!out.hasTask && out.task.id.isEmpty() && out.url.isEmpty());
        }
    }

    void pairResultIsRead()
    {
        const QJsonObject answer{
            {"agentId", "a1"},
            {"token", "tok"},
            {"organization", QJsonObject{{"inn", "7700000001"}, {"name", "Ромашка"}}},
            {"status", "PENDING"},
            {"outcome", "REGISTERED"},
            {"signupUrl", "https://c/s"}};
        const AgentClient::PairResult r =
            AgentClient::parsePairResult(QJsonDocument(answer).toJson());
        QCOMPARE(r.agentId, QStringLiteral("a1"));
        QCOMPARE(r.token, QStringLiteral("tok"));
        QCOMPARE(r.orgInn, QStringLiteral("7700000001"));
        QCOMPARE(r.orgName, QStringLiteral("Ромашка"));
        QCOMPARE(r.status, QStringLiteral("PENDING"));
        QCOMPARE(r.outcome, QStringLiteral("REGISTERED"));
        QCOMPARE(r.signupUrl, QStringLiteral("https://c/s"));
        QVERIFY(AgentClient::parsePairResult("not json").token.isEmpty());
    }

    void taskIsReadLeniently()
    {
        TaskDescriptor task;
        QString error;
        QVERIFY(AgentClient::parseTask(
            R"({"id":"t1","type":"chz.document","orgInn":"7700000001","orgName":"Ромашка",
                "payload":{"a":1},"payloadHash":"AB","expiresAt":"2025-01-01T10:00:00Z"})",
            &task, &error));
        QCOMPARE(task.id, QStringLiteral("t1"));
        QCOMPARE(task.type, QStringLiteral("chz.document"));
        QCOMPARE(task.orgInn, QStringLiteral("7700000001"));
        QCOMPARE(task.orgName, QStringLiteral("Ромашка"));
        QCOMPARE(task.payload, (QJsonObject{{"a", 1}}));
        QCOMPARE(task.payloadHash, QStringLiteral("AB"));
        QCOMPARE(task.expiresAt, QDateTime(QDate(2025, 1, 1), QTime(10, 0), QTimeZone::utc()));

        QVERIFY(AgentClient::parseTask(
            R"({"id":"t2","type":"x","payload":[1],"expiresAt":"скоро"})", &task, &error));
        QVERIFY(task.payload.isEmpty());
        QVERIFY(!task.expiresAt.isValid());
        // The journal stores the hash in a NOT NULL column: absent must read as empty, not null.
        QVERIFY(task.payloadHash.isEmpty());
        QVERIFY(!task.payloadHash.isNull());
    }

    void organizationsAreFiltered()
    {
        const QList<OrganizationLink> list = AgentClient::parseOrganizations(R"({"organizations":[
            {"inn":"2","name":"Б","status":"ACTIVE","signupPending":true},
            {"name":"без ИНН"},
            {"inn":"1","status":"PENDING","signupPending":"true"},
            "строка"]})");
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].inn, QStringLiteral("2"));
        QCOMPARE(list[0].name, QStringLiteral("Б"));
        QCOMPARE(list[0].status, QStringLiteral("ACTIVE"));
        QVERIFY(list[0].signupPending);
        QCOMPARE(list[1].inn, QStringLiteral("1"));
        QVERIFY(!list[1].signupPending);
        QVERIFY(AgentClient::parseOrganizations(R"({"organizations":{}})").isEmpty());
    }

    void certificatesGoOutInUtc()
    {
        CertificateInfo withInn;
        withInn.thumbprint = QStringLiteral("ab12");
        withInn.subject = QStringLiteral("CN=Ромашка");
        withInn.inn = QStringLiteral("7700000001");
        withInn.validFrom = QDateTime(QDate(2025, 3, 1), QTime(12, 0), QTimeZone(3 * 3600));
        withInn.validTo = QDateTime(QDate(2026, 3, 1), QTime(0, 0, 0, 500), QTimeZone::utc());
        CertificateInfo bare;
        bare.thumbprint = QStringLiteral("cd34");

        const QJsonArray json = AgentClient::certificatesToJson({withInn, bare});
        QCOMPARE(json.size(), 2);
        QCOMPARE(json[0].toObject(), (QJsonObject{{"thumbprint", "ab12"},
                                                  {"subject", "CN=Ромашка"},
                                                  {"inn", "7700000001"},
                                                  {"validFrom", "2025-03-01T09:00:00Z"},
                                                  {"validTo", "2026-03-01T00:00:00Z"}}));
        QVERIFY(json[1].toObject().value(u"inn").isNull());
        QCOMPARE(json[1].toObject().value(u"validFrom"), QJsonValue(QString()));
    }

    void capabilityTypeWinsOverDetails()
    {
        const QJsonArray json = AgentClient::capabilitiesToJson(
            {{QStringLiteral("sign"), {{"thumbprints", QJsonArray{"a", "a"}}}},
             {QStringLiteral("utm"), {{"type", "чужой"}, {"endpoint", "http://u:8080"}}}});
        QCOMPARE(json.size(), 2);
        QCOMPARE(json[0].toObject(),
                 (QJsonObject{{"type", "sign"}, {"thumbprints", QJsonArray{"a", "a"}}}));
        QCOMPARE(json[1].toObject(), (QJsonObject{{"type", "utm"}, {"endpoint", "http://u:8080"}}));
    }

    void resultBodyHasExactlyItsMembers()
    {
        FakeParvisTransport http;
        AgentClient client(&http, config());
        client.sendResult({}, QStringLiteral("t"), TaskOutcome::failure(QStringLiteral("нельзя")),
                          [](bool, const QString &) {});
        client.sendResult({}, QStringLiteral("t"),
                          TaskOutcome::success({{"signature", "U0lH"}}, QStringLiteral("h")),
                          [](bool, const QString &) {});
        QCOMPARE(http.calls()[0].body, (QJsonObject{{"ok", false}, {"error", "нельзя"}}));
        QCOMPARE(http.calls()[1].body,
                 (QJsonObject{{"ok", true}, {"data", QJsonObject{{"signature", "U0lH"}}}}));
    }

    // Ids and INNs come from the server and must stay inside their own path segment.
    void serverValuesStayInTheirSegment_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("segment");
        QTest::newRow("ordinary id") << "7f3c9a10-0b4e-4d6e-9a0c-3b1f2c4d5e6f"
                                     << "7f3c9a10-0b4e-4d6e-9a0c-3b1f2c4d5e6f";
        QTest::newRow("inn") << "7700000001"
                             << "7700000001";
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
        QTRY_COMPARE(server.requests().size(), 2);
        QTRY_COMPARE(accepted, 2);
        QCOMPARE(server.requestsTo(resultPath).size(), 1);
        QCOMPARE(server.requestsTo(linkPath).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
