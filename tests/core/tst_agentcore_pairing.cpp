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

CertificateInfo organisationCertificate()
{
    CertificateInfo certificate;
    certificate.thumbprint = kThumbprint;
    certificate.subject = QStringLiteral("CN=ООО Ромашка, ИНН ЮЛ=") + kInn;
    certificate.inn = kInn;
    certificate.validFrom = QDateTime::currentDateTimeUtc().addYears(-1);
    certificate.validTo = QDateTime::currentDateTimeUtc().addYears(1);
    return certificate;
}

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

// The paths of the requests in the order they arrived, without the query.
QStringList paths(const FakeParvisServer &server)
{
    QStringList result;
    for (const FakeRequest &request : server.requests())
        result.append(request.path.section(u'?', 0, 0));
    return result;
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
        m_signer = std::make_unique<Test::FakeSigner>();
        m_signer->setCertificates({organisationCertificate()});
        QVERIFY(m_dir.isValid());
        m_journal = std::make_unique<Journal>(
            m_dir.filePath(QStringLiteral("journal-%1.db").arg(++m_journals)));
        QVERIFY(m_journal->open());
        AgentConfig config;
        config.deviceId = QStringLiteral("device-1");
        config.deviceName = QStringLiteral("pc-1");
        config.os = QStringLiteral("Test OS");
        config.version = QStringLiteral("0.12.2");
        m_core = std::make_unique<AgentCore>(config, m_http.get(), m_signer.get(), m_journal.get());
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

    void pairSendsCodeDeviceAndStoreWithoutAuthorisation_data()
    {
        QTest::addColumn<bool>("withCertificate");
        QTest::newRow("empty store") << false;
        QTest::newRow("one certificate") << true;
    }
    void pairSendsCodeDeviceAndStoreWithoutAuthorisation()
    {
        QFETCH(bool, withCertificate);
        if (!withCertificate)
            m_signer->setCertificates({});
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
        QCOMPARE(body.value("device").toObject().value("id").toString(), "device-1");
        QCOMPARE(body.value("certificates").toArray().size(), withCertificate ? 1 : 0);
        const QJsonArray capabilities = body.value("capabilities").toArray();
        QCOMPARE(capabilities.size(), withCertificate ? 1 : 0);
        if (withCertificate)
            QCOMPARE(capabilities.at(0).toObject().value("type").toString(), "sign");
        QCOMPARE(log.matching("[INFO] подключение агента по коду, сертификатов в хранилище: " +
                              QString::number(withCertificate ? 1 : 0))
                     .size(),
                 1);
        QCOMPARE(log.matching("[INFO] агент подключён к организации " + kInn + " токен " +
                              maskSecret(kNewToken))
                     .size(),
                 1);
        QVERIFY(log.matching(kNewToken).isEmpty());
        QCOMPARE(paired.at(0), (QVariantList{"agent-42", kInn, "ООО Ромашка"}));
        QCOMPARE(m_core->token(), kNewToken);
    }

    // Over the in-process transport every request is seen the moment it is made: with no УТМ
    // configured the loop a success starts sends its heartbeat first, then polls, both with the
    // new token.
    void successStartsHeartbeatThenPoll_data()
    {
        QTest::addColumn<bool>("enrol");
        QTest::newRow("pairing") << false;
        QTest::newRow("enrolment") << true;
    }
    void successStartsHeartbeatThenPoll()
    {
        QFETCH(bool, enrol);
        Test::FakeParvisTransport http;
        AgentCore core(AgentConfig(), &http, m_signer.get(), nullptr);
        QSignalSpy states(&core, &AgentCore::stateChanged);
        if (enrol) {
            core.enrollOrganization(kInn, kThumbprint);
            http.answerLast(
                200, QJsonDocument(QJsonObject{{"challengeId", "c"}, {"data", "d"}}).toJson());
        } else {
            core.pair(QStringLiteral("1"));
        }
        http.answerLast(201, QJsonDocument(linkAnswer(kNewToken)).toJson());
        const QList<Test::FakeParvisTransport::Call> calls = http.calls();
        QStringList sent;
        for (const Test::FakeParvisTransport::Call &call : calls)
            sent.append(call.path.section(u'?', 0, 0));
        const QStringList link = enrol ? QStringList{kChallenge, kEnroll} : QStringList{kPair};
        QCOMPARE(sent, (link + QStringList{kHeartbeat, kPoll}));
        QCOMPARE(calls.at(link.size()).token, kNewToken);
        QCOMPARE(calls.at(link.size() + 1).token, kNewToken);
        QCOMPARE(states.value(0).value(0).value<AgentState>(), AgentState::Connecting);
        core.stop();
        http.abortAll();
    }

    // Over the in-process transport every request is seen the moment it is made.
    void pairWhileRunningReplacesTokenWithoutSecondPoll()
    {
        Test::FakeParvisTransport http;
        AgentCore core(AgentConfig(), &http, m_signer.get(), nullptr);
        core.setToken(kOldToken);
        core.start();
        QCOMPARE(http.calls().size(), 2);
        QSignalSpy paired(&core, &AgentCore::paired);
        core.pair(QStringLiteral("1"));
        http.answerLast(200, QJsonDocument(linkAnswer(kNewToken)).toJson());
        QCOMPARE(paired.size(), 1);
        QCOMPARE(core.token(), kNewToken);
        QStringList sent;
        for (const Test::FakeParvisTransport::Call &call : http.calls())
            sent.append(call.path.section(u'?', 0, 0));
        QCOMPARE(sent, (QStringList{kHeartbeat, kPoll, kPair}));
        core.stop();
        http.abortAll();
    }

    void pairFailureLeavesEverything_data()
    {
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QString>("error");
        QTest::newRow("refused with a text")
            << FakeAnswer::json(400, {{"error", "Код устарел"}}) << "Код устарел";
        QTest::newRow("no token") << FakeAnswer::json(200, linkAnswer({}))
                                  << "Сервер не вернул токен агента";
        QTest::newRow("no JSON") << FakeAnswer::raw(502, "<html/>") << "Сервер ответил кодом 502";
    }
    void pairFailureLeavesEverything()
    {
        QFETCH(FakeAnswer, answer);
        QFETCH(QString, error);
        m_server->setAnswer("POST", kPair, answer);
        m_core->setToken(kOldToken);
        Test::LogCapture log;
        QSignalSpy failed(m_core.get(), &AgentCore::pairFailed);
        m_core->pair(QStringLiteral("1"));
        QVERIFY(failed.wait());
        QCOMPARE(failed.at(0).at(0).toString(), error);
        QCOMPARE(log.matching("[WARN] подключение не удалось: " + error).size(), 1);
        QCOMPARE(m_core->token(), kOldToken);
        QCOMPARE(m_core->state(), AgentState::Connecting);
        QCOMPARE(paths(*m_server), QStringList{kPair});
    }

    void enrolmentSignsChallengeAndJournalsBeforeTheAnswer_data()
    {
        QTest::addColumn<QString>("heldToken");
        QTest::addColumn<bool>("detached");
        QTest::newRow("first organisation, attached") << QString() << false;
        QTest::newRow("another organisation, detached") << kOldToken << true;
    }
    void enrolmentSignsChallengeAndJournalsBeforeTheAnswer()
    {
        QFETCH(QString, heldToken);
        QFETCH(bool, detached);
        m_core->setToken(heldToken);
        m_server->setAnswer(
            "POST", kChallenge,
            FakeAnswer::json(
                200, {{"challengeId", "ch-7"}, {"data", kChallengeText}, {"detached", detached}}));
        m_server->setAnswer("POST", kEnroll, FakeAnswer::never());
        Test::LogCapture log;
        QSignalSpy arrived(m_server.get(), &FakeParvisServer::requestArrived);

        m_core->enrollOrganization(kInn, kThumbprint);
        QTRY_COMPARE(m_server->requestsTo(kEnroll).size(), 1);

        const QByteArray bearer =
            heldToken.isEmpty() ? QByteArray() : "Bearer " + heldToken.toUtf8();
        const FakeRequest challenge = m_server->requestsTo(kChallenge).value(0);
        QCOMPARE(challenge.header("Authorization"), bearer);
        QCOMPARE(challenge.json().value("inn").toString(), kInn);
        QCOMPARE(challenge.json().value("thumbprint").toString(), kThumbprint);
        QCOMPARE(challenge.json().value("device").toObject().value("name").toString(), "pc-1");
        QCOMPARE(log.matching("[INFO] подключение по сертификату к организации " + kInn).size(), 1);

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
        QCOMPARE(body.value("device").toObject().value("id").toString(), "device-1");
        QCOMPARE(body.value("certificates").toArray().at(0).toObject().value("thumbprint"),
                 kThumbprint);
        QCOMPARE(body.value("capabilities").toArray().at(0).toObject().value("type"), "sign");

        // The server has not answered, and the signature is already in the journal.
        const QList<JournalEntry> rows = m_journal->recent(10);
        QCOMPARE(rows.size(), 1);
        const QString hash = sha256Hex(kChallengeText.toUtf8());
        QCOMPARE(rows.at(0).type, "enroll");
        QCOMPARE(rows.at(0).taskId, "");
        QCOMPARE(rows.at(0).orgInn, kInn);
        QCOMPARE(rows.at(0).payloadHash, hash);
        QCOMPARE(rows.at(0).signedHash, hash);
        QVERIFY(rows.at(0).ok);
        QVERIFY(rows.at(0).message.isEmpty());
        QVERIFY(qAbs(rows.at(0).at.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    }

    void enrolAnswers_data()
    {
        QTest::addColumn<QString>("heldToken");
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("tokenAfter");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("signup");
        QTest::newRow("new token, pending")
            << QString() << linkAnswer(kNewToken, "PENDING") << kNewToken << true
            << "устройство подключено к организации " + kInn + " и ждёт подтверждения" << false;
        QTest::newRow("status in lower case is not pending")
            << QString() << linkAnswer(kNewToken, "pending") << kNewToken << false
            << "устройство подключено к организации " + kInn << false;
        QTest::newRow("no token keeps the held one")
            << kOldToken << linkAnswer({}) << kOldToken << false
            << "устройство подключено к организации " + kInn << false;
        QTest::newRow("registered with a sign-up address")
            << QString() << linkAnswer(kNewToken, "PENDING", "REGISTERED", "https://c.example/s")
            << kNewToken << true << "организация зарегистрирована подписью " + kInn << true;
        QTest::newRow("registered without an address")
            << QString() << linkAnswer(kNewToken, "ACTIVE", "REGISTERED") << kNewToken << false
            << "устройство подключено к организации " + kInn << false;
    }
    void enrolAnswers()
    {
        QFETCH(QString, heldToken);
        QFETCH(QJsonObject, answer);
        QFETCH(QString, tokenAfter);
        QFETCH(bool, pending);
        QFETCH(QString, logLine);
        QFETCH(bool, signup);
        m_core->setToken(heldToken);
        serveChallenge();
        m_server->setAnswer("POST", kEnroll, FakeAnswer::json(200, answer));
        Test::LogCapture log;
        QSignalSpy enrolled(m_core.get(), &AgentCore::enrolled);
        QSignalSpy signupStarted(m_core.get(), &AgentCore::signupStarted);

        m_core->enrollOrganization(kInn, kThumbprint);
        QVERIFY(enrolled.wait());
        QCOMPARE(enrolled.at(0), (QVariantList{"agent-42", kInn, "ООО Ромашка", pending}));
        QCOMPARE(m_core->token(), tokenAfter);
        QCOMPARE(log.matching("[INFO] " + logLine).size(), 1);
        QCOMPARE(signupStarted.size(), signup ? 1 : 0);
        if (signup)
            QCOMPARE(signupStarted.at(0),
                     (QVariantList{kInn, "ООО Ромашка", "https://c.example/s"}));
        // The loop starts with the token the core now holds.
        QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1);
        QTRY_COMPARE(m_server->requestsTo(kHeartbeat).size(), 1);
        QCOMPARE(m_server->requestsTo(kPoll).value(0).header("Authorization"),
                 "Bearer " + tokenAfter.toUtf8());
    }

    void enrolWhileRunningSendsHeartbeatOnly()
    {
        m_core->setToken(kOldToken);
        m_core->start();
        QTRY_COMPARE(m_server->requestsTo(kHeartbeat).size(), 1);
        QTRY_COMPARE(m_server->requestsTo(kPoll).size(), 1);
        serveChallenge();
        m_server->setAnswer("POST", kEnroll, FakeAnswer::json(200, linkAnswer({})));
        QSignalSpy enrolled(m_core.get(), &AgentCore::enrolled);
        m_core->enrollOrganization(kInn, kThumbprint);
        QVERIFY(enrolled.wait());
        QTRY_COMPARE(m_server->requestsTo(kHeartbeat).size(), 2);
        QCOMPARE(m_server->requestsTo(kPoll).size(), 1);
        QCOMPARE(m_core->state(), AgentState::Online);
    }

    void enrolmentFailures_data()
    {
        QTest::addColumn<QString>("thumbprint");
        QTest::addColumn<bool>("signs");
        QTest::addColumn<QString>("signerError");
        QTest::addColumn<FakeAnswer>("challenge");
        QTest::addColumn<FakeAnswer>("enroll");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logLine"); // empty: nothing logged at WARN
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<int>("journalRows");

        const FakeAnswer good = FakeAnswer::json(200, {{"challengeId", "c"}, {"data", "x"}});
        const FakeAnswer accepted = FakeAnswer::json(200, linkAnswer(kNewToken));
        const QString unknown =
            "Сертификат с отпечатком ffff не найден в хранилище этого компьютера";
        QTest::newRow("certificate refused")
            << "ffff" << true << QString() << good << accepted << unknown
            << "подключение по сертификату невозможно: " + unknown << QStringList() << 0;
        QTest::newRow("challenge without data")
            << kThumbprint << true << QString() << FakeAnswer::json(200, {{"challengeId", "c"}})
            << accepted << "Сервер не вернул заявку на подключение" << QString()
            << QStringList{kChallenge} << 0;
        QTest::newRow("signature failed")
            << kThumbprint << false << "Носитель не вставлен" << good << accepted
            << "Носитель не вставлен"
            << "подпись для подключения не удалась: Носитель не вставлен" << QStringList{kChallenge}
            << 0;
        QTest::newRow("signature failed silently")
            << kThumbprint << false << "" << good << accepted << "КриптоПро не вернул подпись"
            << "подпись для подключения не удалась: КриптоПро не вернул подпись"
            << QStringList{kChallenge} << 0;
        QTest::newRow("enrolment refused")
            << kThumbprint << true << QString() << good
            << FakeAnswer::json(403, {{"error", "Подпись не подошла"}}) << "Подпись не подошла"
            << "подключение по сертификату не удалось: Подпись не подошла"
            << QStringList{kChallenge, kEnroll} << 1;
        QTest::newRow("no token anywhere")
            << kThumbprint << true << QString() << good << FakeAnswer::json(200, linkAnswer({}))
            << "Сервер не вернул токен агента, а сохранённого токена нет" << QString()
            << QStringList{kChallenge, kEnroll} << 1;
    }
    void enrolmentFailures()
    {
        QFETCH(QString, thumbprint);
        QFETCH(bool, signs);
        QFETCH(QString, signerError);
        QFETCH(FakeAnswer, challenge);
        QFETCH(FakeAnswer, enroll);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        QFETCH(QStringList, sent);
        QFETCH(int, journalRows);
        if (!signs)
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
            QCOMPARE(log.matching("[WARN] " + logLine).size(), 1);
        QCOMPARE(paths(*m_server), sent);
        QCOMPARE(m_journal->recent(10).size(), journalRows);
        QCOMPARE(m_core->token(), QString());
        QCOMPARE(m_core->state(), AgentState::Idle);
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
        QTest::newRow("no address") << kOldToken << FakeAnswer::json(200, {}) << ""
                                    << "Сервер не вернул ссылку в кабинет";
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
        if (token.isEmpty()) {
            // Refused inside the call, before anything could be sent.
            QCOMPARE(failed.size(), 1);
        } else {
            QTRY_COMPARE(ready.size() + failed.size(), 1);
            const FakeRequest request = m_server->requestsTo(path).value(0);
            QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
            QCOMPARE(request.json(), QJsonObject());
        }
        if (url.isEmpty())
            QCOMPARE(failed.at(0).at(0).toString(), error);
        else
            QCOMPARE(ready.at(0), (QVariantList{kInn, url}));
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(m_core->token(), token);
    }

private:
    void serveChallenge()
    {
        m_server->setAnswer(
            "POST", kChallenge,
            FakeAnswer::json(200, {{"challengeId", "c"}, {"data", kChallengeText}}));
    }

    QTemporaryDir m_dir;
    int m_journals = 0;
    std::unique_ptr<FakeParvisServer> m_server;
    std::unique_ptr<HttpClient> m_http;
    std::unique_ptr<Test::FakeSigner> m_signer;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<AgentCore> m_core;
};

QTEST_GUILESS_MAIN(TestAgentCorePairing)
#include "tst_agentcore_pairing.moc"
