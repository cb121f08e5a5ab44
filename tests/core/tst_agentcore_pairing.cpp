#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "core/util.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/fakesigner.h"
#include "tests/support/logcapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;
using Orv::Test::FakeRequest;

Q_DECLARE_METATYPE(Orv::Test::FakeAnswer)

namespace {

const QString kPair = QStringLiteral("/agent/v1/pair");
const QString kChallenge = QStringLiteral("/agent/v1/enroll/challenge");
const QString kEnroll = QStringLiteral("/agent/v1/enroll");
const QString kHeartbeat = QStringLiteral("/agent/v1/heartbeat");
const QString kPoll = QStringLiteral("/agent/v1/tasks");
const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34ef");
const QString kOldToken = QStringLiteral("old-token-aaaaaaaaaaaa");
const QString kNewToken = QStringLiteral("new-token-bbbbbbbbbbbb");
const QString kChallengeText = QStringLiteral("Заявка №7: подключить устройство");

QJsonObject linkAnswer(const QString &token, const QString &status = QStringLiteral("ACTIVE"),
                       const QString &outcome = QString(), const QString &signupUrl = QString())
{
    QJsonObject answer{{"agentId", "agent-42"},
                       {"organization", QJsonObject{{"inn", kInn}, {"name", "ООО Ромашка"}}},
                       {"status", status}};
    if (!token.isEmpty())
        answer.insert("token", token);
    if (!outcome.isEmpty())
        answer.insert("outcome", outcome);
    if (!signupUrl.isEmpty())
        answer.insert("signupUrl", signupUrl);
    return answer;
}

// The paths of the requests in the order they were made, without the query.
template<typename Request> QStringList paths(const QList<Request> &requests)
{
    QStringList result;
    for (const Request &request : requests)
        result.append(request.path.section(u'?', 0, 0));
    return result;
}

// How many log lines are exactly `line` ("[LEVEL] text") after their time.
qsizetype logged(const Test::LogCapture &log, const QString &line)
{
    const QStringList lines = log.lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const QString &captured) { return captured.endsWith(line); });
}

} // namespace

class TestAgentCorePairing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_server = std::make_unique<FakeParvisServer>();
        // The loop's own requests: an empty heartbeat, and polls that wait for ever.
        m_server->setAnswer("POST", kHeartbeat, FakeAnswer::json(200, {}));
        m_server->setAnswer("GET", kPoll, FakeAnswer::never());
        m_http = std::make_unique<HttpClient>(m_server->baseUrl());
        CertificateInfo certificate;
        certificate.thumbprint = kThumbprint;
        certificate.inn = kInn;
        certificate.validTo = QDateTime::currentDateTimeUtc().addYears(1);
        m_signer = std::make_unique<Test::FakeSigner>();
        m_signer->setCertificates({certificate});
        m_dir = std::make_unique<QTemporaryDir>();
        m_journal = std::make_unique<Journal>(m_dir->filePath(QStringLiteral("journal.db")));
        QVERIFY(m_journal->open());
        m_core = std::make_unique<AgentCore>(AgentConfig(), m_http.get(), m_signer.get(),
                                             m_journal.get());
    }

    // Torn down as its owner must: stop, end the requests, then delete.
    void cleanup()
    {
        m_core->stop();
        m_http->abortAll();
        m_core.reset();
        m_journal.reset();
        m_http.reset();
        m_server.reset();
    }

    // A token already held must not travel with the code, nor the new one reach the log.
    void pairSendsCodeAndStoreWithoutToken()
    {
        m_core->setToken(kOldToken);
        m_server->setAnswer("POST", kPair, FakeAnswer::json(200, linkAnswer(kNewToken)));
        Test::LogCapture log;
        QSignalSpy paired(m_core.get(), &AgentCore::paired);

        m_core->pair(QStringLiteral("123-456"));
        QVERIFY(paired.wait());

        const FakeRequest request = m_server->requestsTo(kPair).value(0);
        QVERIFY(!request.hasHeader("Authorization"));
        const QJsonObject body = request.json();
        QCOMPARE(body.value("code").toString(), "123-456");
        QCOMPARE(body.value("certificates").toArray().at(0).toObject().value("thumbprint"),
                 kThumbprint);
        QCOMPARE(body.value("capabilities").toArray().at(0).toObject().value("type"), "sign");
        QCOMPARE(logged(log, "[INFO] подключение агента по коду, сертификатов в хранилище: 1"), 1);
        QCOMPARE(logged(log, "[INFO] агент подключён к организации " + kInn + " токен " +
                                 maskSecret(kNewToken)),
                 1);
        QVERIFY(log.matching(kNewToken).isEmpty());
        QCOMPARE(paired.at(0), (QVariantList{"agent-42", kInn, "ООО Ромашка"}));
    }

    void pairFailureKeepsTokenAndStartsNothing()
    {
        m_server->setAnswer("POST", kPair, FakeAnswer::json(400, {{"error", "Код устарел"}}));
        m_core->setToken(kOldToken);
        Test::LogCapture log;
        QSignalSpy failed(m_core.get(), &AgentCore::pairFailed);
        m_core->pair(QStringLiteral("1"));
        QVERIFY(failed.wait());
        QCOMPARE(failed.at(0).at(0).toString(), "Код устарел");
        QCOMPARE(logged(log, "[WARN] подключение не удалось: Код устарел"), 1);
        QCOMPARE(m_core->token(), kOldToken);
        QCOMPARE(paths(m_server->requests()), QStringList{kPair});
    }

    // Over the in-process transport every request is seen the moment it is made. A success
    // starts the loop with the new token, heartbeat first; a running loop keeps its one poll,
    // and hears of a new organisation by a heartbeat at once.
    void successStartsTheLoopOnce_data()
    {
        QTest::addColumn<bool>("enrol");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QStringList>("sent");
        const QStringList loop{kHeartbeat, kPoll};
        const QStringList enrolment{kChallenge, kEnroll};
        QTest::newRow("pairing") << false << false << QStringList{kPair} + loop;
        QTest::newRow("enrolment") << true << false << enrolment + loop;
        QTest::newRow("pairing while running") << false << true << loop + QStringList{kPair};
        QTest::newRow("enrolment while running")
            << true << true << loop + enrolment + QStringList{kHeartbeat};
    }
    void successStartsTheLoopOnce()
    {
        QFETCH(bool, enrol);
        QFETCH(bool, running);
        QFETCH(QStringList, sent);
        Test::FakeParvisTransport http;
        AgentCore core(AgentConfig(), &http, m_signer.get(), nullptr);
        if (running) {
            core.setToken(kOldToken);
            core.start();
        }
        if (enrol) {
            core.enrollOrganization(kInn, kThumbprint);
            http.answerLast(
                200, QJsonDocument(QJsonObject{{"challengeId", "c"}, {"data", "d"}}).toJson());
        } else {
            core.pair(QStringLiteral("1"));
        }
        const qsizetype linked = http.calls().size();
        http.answerLast(201, QJsonDocument(linkAnswer(kNewToken)).toJson());
        const QList<Test::FakeParvisTransport::Call> calls = http.calls();
        QCOMPARE(paths(calls), sent);
        for (qsizetype i = linked; i < calls.size(); ++i)
            QCOMPARE(calls.at(i).token, kNewToken);
        core.stop();
        http.abortAll();
    }

    // Whatever the answer, the core holding a token signs the challenge as it asks, sends the
    // signature with that token and the store, and journals it before the server answers.
    void enrolment_data()
    {
        QTest::addColumn<bool>("detached");
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("tokenAfter");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<bool>("signup");
        QTest::newRow("new token, pending")
            << false << linkAnswer(kNewToken, "PENDING") << kNewToken << true << false;
        QTest::newRow("status in lower case is not pending")
            << true << linkAnswer(kNewToken, "pending") << kNewToken << false << false;
        QTest::newRow("no token keeps the held one")
            << false << linkAnswer({}) << kOldToken << false << false;
        QTest::newRow("registered with a sign-up address")
            << true << linkAnswer(kNewToken, "PENDING", "REGISTERED", "https://c.example/s")
            << kNewToken << true << true;
        QTest::newRow("registered without an address")
            << false << linkAnswer(kNewToken, "ACTIVE", "REGISTERED") << kNewToken << false
            << false;
    }
    void enrolment()
    {
        QFETCH(bool, detached);
        QFETCH(QJsonObject, answer);
        QFETCH(QString, tokenAfter);
        QFETCH(bool, pending);
        QFETCH(bool, signup);
        m_core->setToken(kOldToken);
        m_server->setAnswer(
            "POST", kChallenge,
            FakeAnswer::json(
                200, {{"challengeId", "ch-7"}, {"data", kChallengeText}, {"detached", detached}}));
        m_server->setAnswer("POST", kEnroll, FakeAnswer::json(200, answer));
        QList<JournalEntry> journaled; // as the enrolment reached the server
        connect(m_server.get(), &FakeParvisServer::requestArrived, this,
                [&](const FakeRequest &request) {
                    if (request.path == kEnroll)
                        journaled = m_journal->recent(10);
                });
        Test::LogCapture log;
        QSignalSpy enrolled(m_core.get(), &AgentCore::enrolled);
        QSignalSpy signupStarted(m_core.get(), &AgentCore::signupStarted);

        m_core->enrollOrganization(kInn, kThumbprint);
        QVERIFY(enrolled.wait());

        const QByteArray bearer = "Bearer " + kOldToken.toUtf8();
        const FakeRequest challenge = m_server->requestsTo(kChallenge).value(0);
        QCOMPARE(challenge.header("Authorization"), bearer);
        QCOMPARE(challenge.json().value("inn").toString(), kInn);
        QCOMPARE(challenge.json().value("thumbprint").toString(), kThumbprint);
        QCOMPARE(logged(log, "[INFO] подключение по сертификату к организации " + kInn), 1);

        QCOMPARE(m_signer->signCalls().size(), 1);
        const Test::FakeSigner::SignCall call = m_signer->signCalls().at(0);
        QCOMPARE(call.data, kChallengeText.toUtf8());
        QCOMPARE(call.thumbprint, kThumbprint);
        QCOMPARE(call.detached, detached);

        const FakeRequest enroll = m_server->requestsTo(kEnroll).value(0);
        QCOMPARE(enroll.header("Authorization"), bearer);
        const QJsonObject body = enroll.json();
        QCOMPARE(body.value("challengeId").toString(), "ch-7");
        QCOMPARE(body.value("signature").toString(),
                 QString::fromLatin1(Test::FakeSigner::kDefaultSignature));
        QCOMPARE(body.value("certificates").toArray().at(0).toObject().value("thumbprint"),
                 kThumbprint);
        QCOMPARE(body.value("capabilities").toArray().at(0).toObject().value("type"), "sign");

        QCOMPARE(journaled.size(), 1);
        const JournalEntry row = journaled.at(0);
        const QString hash = sha256Hex(kChallengeText.toUtf8());
        QCOMPARE((QStringList{row.type, row.taskId, row.orgInn, row.payloadHash, row.signedHash,
                              row.message}),
                 (QStringList{"enroll", "", kInn, hash, hash, ""}));
        QVERIFY(row.ok);
        QVERIFY(qAbs(row.at.secsTo(QDateTime::currentDateTimeUtc())) < 60);

        QCOMPARE(enrolled.at(0), (QVariantList{"agent-42", kInn, "ООО Ромашка", pending}));
        QCOMPARE(m_core->token(), tokenAfter);
        QCOMPARE(logged(log, "[INFO] устройство подключено к организации " + kInn +
                                 (pending ? " и ждёт подтверждения" : "")),
                 1);
        QCOMPARE(logged(log, "[INFO] организация зарегистрирована подписью " + kInn),
                 signup ? 1 : 0);
        QCOMPARE(signupStarted.size(), signup ? 1 : 0);
        if (signup)
            QCOMPARE(signupStarted.at(0),
                     (QVariantList{kInn, "ООО Ромашка", "https://c.example/s"}));
    }

    // A signature once made is journaled whatever follows; WARN lines only where the core
    // itself has something to add.
    void enrolmentFailures_data()
    {
        QTest::addColumn<QString>("thumbprint");
        QTest::addColumn<QString>("signerError"); // null: the signer signs
        QTest::addColumn<FakeAnswer>("challenge");
        QTest::addColumn<FakeAnswer>("enroll");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logLine"); // empty: nothing logged at WARN
        QTest::addColumn<QStringList>("sent");

        const FakeAnswer good = FakeAnswer::json(200, {{"challengeId", "c"}, {"data", "x"}});
        const FakeAnswer accepted = FakeAnswer::json(200, linkAnswer(kNewToken));
        const QString unknown =
            "Сертификат с отпечатком ffff не найден в хранилище этого компьютера";
        QTest::newRow("certificate refused")
            << "ffff" << QString() << good << accepted << unknown
            << "подключение по сертификату невозможно: " + unknown << QStringList();
        QTest::newRow("challenge without data")
            << kThumbprint << QString() << FakeAnswer::json(200, {{"challengeId", "c"}}) << accepted
            << "Сервер не вернул заявку на подключение" << QString() << QStringList{kChallenge};
        QTest::newRow("signature failed")
            << kThumbprint << "Носитель не вставлен" << good << accepted << "Носитель не вставлен"
            << "подпись для подключения не удалась: Носитель не вставлен"
            << QStringList{kChallenge};
        QTest::newRow("enrolment refused")
            << kThumbprint << QString() << good
            << FakeAnswer::json(403, {{"error", "Подпись не подошла"}}) << "Подпись не подошла"
            << "подключение по сертификату не удалось: Подпись не подошла"
            << QStringList{kChallenge, kEnroll};
        QTest::newRow("no token anywhere")
            << kThumbprint << QString() << good << FakeAnswer::json(200, linkAnswer({}))
            << "Сервер не вернул токен агента, а сохранённого токена нет" << QString()
            << QStringList{kChallenge, kEnroll};
    }
    void enrolmentFailures()
    {
        QFETCH(QString, thumbprint);
        QFETCH(QString, signerError);
        QFETCH(FakeAnswer, challenge);
        QFETCH(FakeAnswer, enroll);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        QFETCH(QStringList, sent);
        if (!signerError.isNull())
            m_signer->setFailure(signerError);
        m_server->setAnswer("POST", kChallenge, challenge);
        m_server->setAnswer("POST", kEnroll, enroll);
        Test::LogCapture log;
        QSignalSpy failed(m_core.get(), &AgentCore::enrollFailed);

        m_core->enrollOrganization(kInn, thumbprint);
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), message);
        QCOMPARE(log.matching("[WARN]").size(), logLine.isEmpty() ? 0 : 1);
        if (!logLine.isEmpty())
            QCOMPARE(logged(log, "[WARN] " + logLine), 1);
        QCOMPARE(paths(m_server->requests()), sent);
        QCOMPARE(m_journal->recent(10).size(), sent.contains(kEnroll) ? 1 : 0);
    }

    void signupLink_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QString>("url"); // empty: failure
        QTest::addColumn<QString>("error");
        QTest::newRow("not paired")
            << QString() << FakeAnswer::json(200, {{"signupUrl", "x"}}) << ""
            << "Агент ещё не подключён";
        QTest::newRow("address") << kOldToken
                                 << FakeAnswer::json(201, {{"signupUrl", "https://c.example/x"}})
                                 << "https://c.example/x"
                                 << "";
        QTest::newRow("refused") << kOldToken
                                 << FakeAnswer::json(404, {{"error", "Нет такой организации"}})
                                 << ""
                                 << "Нет такой организации";
    }
    void signupLink()
    {
        QFETCH(QString, token);
        QFETCH(FakeAnswer, answer);
        QFETCH(QString, url);
        QFETCH(QString, error);
        const QString path = "/agent/v1/orgs/" + kInn + "/signup-link";
        m_server->setAnswer("POST", path, answer);
        m_core->setToken(token);
        Test::LogCapture log;
        QSignalSpy ready(m_core.get(), &AgentCore::signupLinkReady);
        QSignalSpy failed(m_core.get(), &AgentCore::signupLinkFailed);
        m_core->requestSignupLink(kInn);
        // Without a token the refusal comes inside the call, before anything could be sent.
        if (!token.isEmpty())
            QTRY_COMPARE(ready.size() + failed.size(), 1);
        QCOMPARE(failed.value(0).value(0).toString(), error);
        QCOMPARE(ready.value(0), (url.isEmpty() ? QVariantList() : QVariantList{kInn, url}));
        QCOMPARE(m_server->requestsTo(path).value(0).header("Authorization"),
                 token.isEmpty() ? QByteArray() : "Bearer " + token.toUtf8());
        // The address may carry a one-time secret.
        QVERIFY(log.lines().isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeParvisServer> m_server;
    std::unique_ptr<HttpClient> m_http;
    std::unique_ptr<Test::FakeSigner> m_signer;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<AgentCore> m_core;
};

QTEST_GUILESS_MAIN(TestAgentCorePairing)
#include "tst_agentcore_pairing.moc"
