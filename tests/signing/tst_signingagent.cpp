#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "core/util.h"
#include "signing/cadescomsigner.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/standinsigning.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;
using Orv::Test::FakeAnswer;

// One task the whole way: the server hands out a "chz.document" task, the agent signs it through
// the CAdESCOM signer (here the stand-in provider), journals it and posts a signature that OpenSSL
// accepts for the document.
class TestSigningAgent : public QObject
{
    Q_OBJECT

private slots:
    void documentSignedThroughTheAgent()
    {
        Test::StandInSigning standIn;
        QVERIFY(standIn.isValid());
        ComStandIn::CertificateRequest request;
        request.fileName = QStringLiteral("romashka");
        request.commonName = QStringLiteral("ООО \"Ромашка\"");
        request.innLe = QStringLiteral("7712345678");
        request.pin = request.pinFileText = QStringLiteral("0000");
        const ComStandIn::CreatedCertificate certificate = ComStandIn::createCertificate(request);
        QVERIFY2(certificate.ok, qPrintable(certificate.error));

        const QByteArray document =
            QByteArray("<?xml version=\"1.0\"?>\r\n<doc>Ромашка</doc>\n\0", 48);
        const QString resultPath = QStringLiteral("/agent/v1/tasks/t-1/result");
        Test::FakeParvisServer server;
        server.setAnswer("POST", QStringLiteral("/agent/v1/heartbeat"), FakeAnswer::json(200, {}));
        server.enqueue(
            "GET", QStringLiteral("/agent/v1/tasks"),
            FakeAnswer::json(
                200,
                QJsonObject{{"id", "t-1"},
                            {"type", "chz.document"},
                            {"orgInn", "7712345678"},
                            {"payload", QJsonObject{{"inn", "7712345678"},
                                                    {"thumbprint", certificate.thumbprint},
                                                    {"documentType", "LP_INTRODUCE_GOODS"},
                                                    {"contentBase64",
                                                     QString::fromLatin1(document.toBase64())}}}}));
        server.setAnswer("GET", QStringLiteral("/agent/v1/tasks"), FakeAnswer::never());
        server.setAnswer("POST", resultPath, FakeAnswer::json(200, {}));

        QTemporaryDir folder;
        Journal journal(folder.filePath(QStringLiteral("journal.db")));
        QVERIFY(journal.open());
        CadesComSigner signer;
        HttpClient http(server.baseUrl());
        AgentConfig config;
        config.deviceId = QStringLiteral("dev-1");
        config.version = QStringLiteral("0.12.2");
        AgentCore core(config, &http, &signer, &journal);
        QSignalSpy finished(&core, &AgentCore::taskFinished);
        core.setToken(QStringLiteral("agent-token-0123456789"));
        core.start();
        QTRY_COMPARE_WITH_TIMEOUT(server.requestsTo(resultPath).size(), 1, 30000);
        core.stop();
        http.abortAll();

        const QJsonObject result = server.requestsTo(resultPath).first().json();
        QVERIFY2(result.value(u"ok").toBool(),
                 qPrintable(QJsonDocument(result).toJson(QJsonDocument::Compact)));
        const QByteArray signature =
            result.value(u"data").toObject().value(u"signature").toString().toLatin1();
        QString detail;
        QVERIFY2(Test::StandInSigning::verify(signature, document, true, &detail),
                 qPrintable(detail));
        QCOMPARE(finished.size(), 1);
        const QList<JournalEntry> rows = journal.recent(1);
        QCOMPARE(rows.size(), 1);
        QVERIFY(rows[0].ok);
        QCOMPARE(rows[0].signedHash, sha256Hex(document));
    }
};

QTEST_GUILESS_MAIN(TestSigningAgent)
#include "tst_signingagent.moc"
