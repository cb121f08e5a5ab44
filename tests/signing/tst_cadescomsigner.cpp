#include "core/util.h"
#include "platform/comstandin.h"
#include "signing/cadescomsigner.h"
#include "tests/support/logcapture.h"
#include "tests/support/standinsigning.h"

#include <QRegularExpression>
#include <QTest>

#include <functional>
#include <memory>

using namespace Orv;
using Request = ComStandIn::CertificateRequest;
// Prepares one failure; may replace the thumbprint to sign with.
using Setup = std::function<void(QString *thumbprint)>;
Q_DECLARE_METATYPE(Setup)

namespace {

const QString kStore = QStringLiteral("CAdESCOM.Store");
const QString kSignedData = QStringLiteral("CAdESCOM.CadesSignedData");

// Binary content with line ends and zero bytes, which a text-mode signature would alter.
const QByteArray kData = QByteArray("Документ\r\nстрока\n\0\x01\xff конец", 40);

Request request(const QString &fileName, const QString &commonName)
{
    Request r;
    r.fileName = fileName;
    r.commonName = commonName;
    return r;
}

QString add(const Request &r)
{
    const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
    return created.ok ? created.thumbprint : QString();
}

QString addOrganisation(const QString &fileName = QStringLiteral("org"))
{
    Request r = request(fileName, QStringLiteral("ООО \"Ромашка\""));
    r.innLe = QStringLiteral("7712345678");
    r.ogrn = QStringLiteral("1027700000000");
    return add(r);
}

// A PEM certificate whose key is missing, or whose PIN file holds the wrong PIN.
QString addBrokenKey(bool withKey)
{
    Request r = request(QStringLiteral("key"), QStringLiteral("Ключ"));
    r.format = Request::Format::Pem;
    r.withPrivateKey = withKey;
    r.pin = QStringLiteral("1234");
    r.pinFileText = QStringLiteral("4321");
    return add(r);
}

Setup fault(const QString &className, const QString &member, HRESULT code,
            const QString &description)
{
    return [=](QString *) {
        ComStandIn::setFault(className, member, code, description);
    };
}

void failure(const char *name, const Setup &setup, const QString &error,
             const QString &warning = {},
             SignerAvailability availability = SignerAvailability::Ready)
{
    QTest::newRow(name) << setup << error << warning << int(availability);
}

} // namespace

class TestCadesComSigner : public QObject
{
    Q_OBJECT

    std::unique_ptr<Test::StandInSigning> m_standIn;
    std::unique_ptr<CadesComSigner> m_signer;

private slots:
    void init()
    {
        m_standIn = std::make_unique<Test::StandInSigning>();
        QVERIFY(m_standIn->isValid());
        m_signer = std::make_unique<CadesComSigner>();
    }

    void cleanup()
    {
        m_signer.reset();
        QCOMPARE(ComStandIn::liveObjectCount(), 0);
        m_standIn.reset();
    }

    void listing()
    {
        Test::LogCapture log;
        QVERIFY(m_signer->certificates().isEmpty());

        const QDateTime from(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC);
        const QDateTime to = QDateTime::currentDateTimeUtc().addDays(30);
        Request person = request(QStringLiteral("a-person"), QStringLiteral("Иванов Иван"));
        person.inn = QStringLiteral("123456789012");
        person.notBefore = from;
        person.notAfter = to;
        person.format = Request::Format::Pem;
        person.keyType = Request::KeyType::Rsa;
        const QStringList created = {add(person), addOrganisation(QStringLiteral("b-org"))};
        QVERIFY(!created.contains(QString()));

        const QList<CertificateInfo> list = m_signer->certificates();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].thumbprint + u' ' + list[1].thumbprint, created.join(u' ').toLower());
        QCOMPARE(list[0].inn + u' ' + list[1].inn, QStringLiteral("123456789012 7712345678"));
        QCOMPARE(list[0].validFrom, from);
        QCOMPARE(list[0].validTo, to.addMSecs(-to.time().msec()));
        QCOMPARE(list[0].validFrom.timeSpec(), Qt::LocalTime);
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(ComStandIn::callLog().last(), QStringLiteral("CAdESCOM.Store.Close()"));
        QCOMPARE(m_signer->displayName(), QStringLiteral("КриптоПро CAdESCOM (COM)"));
    }

    // A certificate with an unreadable field is still offered, one without a thumbprint is not.
    void listingSkipsWhatCannotBeRead()
    {
        QVERIFY(!addOrganisation().isEmpty());
        const QString certificate = QStringLiteral("CAdESCOM.Certificate");
        ComStandIn::setFault(certificate, QStringLiteral("SubjectName"), E_FAIL, "сбой");
        ComStandIn::setFault(certificate, QStringLiteral("ValidToDate"), E_FAIL, {});
        const QList<CertificateInfo> list = m_signer->certificates();
        QCOMPARE(list.size(), 1);
        QVERIFY(list[0].subject.isEmpty() && list[0].inn.isEmpty());
        QVERIFY(list[0].validFrom.isValid() && !list[0].validTo.isValid());

        ComStandIn::setEmptyResult(certificate, QStringLiteral("Thumbprint"));
        QVERIFY(m_signer->certificates().isEmpty());
    }

    void listingUnavailable()
    {
        addOrganisation();
        ComStandIn::setFault(kStore, QStringLiteral("Open"), E_ACCESSDENIED,
                             QStringLiteral(" Отказано в доступе "));
        Test::LogCapture log;
        QVERIFY(m_signer->certificates().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines()[0].endsWith(QStringLiteral(
            " [WARN] сертификаты недоступны: Не удалось открыть хранилище сертификатов: Open: "
            "Отказано в доступе")));
        QVERIFY(ComStandIn::removePlugin());
        log.clear();
        QVERIFY(m_signer->certificates().isEmpty());
        QCOMPARE(log.lines().size(), 2); // the first says why the store could not be created
        QVERIFY(log.lines()[1].endsWith(QStringLiteral(" [WARN] сертификаты недоступны: ") +
                                        signerMissingText(SignerAvailability::PluginMissing)));
    }

    void signatures_data()
    {
        QTest::addColumn<bool>("detached");
        QTest::addColumn<bool>("pem");
        QTest::newRow("attached, PKCS#12 with PIN, EC") << false << false;
        QTest::newRow("detached, PKCS#12 with PIN, EC") << true << false;
        QTest::newRow("attached, PEM with PIN, RSA") << false << true;
        QTest::newRow("detached, PEM with PIN, RSA") << true << true;
    }

    void signatures()
    {
        QFETCH(bool, detached);
        QFETCH(bool, pem);
        Request r = request(QStringLiteral("signer"), QStringLiteral("Петров Пётр"));
        r.inn = QStringLiteral("123456789012");
        r.pin = r.pinFileText = QStringLiteral("12345678");
        if (pem) {
            r.format = Request::Format::Pem;
            r.keyType = Request::KeyType::Rsa;
        }
        const QString thumbprint = add(r);
        QVERIFY(!thumbprint.isEmpty());

        QString error;
        // The store's search does not depend on the case of the thumbprint.
        const QByteArray signature = m_signer->sign(kData, thumbprint.toLower(), detached, &error);
        QVERIFY2(!signature.isEmpty(), qPrintable(error));
        // The provider breaks its base64 into lines; the answer is one line.
        static const QRegularExpression base64(QStringLiteral("^[A-Za-z0-9+/]{64,}=*$"));
        QVERIFY(base64.match(QString::fromLatin1(signature)).hasMatch());
        QString detail;
        QVERIFY2(Test::StandInSigning::verify(signature, kData, detached, &detail),
                 qPrintable(detail));
        QVERIFY(!Test::StandInSigning::verify(signature, kData + "x", detached, &detail));
    }

    void callSequence()
    {
        const QString thumbprint = addOrganisation();
        QVERIFY(!thumbprint.isEmpty());
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(!m_signer->sign("abc", thumbprint, true, nullptr).isEmpty());
        const QDateTime after = QDateTime::currentDateTime();
        QStringList calls = ComStandIn::callLog();
        static const QRegularExpression date(QStringLiteral("#([0-9T:-]+)#"));
        const QString valueLine = calls.filter(QStringLiteral("CPAttribute.Value")).value(0);
        const QDateTime signingTime =
            QDateTime::fromString(date.match(valueLine).captured(1), Qt::ISODate);
        QVERIFY(signingTime >= before.addMSecs(-before.time().msec()) && signingTime <= after);
        calls.replaceInStrings(date, QStringLiteral("#now#"));
        QCOMPARE(calls, QStringList({
                            "new CAdESCOM.Store",
                            "CAdESCOM.Store.Open(2, \"My\", 0)",
                            "CAdESCOM.Store.Certificates()",
                            "CAdESCOM.Certificates.Find(0, \"" + thumbprint + "\")",
                            "CAdESCOM.Certificates.Item(1)",
                            "new CAdESCOM.CPSigner",
                            "new CAdESCOM.CPAttribute",
                            "new CAdESCOM.CadesSignedData",
                            "CAdESCOM.CPSigner.Certificate = <CAdESCOM.Certificate>",
                            "CAdESCOM.CPAttribute.Name = 0",
                            "CAdESCOM.CPAttribute.Value = #now#",
                            "CAdESCOM.CPSigner.AuthenticatedAttributes2()",
                            "CAdESCOM.CPAttributes.Add(<CAdESCOM.CPAttribute>)",
                            "CAdESCOM.CadesSignedData.ContentEncoding = 1",
                            "CAdESCOM.CadesSignedData.Content = \"YWJj\"",
                            "CAdESCOM.CadesSignedData.SignCades(<CAdESCOM.CPSigner>, 1, true, 0)",
                            "CAdESCOM.Store.Close()",
                        }));
    }

    // Without the signing-time attribute the signature is still made.
    void signsWithoutAttributes()
    {
        const QString thumbprint = addOrganisation();
        ComStandIn::setFault(QStringLiteral("CAdESCOM.CPSigner"),
                             QStringLiteral("AuthenticatedAttributes2"), E_NOTIMPL, "нет");
        QString error;
        const QByteArray signature = m_signer->sign(kData, thumbprint, false, &error);
        QVERIFY2(Test::StandInSigning::verify(signature, kData, false, &error), qPrintable(error));
    }

    void failures_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<int>("availability");
        const QString pluginText = signerMissingText(SignerAvailability::PluginMissing);
        const QString noStore =
            "CAdESCOM недоступен: Не удалось создать компонент CAdESCOM.Store (0x80040154)";
        failure(
            "provider missing",
            [](QString *) { ComStandIn::removeProvider(), ComStandIn::removePlugin(); },
            signerMissingText(SignerAvailability::CspMissing), noStore,
            SignerAvailability::CspMissing);
        // Only the store's class decides whether the plug-in counts as installed.
        failure(
            "plug-in missing", [](QString *) { ComStandIn::removeClass(kStore); }, pluginText,
            noStore, SignerAvailability::PluginMissing);
        failure(
            "signing objects missing", [](QString *) { ComStandIn::removeClass(kSignedData); },
            pluginText,
            "компоненты подписи недоступны: Не удалось создать компонент "
            "CAdESCOM.CadesSignedData (0x80040154)");
        failure("store not openable", fault(kStore, "Open", E_ACCESSDENIED, "Отказано в доступе"),
                "Не удалось открыть хранилище сертификатов: Open: Отказано в доступе");
        failure(
            "certificate not found", [](QString *thumbprint) { *thumbprint = "00FF"; },
            "Сертификат с отпечатком 00FF не найден в хранилище");
        failure(
            "preparation failure",
            fault(kSignedData, "Content", OrvComDetail::hresultOf(0x80090005), "Неверные данные"),
            "КриптоПро отказал при подготовке подписи: Content: Неверные данные");
        // A failed step is not forgotten when the later ones succeed.
        failure("preparation, first step",
                fault("CAdESCOM.CPSigner", "Certificate", E_FAIL, "первый сбой"),
                "КриптоПро отказал при подготовке подписи: Certificate: первый сбой");
        failure(
            "refusal: no private key",
            [](QString *thumbprint) { *thumbprint = addBrokenKey(false); },
            "КриптоПро отказал в подписи: SignCades: Не найден закрытый ключ сертификата "
            "(0x8009200B)");
        failure(
            "refusal: wrong PIN", [](QString *thumbprint) { *thumbprint = addBrokenKey(true); },
            "КриптоПро отказал в подписи: SignCades: Указан неверный PIN-код ключа "
            "(0x8010006B)");
        failure(
            "empty result", [](QString *) { ComStandIn::setEmptyResult(kSignedData, "SignCades"); },
            "КриптоПро не вернул подпись. Проверьте, что вставлен носитель с ключом и введён "
            "верный PIN");
    }

    void failures()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, error);
        QFETCH(QString, warning);
        QFETCH(int, availability);
        QString thumbprint = addOrganisation();
        setup(&thumbprint);
        QCOMPARE(int(m_signer->availability()), availability);
        Test::LogCapture log;
        QString text;
        QVERIFY(m_signer->sign(kData, thumbprint, true, &text).isEmpty());
        QCOMPARE(text, error);
        QVERIFY(m_signer->sign(kData, thumbprint, true, nullptr).isEmpty());
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), warning.isEmpty() ? 0 : 2);
        if (!warning.isEmpty())
            QVERIFY2(lines[0].endsWith(QStringLiteral(" [WARN] ") + warning), qPrintable(lines[0]));
    }
};

QTEST_GUILESS_MAIN(TestCadesComSigner)
#include "tst_cadescomsigner.moc"