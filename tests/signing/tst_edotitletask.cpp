#include "signing/edotitletask.h"
#include "tests/support/fakesigner.h"
#include "tests/support/logcapture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QTest>

using namespace Orv;

namespace {

const QString kInn = QStringLiteral("7712345678");
const QString kThumbprint = QStringLiteral("ab12cd34");
const QString kFileId = QStringLiteral("ON_NSCHFDOPPR_2BM-5012345678_2BM-7712345678_20250310_8d41");

QString sellerTitle(const QString &fileId, const QString &buyerPart)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"windows-1251\"?>"
                          "<Файл ИдФайл=\"%1\"><Документ><СвСчФакт><СвПрод><ИдСв><СвЮЛУч "
                          "ИННЮЛ=\"5012345678\"/></ИдСв></СвПрод>%2</СвСчФакт></Документ></Файл>")
        .arg(fileId, buyerPart);
}

QString buyerPart(const QString &inn)
{
    return QStringLiteral("<СвПокуп><ИдСв><СвЮЛУч НаимОрг=\"ООО «Ромашка»\" ИННЮЛ=\"%1\"/>"
                          "</ИдСв></СвПокуп>")
        .arg(inn);
}

QByteArray buyerTitle(const QString &sellerFileRef)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Файл><ИнфПок><ИдИнфПрод "
                          "ИдФайлИнфПр=\"%1\"/><СвПрин СодОпер=\"Товары приняты\"/></ИнфПок>"
                          "</Файл>")
        .arg(sellerFileRef)
        .toUtf8();
}

QJsonObject payload(const QByteArray &title, const QString &seller)
{
    return {{"inn", kInn},
            {"thumbprint", kThumbprint},
            {"contentBase64", QString::fromLatin1(title.toBase64())},
            {"sellerTitleXml", seller}};
}

QJsonObject fitting()
{
    return payload(buyerTitle(kFileId), sellerTitle(kFileId, buyerPart(kInn)));
}

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
{
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return object;
}

QByteArray readData(const QString &name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("../data/upd/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TaskDescriptor task(const QJsonObject &payload)
{
    TaskDescriptor t;
    t.id = QStringLiteral("t-7");
    t.type = QStringLiteral("edo.title");
    t.orgInn = kInn;
    t.payload = payload;
    return t;
}

} // namespace

class TestEdoTitleTask : public QObject
{
    Q_OBJECT

    Test::FakeSigner m_signer;

private slots:
    void init()
    {
        m_signer = Test::FakeSigner();
        const QDateTime now = QDateTime::currentDateTimeUtc();
        m_signer.setCertificates({{kThumbprint, QStringLiteral("CN=Ромашка, ИНН ЮЛ=7712345678"),
                                   kInn, now.addYears(-1), now.addYears(1)}});
    }

    void type() { QCOMPARE(EdoTitleTask(&m_signer).type(), QStringLiteral("edo.title")); }

    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("message"); // a text ending in ": " is matched as a prefix
        QTest::addColumn<bool>("storeRead");

        const QString missing = QStringLiteral(
            "В задаче не хватает данных для подписи титула (ИНН, отпечаток или тело)");
        const QString noSeller = QStringLiteral(
            "В задаче нет титула продавца — не с чем сверить, кому адресован документ");
        const QString attached = QStringLiteral("Титул покупателя подписывается открепленной "
                                                "подписью, а задача требует присоединённую");
        const QString notBase64 = QStringLiteral("Титул покупателя повреждён: это не base64");
        const QString otherFile = QStringLiteral(
            "Титул покупателя отвечает не на этот документ продавца: в нём «%1», у продавца «%2»");
        const QByteArray brokenBuyer = "<?xml version=\"1.0\"?><Файл><ИдИнфПрод";
        const QString brokenSeller = QStringLiteral("<Файл ИдФайл=\"x\"><СвПокуп>");

        QTest::newRow("no INN") << with(fitting(), "inn", QJsonValue()) << missing << false;
        QTest::newRow("INN as a number")
            << with(fitting(), "inn", 7712345678.0) << missing << false;
        QTest::newRow("no thumbprint") << with(fitting(), "thumbprint", "") << missing << false;
        QTest::newRow("no body, no seller")
            << with(with(fitting(), "contentBase64", QJsonValue()), "sellerTitleXml", QJsonValue())
            << missing << false;
        QTest::newRow("no seller before detached")
            << with(with(fitting(), "sellerTitleXml", QJsonValue()), "detached", false) << noSeller
            << false;
        QTest::newRow("seller as an object")
            << with(fitting(), "sellerTitleXml", QJsonObject{{"a", 1}}) << noSeller << false;
        QTest::newRow("attached before base64")
            << with(with(fitting(), "detached", false), "contentBase64", "!!") << attached << false;
        QTest::newRow("line break")
            << with(fitting(), "contentBase64", "PEZh\nZWw+") << notBase64 << false;
        QTest::newRow("cut to one character")
            << with(fitting(), "contentBase64", "A") << notBase64 << false;
        QTest::newRow("malformed buyer before seller")
            << payload(brokenBuyer, brokenSeller)
            << QStringLiteral("Титул покупателя не разобрался как XML: ") << false;
        QTest::newRow("malformed seller")
            << payload(buyerTitle(kFileId), brokenSeller)
            << QStringLiteral("Титул продавца не разобрался как XML: ") << false;
        QTest::newRow("both identifiers empty")
            << payload(buyerTitle(QString()), sellerTitle(QString(), buyerPart(kInn)))
            << otherFile.arg(QString(), QString()) << false;
        QTest::newRow("buyer names no seller file")
            << payload("<Файл/>", sellerTitle(kFileId, buyerPart(kInn)))
            << otherFile.arg(QString(), kFileId) << false;
        QTest::newRow("identifiers differ in letter case")
            << payload(buyerTitle(kFileId.toLower()), sellerTitle(kFileId, buyerPart(kInn)))
            << otherFile.arg(kFileId.toLower(), kFileId) << false;
        QTest::newRow("no buyer INN")
            << payload(buyerTitle(kFileId), sellerTitle(kFileId, QStringLiteral("<СвПокуп/>")))
            << QStringLiteral("В титуле продавца нет ИНН покупателя — подписывать приёмку такого "
                              "документа нельзя")
            << false;
        QTest::newRow("seller's own INN only")
            << payload(buyerTitle(kFileId), sellerTitle(kFileId, QString()))
            << QStringLiteral("В титуле продавца нет ИНН покупателя — подписывать приёмку такого "
                              "документа нельзя")
            << false;
        QTest::newRow("two other buyers, sorted")
            << payload(buyerTitle(kFileId),
                       sellerTitle(kFileId, buyerPart(QStringLiteral("5012345678")) +
                                                buyerPart(QStringLiteral("123456789012"))))
            << QStringLiteral("Покупателем в УПД указана не организация с ИНН 7712345678, а "
                              "123456789012, 5012345678")
            << false;
        QTest::newRow("mismatch before the certificate")
            << with(payload(buyerTitle(QStringLiteral("ON_OTHER")),
                            sellerTitle(kFileId, buyerPart(kInn))),
                    "thumbprint", "ffff")
            << otherFile.arg(QStringLiteral("ON_OTHER"), kFileId) << false;
        QTest::newRow("unknown certificate, lower-cased")
            << with(fitting(), "thumbprint", "FFFF")
            << QStringLiteral("Сертификат с отпечатком ffff не найден в хранилище этого компьютера")
            << true;
    }

    void refusals()
    {
        QFETCH(QJsonObject, payload);
        QFETCH(QString, message);
        QFETCH(bool, storeRead);

        const TaskOutcome outcome = EdoTitleTask(&m_signer).execute(task(payload));
        QVERIFY(!outcome.ok);
        if (message.endsWith(QStringLiteral(": "))) {
            QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
            QVERIFY(outcome.message.size() > message.size());
        } else {
            QCOMPARE(outcome.message, message);
        }
        QVERIFY(outcome.data.isEmpty());
        QVERIFY(outcome.signedHash.isEmpty());
        QCOMPARE(m_signer.certificateReads(), storeRead ? 1 : 0);
        QVERIFY(m_signer.signCalls().isEmpty());
    }

    void signs_data()
    {
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QJsonObject>("payload");

        const QByteArray cp1251 = readData(QStringLiteral("buyer-title-cp1251.xml"));
        const QString seller = QString::fromUtf8(readData(QStringLiteral("seller-title.xml")));
        QTest::newRow("windows-1251 title") << cp1251 << payload(cp1251, seller);

        const QByteArray utf8 = buyerTitle(kFileId);
        QTest::newRow("UTF-8 title") << utf8 << fitting();
        QTest::newRow("detached true") << utf8 << with(fitting(), "detached", true);
        QTest::newRow("detached not a boolean") << utf8 << with(fitting(), "detached", "false");
        QTest::newRow("thumbprint in upper case")
            << utf8 << with(fitting(), "thumbprint", kThumbprint.toUpper());
        QTest::newRow("one of several buyers")
            << utf8
            << payload(utf8, sellerTitle(kFileId, buyerPart(QStringLiteral("123456789012")) +
                                                      buyerPart(kInn)));
        const QByteArray undeclared =
            "<Файл><ИдИнфПрод ИдФайлИнфПр=\"" + kFileId.toUtf8() + "\"/></Файл>";
        QTest::newRow("no declaration, UTF-8")
            << undeclared << payload(undeclared, sellerTitle(kFileId, buyerPart(kInn)));
    }

    void signs()
    {
        QFETCH(QByteArray, title);
        QFETCH(QJsonObject, payload);
        QVERIFY(!title.isEmpty());

        Test::LogCapture log;
        const TaskOutcome outcome = EdoTitleTask(&m_signer).execute(task(payload));
        QVERIFY2(outcome.ok, qPrintable(outcome.message));
        QVERIFY(outcome.message.isEmpty());
        QCOMPARE(outcome.data,
                 QJsonObject({{"signature", QString::fromLatin1(m_signer.kDefaultSignature)}}));
        QCOMPARE(outcome.signedHash,
                 QString::fromLatin1(
                     QCryptographicHash::hash(title, QCryptographicHash::Sha256).toHex()));
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

    // Read as UTF-8, the windows-1251 title's element names are not even XML names: its
    // declaration is what makes it readable at all.
    void windows1251TitleNeedsItsDeclaration()
    {
        const QByteArray title = readData(QStringLiteral("buyer-title-cp1251.xml"));
        const QString seller = QString::fromUtf8(readData(QStringLiteral("seller-title.xml")));
        QVERIFY(EdoTitleTask::validateBuyerTitle(kInn, title, seller).isEmpty());

        QByteArray undeclared = title;
        undeclared.replace("encoding=\"windows-1251\"", "encoding=\"UTF-8\"");
        QVERIFY(undeclared != title);
        QVERIFY(EdoTitleTask::validateBuyerTitle(kInn, undeclared, seller)
                    .startsWith(QStringLiteral("Титул покупателя не разобрался как XML: ")));
    }

    void signerFailure_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message");
        const QString own = QStringLiteral("Ключ на носителе недоступен");
        QTest::newRow("signer's text") << own << own;
        QTest::newRow("no text") << QString() << QStringLiteral("КриптоПро не вернул подпись");
    }

    void signerFailure()
    {
        QFETCH(QString, error);
        QFETCH(QString, message);
        m_signer.setFailure(error);
        const TaskOutcome outcome = EdoTitleTask(&m_signer).execute(task(fitting()));
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.message, message);
        QVERIFY(outcome.signedHash.isEmpty());
        QCOMPARE(m_signer.signCalls().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestEdoTitleTask)
#include "tst_edotitletask.moc"
