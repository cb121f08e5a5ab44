#include "signing/edotitletask.h"
#include "core/util.h"
#include "tests/support/fakesigner.h"
#include "tests/support/logcapture.h"
#include "tests/support/testdata.h"

#include <QFile>
#include <QJsonObject>
#include <QTest>

using namespace Orv;

namespace {

const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");
const QString kFileId = QStringLiteral("ON_NSCHFDOPPR_2BM-5012345678_2BM-7712345678_20250310_8d41");
const QJsonValue kRemoved(QJsonValue::Undefined);

// A seller's title naming these buyers; its own INN is in it too.
QString sellerTitle(const QStringList &buyerInns = {kInn}, const QString &fileId = kFileId)
{
    QString buyers;
    for (const QString &inn : buyerInns)
        buyers += QStringLiteral("<СвПокуп><ИдСв><СвЮЛУч ИННЮЛ=\"%1\"/></ИдСв></СвПокуп>").arg(inn);
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"windows-1251\"?>"
                          "<Файл ИдФайл=\"%1\"><Документ><СвСчФакт><СвПрод><ИдСв><СвЮЛУч "
                          "ИННЮЛ=\"5012345678\"/></ИдСв></СвПрод>%2</СвСчФакт></Документ></Файл>")
        .arg(fileId, buyers);
}

QByteArray buyerTitle(const QString &sellerFileRef = kFileId)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Файл><ИнфПок><ИдИнфПрод "
                          "ИдФайлИнфПр=\"%1\"/><СвПрин СодОпер=\"Товары приняты\"/></ИнфПок>"
                          "</Файл>")
        .arg(sellerFileRef)
        .toUtf8();
}

QJsonObject payload(const QByteArray &title = buyerTitle(), const QString &seller = sellerTitle())
{
    return {{"inn", kInn},
            {"thumbprint", kThumbprint},
            {"contentBase64", QString::fromLatin1(title.toBase64())},
            {"sellerTitleXml", seller}};
}

// The fitting payload with `key` set to `value` (kRemoved: left out).
QJsonObject with(const QString &key, const QJsonValue &value, const QString &key2 = {},
                 const QJsonValue &value2 = {})
{
    QJsonObject object = payload();
    for (const auto &[k, v] : {std::pair{key, value}, std::pair{key2, value2}}) {
        if (v.isUndefined())
            object.remove(k);
        else if (!k.isEmpty())
            object.insert(k, v);
    }
    return object;
}

} // namespace

class TestEdoTitleTask : public QObject
{
    Q_OBJECT

    Test::FakeSigner m_signer;

    TaskOutcome run(const QJsonObject &payload)
    {
        TaskDescriptor task;
        task.type = QStringLiteral("edo.title");
        task.payload = payload;
        return EdoTitleTask(&m_signer).execute(task);
    }

private slots:
    void init()
    {
        m_signer = Test::FakeSigner();
        const QDateTime now = QDateTime::currentDateTimeUtc();
        m_signer.setCertificates({{kThumbprint, QStringLiteral("CN=Ромашка, ИНН ЮЛ=7712345678"),
                                   kInn, now.addYears(-1), now.addYears(1)}});
    }

    // Refusals in their order; only the certificate check reads the store, none signs.
    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("message"); // a text ending in ": " is matched as a prefix

        const QString missing = QStringLiteral(
            "В задаче не хватает данных для подписи титула (ИНН, отпечаток или тело)");
        const QString noSeller = QStringLiteral(
            "В задаче нет титула продавца — не с чем сверить, кому адресован документ");
        const QString otherFile = QStringLiteral(
            "Титул покупателя отвечает не на этот документ продавца: в нём «%1», у продавца «%2»");
        const QString brokenSeller = QStringLiteral("<Файл ИдФайл=\"x\"><СвПокуп>");

        QTest::newRow("no INN") << with("inn", kRemoved) << missing;
        QTest::newRow("no body before no seller")
            << with("contentBase64", kRemoved, "sellerTitleXml", kRemoved) << missing;
        QTest::newRow("no seller before detached")
            << with("sellerTitleXml", kRemoved, "detached", false) << noSeller;
        QTest::newRow("seller as an object")
            << with("sellerTitleXml", QJsonObject{{"a", 1}}) << noSeller;
        QTest::newRow("attached before base64")
            << with("detached", false, "contentBase64", "!!")
            << QStringLiteral("Титул покупателя подписывается открепленной подписью, а задача "
                              "требует присоединённую");
        QTest::newRow("cut to one character")
            << with("contentBase64", "A")
            << QStringLiteral("Титул покупателя повреждён: это не base64");
        QTest::newRow("malformed buyer before seller")
            << payload("<?xml version=\"1.0\"?><Файл><ИдИнфПрод", brokenSeller)
            << QStringLiteral("Титул покупателя не разобрался как XML: ");
        QTest::newRow("malformed seller")
            << payload(buyerTitle(), brokenSeller)
            << QStringLiteral("Титул продавца не разобрался как XML: ");
        QTest::newRow("both identifiers empty")
            << payload(buyerTitle(QString()), sellerTitle({kInn}, QString()))
            << otherFile.arg(QString(), QString());
        QTest::newRow("buyer names no seller file")
            << payload("<Файл/>") << otherFile.arg(QString(), kFileId);
        QTest::newRow("identifiers differ in letter case")
            << payload(buyerTitle(kFileId.toLower())) << otherFile.arg(kFileId.toLower(), kFileId);
        QTest::newRow("no buyer INN")
            << payload(buyerTitle(), sellerTitle({}))
            << QStringLiteral("В титуле продавца нет ИНН покупателя — подписывать приёмку такого "
                              "документа нельзя");
        QTest::newRow("two other buyers, sorted")
            << payload(buyerTitle(),
                       sellerTitle({QStringLiteral("5012345678"), QStringLiteral("123456789012")}))
            << QStringLiteral("Покупателем в УПД указана не организация с ИНН 7712345678, а "
                              "123456789012, 5012345678");
        QJsonObject otherFileUnknownCertificate = payload(buyerTitle(QStringLiteral("ON_OTHER")));
        otherFileUnknownCertificate.insert("thumbprint", "ffff");
        QTest::newRow("mismatch before the certificate")
            << otherFileUnknownCertificate << otherFile.arg(QStringLiteral("ON_OTHER"), kFileId);
        QTest::newRow("unknown certificate, lower-cased")
            << with("thumbprint", "FFFF")
            << QStringLiteral(
                   "Сертификат с отпечатком ffff не найден в хранилище этого компьютера");
    }

    void refusals()
    {
        QFETCH(QJsonObject, payload);
        QFETCH(QString, message);
        const TaskOutcome outcome = run(payload);
        QVERIFY(!outcome.ok);
        if (message.endsWith(QStringLiteral(": "))) {
            QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
            QVERIFY(outcome.message.size() > message.size());
        } else {
            QCOMPARE(outcome.message, message);
        }
        QCOMPARE(m_signer.certificateReads(),
                 message.startsWith(QStringLiteral("Сертификат")) ? 1 : 0);
        QVERIFY(m_signer.signCalls().isEmpty());
    }

    void signs_data()
    {
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QJsonObject>("payload");

        const QByteArray cp1251 = Test::readTestData(QStringLiteral("upd/buyer-title-cp1251.xml"));
        QTest::newRow("windows-1251 title")
            << cp1251
            << payload(cp1251, QString::fromUtf8(
                                   Test::readTestData(QStringLiteral("upd/seller-title.xml"))));
        const QByteArray utf8 = buyerTitle();
        QTest::newRow("UTF-8 title") << utf8 << payload();
        QTest::newRow("detached not a boolean") << utf8 << with("detached", "false");
        QTest::newRow("thumbprint in upper case") << utf8 << with("thumbprint", "AB12CD34");
        QTest::newRow("one of several buyers")
            << utf8 << payload(utf8, sellerTitle({QStringLiteral("123456789012"), kInn}));
        const QByteArray undeclared =
            "<Файл><ИдИнфПрод ИдФайлИнфПр=\"" + kFileId.toUtf8() + "\"/></Файл>";
        QTest::newRow("no declaration, UTF-8") << undeclared << payload(undeclared);
    }

    void signs()
    {
        QFETCH(QByteArray, title);
        QFETCH(QJsonObject, payload);
        QVERIFY(!title.isEmpty());
        Test::LogCapture log;
        const TaskOutcome outcome = run(payload);
        QVERIFY2(outcome.ok, qPrintable(outcome.message));
        QCOMPARE(outcome.signedHash, sha256Hex(title));
        QCOMPARE(m_signer.signCalls().size(), 1);
        QCOMPARE(m_signer.signCalls().first().data, title);
        QCOMPARE(m_signer.signCalls().first().thumbprint, kThumbprint);
        QVERIFY(m_signer.signCalls().first().detached);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().endsWith(
                     QStringLiteral(" [INFO] подписан титул покупателя, ИНН 7712345678 размер %1")
                         .arg(title.size())),
                 qPrintable(log.lines().first()));
    }
};

QTEST_GUILESS_MAIN(TestEdoTitleTask)
#include "tst_edotitletask.moc"
