#include "signing/chztasks.h"
#include "tests/support/fakesigner.h"
#include "tests/support/logcapture.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace Orv;

namespace {

const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");

void addSigningCertificate(Test::FakeSigner &signer)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    signer.setCertificates({{kThumbprint, QStringLiteral("CN=Ромашка, ИНН ЮЛ=7712345678"), kInn,
                             now.addYears(-1), now.addYears(1)}});
}

std::unique_ptr<ITaskHandler> handler(const QString &type, ISigner *signer)
{
    if (type == QLatin1String("chz.auth"))
        return std::make_unique<ChzAuthTask>(signer);
    return std::make_unique<ChzDocumentTask>(signer);
}

TaskDescriptor task(const QString &type, const QJsonObject &payload)
{
    TaskDescriptor t;
    t.id = QStringLiteral("t-1");
    t.type = type;
    t.orgInn = kInn;
    t.payload = payload;
    return t;
}

QJsonObject authPayload()
{
    return {{"inn", kInn}, {"thumbprint", kThumbprint}, {"data", "LOGIN-DATA"}};
}

QJsonObject documentPayload()
{
    return {{"inn", kInn},
            {"thumbprint", kThumbprint},
            {"contentBase64", "SGVsbG8="},
            {"documentType", "LP_INTRODUCE_GOODS"}};
}

QJsonObject with(QJsonObject payload, const QString &key, const QJsonValue &value)
{
    if (value.isUndefined())
        payload.remove(key);
    else
        payload.insert(key, value);
    return payload;
}

} // namespace

class TestChzTasks : public QObject
{
    Q_OBJECT

private slots:
    void types()
    {
        Test::FakeSigner signer;
        QCOMPARE(ChzAuthTask(&signer).type(), QStringLiteral("chz.auth"));
        QCOMPARE(ChzDocumentTask(&signer).type(), QStringLiteral("chz.document"));
    }

    void strictBase64_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("decoded"); // null: refused

        QTest::newRow("padded") << QStringLiteral("SGVsbG8=") << QByteArray("Hello");
        QTest::newRow("two pads") << QStringLiteral("SGk=") << QByteArray("Hi");
        QTest::newRow("without padding") << QStringLiteral("SGVsbG8") << QByteArray("Hello");
        QTest::newRow("all data characters")
            << QStringLiteral("+/+/") << QByteArray::fromHex("fbffbf");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("one character") << QStringLiteral("A") << QByteArray();
        QTest::newRow("one character past a group") << QStringLiteral("SGVsA") << QByteArray();
        QTest::newRow("padding only") << QStringLiteral("====") << QByteArray();
        QTest::newRow("lone pad") << QStringLiteral("=") << QByteArray();
        QTest::newRow("three pads") << QStringLiteral("SG===") << QByteArray();
        QTest::newRow("pad in a short text") << QStringLiteral("SGk=A") << QByteArray();
        QTest::newRow("pad without whole group") << QStringLiteral("SG=") << QByteArray();
        QTest::newRow("pad inside") << QStringLiteral("SG=k") << QByteArray();
        QTest::newRow("line break") << QStringLiteral("SGVs\nbG8=") << QByteArray();
        QTest::newRow("trailing line break") << QStringLiteral("SGVsbG8=\n") << QByteArray();
        QTest::newRow("blank") << QStringLiteral("SGVs bG8=") << QByteArray();
        QTest::newRow("url alphabet") << QStringLiteral("-_-_") << QByteArray();
        QTest::newRow("beyond Latin-1") << QStringLiteral("SGVsЖG8=") << QByteArray();
        QTest::newRow("Latin-1 letter") << QStringLiteral("SGVs\u00e9G8=") << QByteArray();
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

    void refusals_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("storeRead");

        const QString auth = QStringLiteral("chz.auth");
        const QString doc = QStringLiteral("chz.document");
        const QString authMissing =
            QStringLiteral("В задаче не хватает данных для подписи (ИНН, отпечаток или строка)");
        const QString docMissing = QStringLiteral(
            "В задаче не хватает данных для подписи документа (ИНН, отпечаток или тело)");
        const QString authDetached =
            QStringLiteral("Для авторизации в Честном знаке нужна присоединённая подпись, а "
                           "задача требует открепленную");
        const QString docAttached =
            QStringLiteral("Документ Честного знака подписывается открепленной подписью, а "
                           "задача требует присоединённую");
        const QString notBase64 = QStringLiteral("Тело документа повреждено: это не base64");
        const QString unknown =
            QStringLiteral("Сертификат с отпечатком ffff не найден в хранилище этого компьютера");

        QTest::newRow("auth: no INN")
            << auth << with(authPayload(), "inn", QJsonValue()) << authMissing << false;
        QTest::newRow("auth: INN as a number")
            << auth << with(authPayload(), "inn", 7712345678.0) << authMissing << false;
        QTest::newRow("auth: no thumbprint")
            << auth << with(authPayload(), "thumbprint", "") << authMissing << false;
        QTest::newRow("auth: data as an object")
            << auth << with(authPayload(), "data", QJsonObject{{"a", "b"}}) << authMissing << false;
        QTest::newRow("auth: missing data before detached")
            << auth << with(with(authPayload(), "data", QJsonValue()), "detached", true)
            << authMissing << false;
        QTest::newRow("auth: detached, unknown certificate")
            << auth << with(with(authPayload(), "detached", true), "thumbprint", "FFFF")
            << authDetached << false;
        QTest::newRow("auth: unknown certificate, lower-cased")
            << auth << with(authPayload(), "thumbprint", "FFFF") << unknown << true;

        QTest::newRow("document: no body")
            << doc << with(documentPayload(), "contentBase64", QJsonValue()) << docMissing << false;
        QTest::newRow("document: INN as a number")
            << doc << with(documentPayload(), "inn", 7712345678.0) << docMissing << false;
        QTest::newRow("document: attached before base64")
            << doc << with(with(documentPayload(), "detached", false), "contentBase64", "!!")
            << docAttached << false;
        QTest::newRow("document: line break")
            << doc << with(documentPayload(), "contentBase64", "SGVs\r\nbG8=") << notBase64
            << false;
        QTest::newRow("document: cut to one character")
            << doc << with(documentPayload(), "contentBase64", "A") << notBase64 << false;
        QTest::newRow("document: body as a number")
            << doc << with(documentPayload(), "contentBase64", 12) << docMissing << false;
        QTest::newRow("document: base64 before the certificate")
            << doc << with(with(documentPayload(), "contentBase64", "S G8="), "thumbprint", "ffff")
            << notBase64 << false;
        QTest::newRow("document: unknown certificate")
            << doc << with(documentPayload(), "thumbprint", "ffFF") << unknown << true;
    }

    void refusals()
    {
        QFETCH(QString, type);
        QFETCH(QJsonObject, payload);
        QFETCH(QString, message);
        QFETCH(bool, storeRead);

        Test::FakeSigner signer;
        addSigningCertificate(signer);
        const TaskOutcome outcome = handler(type, &signer)->execute(task(type, payload));
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.message, message);
        QVERIFY(outcome.data.isEmpty());
        QVERIFY(outcome.signedHash.isEmpty());
        QCOMPARE(signer.certificateReads(), storeRead ? 1 : 0);
        QVERIFY(signer.signCalls().isEmpty());
    }

    void signs_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QByteArray>("signedBytes");
        QTest::addColumn<bool>("detached");
        QTest::addColumn<QString>("logLine");

        const QString auth = QStringLiteral("chz.auth");
        const QString doc = QStringLiteral("chz.document");
        const QString authLog =
            QStringLiteral("подписана строка авторизации ЧЗ, ИНН 7712345678 отпечаток ab12cd34");

        QTest::newRow("auth: attached by default, Cyrillic as UTF-8")
            << auth << with(authPayload(), "data", "вход: Ёлка №1")
            << QStringLiteral("вход: Ёлка №1").toUtf8() << false << authLog;
        QTest::newRow("auth: thumbprint lower-cased")
            << auth << with(authPayload(), "thumbprint", "AB12CD34") << QByteArray("LOGIN-DATA")
            << false << authLog;
        QTest::newRow("auth: detached false") << auth << with(authPayload(), "detached", false)
                                              << QByteArray("LOGIN-DATA") << false << authLog;
        QTest::newRow("auth: detached not a boolean")
            << auth << with(authPayload(), "detached", "true") << QByteArray("LOGIN-DATA") << false
            << authLog;
        QTest::newRow("document: detached by default")
            << doc << documentPayload() << QByteArray("Hello") << true
            << QStringLiteral("подписан документ LP_INTRODUCE_GOODS ИНН 7712345678 размер 5");
        QTest::newRow("document: without padding, no type")
            << doc
            << with(with(documentPayload(), "contentBase64", "AP8A/wE"), "documentType",
                    QJsonValue())
            << QByteArray::fromHex("00ff00ff01") << true
            << QStringLiteral("подписан документ  ИНН 7712345678 размер 5");
        QTest::newRow("document: detached not a boolean")
            << doc << with(documentPayload(), "detached", 0) << QByteArray("Hello") << true
            << QStringLiteral("подписан документ LP_INTRODUCE_GOODS ИНН 7712345678 размер 5");
    }

    void signs()
    {
        QFETCH(QString, type);
        QFETCH(QJsonObject, payload);
        QFETCH(QByteArray, signedBytes);
        QFETCH(bool, detached);
        QFETCH(QString, logLine);

        Test::FakeSigner signer;
        addSigningCertificate(signer);
        Test::LogCapture log;
        const TaskOutcome outcome = handler(type, &signer)->execute(task(type, payload));
        QVERIFY2(outcome.ok, qPrintable(outcome.message));
        QVERIFY(outcome.message.isEmpty());
        QCOMPARE(outcome.data,
                 QJsonObject({{"signature", QString::fromLatin1(signer.kDefaultSignature)}}));
        QCOMPARE(outcome.signedHash,
                 QString::fromLatin1(
                     QCryptographicHash::hash(signedBytes, QCryptographicHash::Sha256).toHex()));

        QCOMPARE(signer.signCalls().size(), 1);
        const Test::FakeSigner::SignCall call = signer.signCalls().first();
        QCOMPARE(call.data, signedBytes);
        QCOMPARE(call.thumbprint, kThumbprint);
        QCOMPARE(call.detached, detached);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().endsWith(QStringLiteral(" [INFO] ") + logLine),
                 qPrintable(log.lines().first()));
    }

    void signerFailure_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message");

        const QString own = QStringLiteral("Не удалось подписать: носитель не вставлен");
        const QString none = QStringLiteral("КриптоПро не вернул подпись");
        QTest::newRow("auth: signer's text") << QStringLiteral("chz.auth") << own << own;
        QTest::newRow("auth: no text") << QStringLiteral("chz.auth") << QString() << none;
        QTest::newRow("document: signer's text") << QStringLiteral("chz.document") << own << own;
        QTest::newRow("document: no text") << QStringLiteral("chz.document") << QString() << none;
    }

    void signerFailure()
    {
        QFETCH(QString, type);
        QFETCH(QString, error);
        QFETCH(QString, message);

        Test::FakeSigner signer;
        addSigningCertificate(signer);
        signer.setFailure(error);
        Test::LogCapture log;
        const QJsonObject payload =
            type == QLatin1String("chz.auth") ? authPayload() : documentPayload();
        const TaskOutcome outcome = handler(type, &signer)->execute(task(type, payload));
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.message, message);
        QVERIFY(outcome.data.isEmpty());
        QVERIFY(outcome.signedHash.isEmpty());
        QCOMPARE(signer.signCalls().size(), 1);
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestChzTasks)
#include "tst_chztasks.moc"
