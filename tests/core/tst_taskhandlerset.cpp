#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "core/util.h"
#include "tests/support/fakeparvisserver.h"
#include "tests/support/fakesigner.h"
#include "tests/support/fakeutm.h"
#include "utm/utmclient.h"

#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");
const QString kFsrarId = QStringLiteral("030000123456");

QByteArray readData(const QString &name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("../data/upd/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray taskJson(const QString &id, const QString &type, const QJsonObject &payload)
{
    return QJsonDocument(
               QJsonObject{{"id", id}, {"type", type}, {"orgInn", kInn}, {"payload", payload}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

// The core as the program builds it, with every handler of the system, driven through the fake
// server from the poll to the posted result.
class TestTaskHandlerSet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void everyTypeReachesItsHandler()
    {
        const QByteArray document = "document bytes";
        const QByteArray buyerTitle = readData(QStringLiteral("buyer-title-cp1251.xml"));
        const QString sellerTitle = QString::fromUtf8(readData(QStringLiteral("seller-title.xml")));
        QVERIFY(!buyerTitle.isEmpty() && !sellerTitle.isEmpty());

        Test::FakeUtm utm;
        utm.serveIdentity();
        utm.answer("GET", "/opt/out", 200, "<A><url>x</url></A>");

        FakeParvisServer server;
        const QList<QPair<QString, QByteArray>> tasks = {
            {"chz.auth", taskJson("t1", "chz.auth",
                                  {{"inn", kInn}, {"thumbprint", kThumbprint}, {"data", "вход"}})},
            {"chz.document",
             taskJson("t2", "chz.document",
                      {{"inn", kInn},
                       {"thumbprint", kThumbprint},
                       {"contentBase64", QString::fromLatin1(document.toBase64())}})},
            {"edo.title", taskJson("t3", "edo.title",
                                   {{"inn", kInn},
                                    {"thumbprint", kThumbprint},
                                    {"contentBase64", QString::fromLatin1(buyerTitle.toBase64())},
                                    {"sellerTitleXml", sellerTitle}})},
            {"utm.request",
             taskJson("t4", "utm.request",
                      {{"fsrarId", kFsrarId}, {"method", "GET"}, {"path", "/opt/out?x=1"}})},
            {"x.other", taskJson("t5", "x.other", {})},
        };
        for (const auto &task : tasks)
            server.enqueue("GET", "/agent/v1/tasks", FakeAnswer::raw(200, task.second));
        server.setAnswer("GET", "/agent/v1/tasks", FakeAnswer::never());
        server.setAnswer("POST", "/agent/v1/heartbeat", FakeAnswer::json(200, {}));
        for (int i = 1; i <= tasks.size(); ++i)
            server.setAnswer("POST", QString("/agent/v1/tasks/t%1/result").arg(i),
                             FakeAnswer::json(200, {}));

        QTemporaryDir dir;
        Journal journal(dir.filePath("journal.db"));
        QVERIFY(journal.open());
        Test::FakeSigner signer;
        CertificateInfo certificate;
        certificate.thumbprint = kThumbprint;
        certificate.inn = kInn;
        certificate.validFrom = QDateTime::currentDateTimeUtc().addDays(-1);
        certificate.validTo = QDateTime::currentDateTimeUtc().addDays(100);
        signer.setCertificates({certificate});
        HttpClient http(server.baseUrl());
        UtmHttpClient utmClient(utm.baseUrl());
        AgentCore core(AgentConfig(), &http, &signer, &journal);
        core.setUtmClient(&utmClient);
        core.setToken(QStringLiteral("token-1234567890"));
        core.start();

        QList<QJsonObject> results;
        for (int i = 1; i <= tasks.size(); ++i) {
            const QString path = QString("/agent/v1/tasks/t%1/result").arg(i);
            QTRY_COMPARE_WITH_TIMEOUT(server.requestsTo(path).size(), 1, 15000);
            results.append(server.requestsTo(path).at(0).json());
        }
        core.stop();
        http.abortAll();

        const QString signature = QString::fromLatin1(Test::FakeSigner::kDefaultSignature);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(results.at(i).value("ok"), true);
            QCOMPARE(results.at(i).value("data").toObject().value("signature").toString(),
                     signature);
        }
        // Attached for the login string, detached for the documents; each its own bytes.
        const QList<Test::FakeSigner::SignCall> calls = signer.signCalls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls.at(0).data, QString("вход").toUtf8());
        QCOMPARE(calls.at(0).detached, false);
        QCOMPARE(calls.at(1).data, document);
        QCOMPARE(calls.at(1).detached, true);
        QCOMPARE(calls.at(2).data, buyerTitle);
        QCOMPARE(calls.at(2).detached, true);

        const QJsonObject forwarded = results.at(3);
        QCOMPARE(forwarded.value("ok"), true);
        QCOMPARE(forwarded.value("data").toObject().value("httpStatus").toInt(), 200);
        QCOMPARE(forwarded.value("data").toObject().value("bodySha256").toString(),
                 sha256Hex("<A><url>x</url></A>"));
        QCOMPARE(utm.requestsTo("/opt/out").size(), 1);
        QCOMPARE(utm.requestsTo("/opt/out").at(0).path, "/opt/out?x=1");

        QCOMPARE(results.at(4),
                 (QJsonObject{{"ok", false},
                              {"error", "Тип задачи «x.other» не поддерживается этой версией "
                                        "агента. Обновите приложение агента"}}));

        // Every outcome but the successful forwarded read is journaled, newest first.
        QStringList journaled;
        for (const JournalEntry &entry : journal.recent(10))
            journaled.prepend(entry.type);
        QCOMPARE(journaled, (QStringList{"chz.auth", "chz.document", "edo.title", "x.other"}));
    }
};

QTEST_GUILESS_MAIN(TestTaskHandlerSet)
#include "tst_taskhandlerset.moc"
