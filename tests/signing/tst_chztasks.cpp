#include "signing/chztasks.h"
#include "core/util.h"
#include "tests/support/fakesigner.h"
#include "tests/support/logcapture.h"

#include <QJsonObject>
#include <QTest>

using namespace Orv;

namespace {

const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");
const QString kAuth = QStringLiteral("chz.auth");
const QString kDocument = QStringLiteral("chz.document");
const QJsonValue kRemoved(QJsonValue::Undefined);

// The task of `type` with its ordinary payload, `key` set to `value` (kRemoved: left out).
TaskDescriptor task(const QString &type, const QString &key = {}, const QJsonValue &value = {},
                    const QString &key2 = {}, const QJsonValue &value2 = {})
{
    TaskDescriptor t;
    t.type = type;
    t.payload = type == kAuth ? QJsonObject{{"data", "LOGIN-DATA"}}
                              : QJsonObject{{"contentBase64", "SGVsbG8="}, {"documentType", "UPD"}};
    t.payload.insert("inn", kInn);
    t.payload.insert("thumbprint", kThumbprint);
    for (const auto &[k, v] : {std::pair{key, value}, std::pair{key2, value2}}) {
        if (v.isUndefined())
            t.payload.remove(k);
        else if (!k.isEmpty())
            t.payload.insert(k, v);
    }
    return t;
}

TaskOutcome run(Test::FakeSigner &signer, const TaskDescriptor &task)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    signer.setCertificates({{kThumbprint, QStringLiteral("CN=Ромашка, ИНН ЮЛ=7712345678"), kInn,
                             now.addYears(-1), now.addYears(1)}});
    if (task.type == kAuth)
        return ChzAuthTask(&signer).execute(task);
    return ChzDocumentTask(&signer).execute(task);
}

} // namespace

Q_DECLARE_METATYPE(Orv::TaskDescriptor)

class TestChzTasks : public QObject
{
    Q_OBJECT

private slots:
    void strictBase64_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("decoded"); // null: refused
        const auto refused = [](const char *name, const QString &text) {
            QTest::newRow(name) << text << QByteArray();
        };
        QTest::newRow("padded") << QStringLiteral("SGVsbG8=") << QByteArray("Hello");
        QTest::newRow("without padding") << QStringLiteral("SGVsbG8") << QByteArray("Hello");
        QTest::newRow("all data characters")
            << QStringLiteral("+/+/") << QByteArray::fromHex("fbffbf");
        QTest::newRow("the whole alphabet")
            << QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
            << QByteArray::fromHex("00108310518720928b30d38f41149351559761969b71d79f8218a39259a7a2"
                                   "9aabb2dbafc31cb3d35db7e39ebbf3dfbf");
        QTest::newRow("two characters past a group")
            << QStringLiteral("SGVsbA") << QByteArray("Hell");
        refused("empty", QString());
        // A character past a whole group carries no byte: the text was cut short.
        refused("one character", QStringLiteral("A"));
        refused("one character past a group", QStringLiteral("SGVsA"));
        refused("three pads", QStringLiteral("SG==="));
        refused("pad without whole group", QStringLiteral("SG="));
        refused("pad inside", QStringLiteral("SG=k"));
        refused("line break", QStringLiteral("SGVs\nbG8="));
        refused("beyond Latin-1", QStringLiteral("SGVsЖG8="));
    }

    void strictBase64()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, decoded);
        QByteArray bytes;
        QCOMPARE(decodeStrictBase64(text, &bytes), !decoded.isNull());
        if (!decoded.isNull())
            QCOMPARE(bytes, decoded);
    }

    // Every length of tail, padded or not, gives back the bytes encoded.
    void strictBase64RoundTrip()
    {
        QByteArray original;
        for (int length = 1; length <= 40; ++length) {
            original.append(char(length * 37 + 11));
            for (const auto option : {QByteArray::Base64Encoding, QByteArray::OmitTrailingEquals}) {
                QByteArray bytes;
                QVERIFY(decodeStrictBase64(QString::fromLatin1(original.toBase64(option)), &bytes));
                QCOMPARE(bytes, original);
            }
        }
    }

    // Refusals in their order; only the certificate check reads the store, none signs.
    void refusals_data()
    {
        QTest::addColumn<TaskDescriptor>("task");
        QTest::addColumn<QString>("message");
        const QString authMissing =
            QStringLiteral("В задаче не хватает данных для подписи (ИНН, отпечаток или строка)");
        const QString docMissing = QStringLiteral(
            "В задаче не хватает данных для подписи документа (ИНН, отпечаток или тело)");
        const QString notBase64 = QStringLiteral("Тело документа повреждено: это не base64");
        const QString unknown =
            QStringLiteral("Сертификат с отпечатком ffff не найден в хранилище этого компьютера");

        QTest::newRow("auth: no INN") << task(kAuth, "inn", kRemoved) << authMissing;
        QTest::newRow("auth: INN as a number") << task(kAuth, "inn", 7712345678.0) << authMissing;
        QTest::newRow("auth: missing data before detached")
            << task(kAuth, "data", kRemoved, "detached", true) << authMissing;
        QTest::newRow("auth: detached before the certificate")
            << task(kAuth, "detached", true, "thumbprint", "FFFF")
            << QStringLiteral("Для авторизации в Честном знаке нужна присоединённая подпись, а "
                              "задача требует открепленную");
        QTest::newRow("auth: unknown certificate, lower-cased")
            << task(kAuth, "thumbprint", "FFFF") << unknown;

        QTest::newRow("document: no body")
            << task(kDocument, "contentBase64", kRemoved) << docMissing;
        QTest::newRow("document: no thumbprint")
            << task(kDocument, "thumbprint", kRemoved) << docMissing;
        QTest::newRow("document: attached before base64")
            << task(kDocument, "detached", false, "contentBase64", "!!")
            << QStringLiteral("Документ Честного знака подписывается открепленной подписью, а "
                              "задача требует присоединённую");
        QTest::newRow("document: cut to one character")
            << task(kDocument, "contentBase64", "A") << notBase64;
        QTest::newRow("document: base64 before the certificate")
            << task(kDocument, "contentBase64", "S G8=", "thumbprint", "ffff") << notBase64;
        QTest::newRow("document: unknown certificate")
            << task(kDocument, "thumbprint", "ffFF") << unknown;
    }

    void refusals()
    {
        QFETCH(TaskDescriptor, task);
        QFETCH(QString, message);
        Test::FakeSigner signer;
        const TaskOutcome outcome = run(signer, task);
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.message, message);
        QCOMPARE(signer.certificateReads(),
                 message.startsWith(QStringLiteral("Сертификат")) ? 1 : 0);
        QVERIFY(signer.signCalls().isEmpty());
    }

    void signs_data()
    {
        QTest::addColumn<TaskDescriptor>("task");
        QTest::addColumn<QByteArray>("signedBytes");
        QTest::addColumn<QString>("logLine");
        const QString authLog =
            QStringLiteral("подписана строка авторизации ЧЗ, ИНН 7712345678 отпечаток ab12cd34");
        const QString docLog = QStringLiteral("подписан документ UPD ИНН 7712345678 размер 5");

        QTest::newRow("auth: Cyrillic as UTF-8")
            << task(kAuth, "data", "вход: Ёлка №1") << QStringLiteral("вход: Ёлка №1").toUtf8()
            << authLog;
        QTest::newRow("auth: thumbprint lower-cased")
            << task(kAuth, "thumbprint", "AB12CD34") << QByteArray("LOGIN-DATA") << authLog;
        QTest::newRow("auth: detached not a boolean")
            << task(kAuth, "detached", "true") << QByteArray("LOGIN-DATA") << authLog;
        QTest::newRow("document") << task(kDocument) << QByteArray("Hello") << docLog;
        QTest::newRow("document: without padding, no type")
            << task(kDocument, "contentBase64", "AP8A/wE", "documentType", kRemoved)
            << QByteArray::fromHex("00ff00ff01")
            << QStringLiteral("подписан документ  ИНН 7712345678 размер 5");
        QTest::newRow("document: detached not a boolean")
            << task(kDocument, "detached", 0) << QByteArray("Hello") << docLog;
    }

    void signs()
    {
        QFETCH(TaskDescriptor, task);
        QFETCH(QByteArray, signedBytes);
        QFETCH(QString, logLine);
        Test::FakeSigner signer;
        Test::LogCapture log;
        const TaskOutcome outcome = run(signer, task);
        QVERIFY2(outcome.ok, qPrintable(outcome.message));
        QCOMPARE(outcome.data,
                 QJsonObject({{"signature", QString::fromLatin1(signer.kDefaultSignature)}}));
        QCOMPARE(outcome.signedHash, sha256Hex(signedBytes));
        QCOMPARE(signer.signCalls().size(), 1);
        const Test::FakeSigner::SignCall call = signer.signCalls().first();
        QCOMPARE(call.data, signedBytes);
        QCOMPARE(call.thumbprint, kThumbprint);
        QCOMPARE(call.detached, task.type == kDocument);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().endsWith(QStringLiteral(" [INFO] ") + logLine),
                 qPrintable(log.lines().first()));
    }
};

QTEST_GUILESS_MAIN(TestChzTasks)
#include "tst_chztasks.moc"
