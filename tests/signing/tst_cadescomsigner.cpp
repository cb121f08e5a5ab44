#include "core/util.h"
#include "platform/comstandin.h"
#include "signing/cadescomsigner.h"
#include "tests/support/logcapture.h"
#include "tests/support/standinsigning.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Orv;
using Request = ComStandIn::CertificateRequest;

namespace {

Request request(const QString &fileName, const QString &commonName)
{
    Request r;
    r.fileName = fileName;
    r.commonName = commonName;
    return r;
}

// Binary content with line ends and zero bytes, which a text-mode signature would alter.
const QByteArray kData = QByteArray("Документ\r\nстрока\n\0\x01\xff конец", 40);

const QString kNoSignature = QStringLiteral(
    "КриптоПро не вернул подпись. Проверьте, что вставлен носитель с ключом и введён верный PIN");

} // namespace

class TestCadesComSigner : public QObject
{
    Q_OBJECT

    std::unique_ptr<Test::StandInSigning> m_standIn;
    std::unique_ptr<CadesComSigner> m_signer;

    QString addOrganisation(const QString &fileName = QStringLiteral("org"))
    {
        Request r = request(fileName, QStringLiteral("ООО \"Ромашка\""));
        r.innLe = QStringLiteral("7712345678");
        r.ogrn = QStringLiteral("1027700000000");
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        return created.ok ? created.thumbprint : QString();
    }

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

    void availability_data()
    {
        QTest::addColumn<bool>("provider");
        QTest::addColumn<QString>("removedClass");
        QTest::addColumn<int>("availability");
        QTest::newRow("ready") << true << "" << int(SignerAvailability::Ready);
        QTest::newRow("no provider") << false << "" << int(SignerAvailability::CspMissing);
        QTest::newRow("no provider, no plug-in")
            << false << "*" << int(SignerAvailability::CspMissing);
        QTest::newRow("no plug-in") << true << "*" << int(SignerAvailability::PluginMissing);
        QTest::newRow("no store class")
            << true << "CAdESCOM.Store" << int(SignerAvailability::PluginMissing);
        QTest::newRow("another class missing")
            << true << "CAdESCOM.CPSigner" << int(SignerAvailability::Ready);
    }

    void availability()
    {
        QFETCH(bool, provider);
        QFETCH(QString, removedClass);
        QFETCH(int, availability);
        if (!provider)
            QVERIFY(ComStandIn::removeProvider());
        if (removedClass == QLatin1String("*"))
            QVERIFY(ComStandIn::removePlugin());
        else if (!removedClass.isEmpty())
            QVERIFY(ComStandIn::removeClass(removedClass));
        QCOMPARE(int(m_signer->availability()), availability);
        QCOMPARE(m_signer->displayName(), QStringLiteral("КриптоПро CAdESCOM (COM)"));
    }

    void listing()
    {
        Test::LogCapture log;
        QVERIFY(m_signer->certificates().isEmpty());
        QVERIFY(log.lines().isEmpty());

        const QDateTime from(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC);
        const QDateTime to = QDateTime::currentDateTimeUtc().addDays(30);
        Request person = request(QStringLiteral("a-person"), QStringLiteral("Иванов Иван"));
        person.inn = QStringLiteral("123456789012");
        person.snils = QStringLiteral("12345678901");
        person.notBefore = from;
        person.notAfter = to;
        person.format = Request::Format::Pem;
        person.keyType = Request::KeyType::Rsa;
        Request zeros = request(QStringLiteral("b-zeros"), QStringLiteral("ООО Нули"));
        zeros.inn = QStringLiteral("007712345678");
        Request nobody = request(QStringLiteral("c-nobody"), QStringLiteral("Без ИНН"));
        nobody.withPrivateKey = false;
        QList<ComStandIn::CreatedCertificate> created;
        for (const Request &r : {person, zeros, nobody}) {
            created << ComStandIn::createCertificate(r);
            QVERIFY2(created.last().ok, qPrintable(created.last().error));
        }
        const QString organisation = addOrganisation(QStringLiteral("d-org"));

        const QList<CertificateInfo> list = m_signer->certificates();
        QCOMPARE(list.size(), 4);
        QStringList thumbprints;
        QStringList inns;
        for (const CertificateInfo &info : list) {
            thumbprints << info.thumbprint;
            inns << info.inn;
        }
        QCOMPARE(thumbprints,
                 QStringList({created[0].thumbprint.toLower(), created[1].thumbprint.toLower(),
                              created[2].thumbprint.toLower(), organisation.toLower()}));
        QCOMPARE(inns, QStringList({"123456789012", "7712345678", "", "7712345678"}));
        QCOMPARE(list[0].subject,
                 QStringLiteral("СНИЛС=12345678901, ИНН=123456789012, CN=Иванов Иван, C=RU"));
        QVERIFY(list[3].subject.contains(QStringLiteral("CN=\"ООО \"\"Ромашка\"\"\"")));
        QCOMPARE(list[0].validFrom, from);
        QCOMPARE(list[0].validTo, to.addMSecs(-to.time().msec()));
        QCOMPARE(list[0].validFrom.timeSpec(), Qt::LocalTime);
        QVERIFY(log.lines().isEmpty());
        const QStringList calls = ComStandIn::callLog();
        QCOMPARE(calls.first(), QStringLiteral("new CAdESCOM.Store"));
        QCOMPARE(calls.last(), QStringLiteral("CAdESCOM.Store.Close()"));
        QVERIFY(calls.contains(QStringLiteral("CAdESCOM.Store.Open(2, \"My\", 0)")));
        QVERIFY(calls.contains(QStringLiteral("CAdESCOM.Certificates.Item(4)")));
    }

    void listingSkipsWhatCannotBeRead()
    {
        const QString organisation = addOrganisation();
        ComStandIn::setFault(QStringLiteral("CAdESCOM.Certificate"), QStringLiteral("SubjectName"),
                             E_FAIL, QStringLiteral("сбой"));
        ComStandIn::setFault(QStringLiteral("CAdESCOM.Certificate"), QStringLiteral("ValidToDate"),
                             E_FAIL, {});
        QList<CertificateInfo> list = m_signer->certificates();
        QCOMPARE(list.size(), 1);
        QVERIFY(list[0].subject.isEmpty() && list[0].inn.isEmpty());
        QVERIFY(list[0].validFrom.isValid() && !list[0].validTo.isValid());

        ComStandIn::setEmptyResult(QStringLiteral("CAdESCOM.Certificate"),
                                   QStringLiteral("Thumbprint"));
        QVERIFY(m_signer->certificates().isEmpty());
        ComStandIn::clearFaults();
        ComStandIn::setFault(QStringLiteral("CAdESCOM.Certificates"), QStringLiteral("Count"),
                             E_FAIL, QStringLiteral("сбой"));
        QVERIFY(m_signer->certificates().isEmpty());
        QCOMPARE(ComStandIn::callLog().last(), QStringLiteral("CAdESCOM.Store.Close()"));
        ComStandIn::clearFaults();
        ComStandIn::clearCallLog();
        ComStandIn::setEmptyResult(QStringLiteral("CAdESCOM.Store"),
                                   QStringLiteral("Certificates"));
        QVERIFY(m_signer->certificates().isEmpty());
        // Close is called only once the collection was reached.
        QVERIFY(!ComStandIn::callLog().contains(QStringLiteral("CAdESCOM.Store.Close()")));
        QVERIFY(!organisation.isEmpty());
    }

    void listingUnavailable_data()
    {
        QTest::addColumn<bool>("plugin");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("store not openable")
            << true
            << QStringList{"сертификаты недоступны: Не удалось открыть хранилище сертификатов: "
                           "Open: Отказано в доступе"};
        QTest::newRow("plug-in missing")
            << false
            << QStringList{"CAdESCOM недоступен: Не удалось создать компонент CAdESCOM.Store "
                           "(0x80040154)",
                           "сертификаты недоступны: " +
                               signerMissingText(SignerAvailability::PluginMissing)};
    }

    void listingUnavailable()
    {
        QFETCH(bool, plugin);
        QFETCH(QStringList, warnings);
        addOrganisation();
        if (plugin)
            ComStandIn::setFault(QStringLiteral("CAdESCOM.Store"), QStringLiteral("Open"),
                                 E_ACCESSDENIED, QStringLiteral(" Отказано в доступе "));
        else
            QVERIFY(ComStandIn::removePlugin());
        Test::LogCapture log;
        QVERIFY(m_signer->certificates().isEmpty());
        QStringList lines = log.lines();
        for (QString &line : lines) {
            QVERIFY2(line.contains(QStringLiteral(" [WARN] ")), qPrintable(line));
            line = line.section(QStringLiteral(" [WARN] "), 1);
        }
        QCOMPARE(lines, warnings);
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
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        QVERIFY2(created.ok, qPrintable(created.error));

        QString error = QStringLiteral("было");
        // The store's search does not depend on the case of the thumbprint.
        const QByteArray signature =
            m_signer->sign(kData, created.thumbprint.toLower(), detached, &error);
        QVERIFY(!signature.isEmpty());
        QCOMPARE(error, QStringLiteral("было"));
        // The provider breaks its base64 into lines; the answer is one line.
        static const QRegularExpression base64(QStringLiteral("^[A-Za-z0-9+/]+=*$"));
        QVERIFY(signature.size() > 64);
        QVERIFY(base64.match(QString::fromLatin1(signature)).hasMatch());
        QCOMPARE(QByteArray::fromBase64(signature).contains(kData), !detached);
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

    void signsWithoutAttributes()
    {
        const QString thumbprint = addOrganisation();
        ComStandIn::setFault(QStringLiteral("CAdESCOM.CPSigner"),
                             QStringLiteral("AuthenticatedAttributes2"), E_NOTIMPL,
                             QStringLiteral("нет"));
        QString error;
        const QByteArray signature = m_signer->sign(kData, thumbprint, false, &error);
        QVERIFY2(!signature.isEmpty(), qPrintable(error));
        QVERIFY(Test::StandInSigning::verify(signature, kData, false, &error));
        QVERIFY(ComStandIn::callLog().filter(QStringLiteral("CPAttributes.Add")).isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("closed");
        const QString pluginText = signerMissingText(SignerAvailability::PluginMissing);
        QTest::newRow("provider missing")
            << "provider" << signerMissingText(SignerAvailability::CspMissing)
            << "CAdESCOM недоступен: Не удалось создать компонент CAdESCOM.Store (0x80040154)"
            << false;
        QTest::newRow("plug-in missing")
            << "plugin" << pluginText
            << "CAdESCOM недоступен: Не удалось создать компонент CAdESCOM.Store (0x80040154)"
            << false;
        QTest::newRow("signing objects missing")
            << "signeddata" << pluginText
            << "компоненты подписи недоступны: Не удалось создать компонент "
               "CAdESCOM.CadesSignedData (0x80040154)"
            << false;
        QTest::newRow("store not openable")
            << "open"
            << "Не удалось открыть хранилище сертификатов: Open: Отказано в доступе"
            << "" << false;
        QTest::newRow("certificate not found")
            << "unknown"
            << "Сертификат с отпечатком 00FF не найден в хранилище"
            << "" << false;
        QTest::newRow("search fails") << "find"
                                      << "Сертификат с отпечатком 00FF не найден в хранилище"
                                      << "" << false;
        QTest::newRow("preparation failure")
            << "content"
            << "КриптоПро отказал при подготовке подписи: Content: Неверные данные"
            << "" << false;
        QTest::newRow("preparation: the last failure is told")
            << "two"
            << "КриптоПро отказал при подготовке подписи: ContentEncoding: второй сбой"
            << "" << false;
        QTest::newRow("refusal: no private key")
            << "nokey"
            << "КриптоПро отказал в подписи: SignCades: Не найден закрытый ключ сертификата "
               "(0x8009200B)"
            << "" << true;
        QTest::newRow("refusal: wrong PIN")
            << "wrongpin"
            << "КриптоПро отказал в подписи: SignCades: Указан неверный PIN-код ключа "
               "(0x8010006B)"
            << "" << true;
        QTest::newRow("refusal without description")
            << "plainrefusal"
            << "КриптоПро отказал в подписи: Ошибка вызова SignCades (0x80004005)"
            << "" << true;
        QTest::newRow("empty result") << "empty" << kNoSignature << "" << true;
    }

    void failures()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, error);
        QFETCH(QString, warning);
        QFETCH(bool, closed);
        QString thumbprint = addOrganisation();
        const QString signedData = QStringLiteral("CAdESCOM.CadesSignedData");
        if (scenario == QLatin1String("provider")) {
            QVERIFY(ComStandIn::removeProvider() && ComStandIn::removePlugin());
        } else if (scenario == QLatin1String("plugin")) {
            QVERIFY(ComStandIn::removePlugin());
        } else if (scenario == QLatin1String("signeddata")) {
            QVERIFY(ComStandIn::removeClass(signedData));
        } else if (scenario == QLatin1String("open")) {
            ComStandIn::setFault(QStringLiteral("CAdESCOM.Store"), QStringLiteral("Open"),
                                 E_ACCESSDENIED, QStringLiteral("Отказано в доступе"));
        } else if (scenario == QLatin1String("unknown")) {
            thumbprint = QStringLiteral("00FF");
        } else if (scenario == QLatin1String("find")) {
            thumbprint = QStringLiteral("00FF");
            ComStandIn::setFault(QStringLiteral("CAdESCOM.Certificates"), QStringLiteral("Find"),
                                 E_FAIL, QStringLiteral("сбой"));
        } else if (scenario == QLatin1String("content")) {
            ComStandIn::setFault(signedData, QStringLiteral("Content"),
                                 OrvComDetail::hresultOf(0x80090005),
                                 QStringLiteral("Неверные данные"));
        } else if (scenario == QLatin1String("two")) {
            ComStandIn::setFault(QStringLiteral("CAdESCOM.CPSigner"), QStringLiteral("Certificate"),
                                 E_FAIL, QStringLiteral("первый сбой"));
            ComStandIn::setFault(signedData, QStringLiteral("ContentEncoding"), E_FAIL,
                                 QStringLiteral("второй сбой"));
        } else if (scenario == QLatin1String("nokey") || scenario == QLatin1String("wrongpin")) {
            Request r = request(QStringLiteral("key"), QStringLiteral("Ключ"));
            r.format = Request::Format::Pem;
            r.withPrivateKey = scenario == QLatin1String("wrongpin");
            r.pin = QStringLiteral("1234");
            r.pinFileText = QStringLiteral("4321");
            const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
            QVERIFY(created.ok);
            thumbprint = created.thumbprint;
        } else if (scenario == QLatin1String("plainrefusal")) {
            ComStandIn::setFault(signedData, QStringLiteral("SignCades"), E_FAIL, {});
        } else if (scenario == QLatin1String("empty")) {
            ComStandIn::setEmptyResult(signedData, QStringLiteral("SignCades"));
        }
        ComStandIn::clearCallLog();
        Test::LogCapture log;
        QString text;
        QVERIFY(m_signer->sign(kData, thumbprint, true, &text).isEmpty());
        QCOMPARE(text, error);
        QVERIFY(m_signer->sign(kData, thumbprint, true, nullptr).isEmpty());
        QStringList lines = log.lines();
        QCOMPARE(lines.size(), warning.isEmpty() ? 0 : 2);
        if (!warning.isEmpty())
            QVERIFY2(lines[0].endsWith(QStringLiteral(" [WARN] ") + warning), qPrintable(lines[0]));
        QCOMPARE(ComStandIn::callLog().contains(QStringLiteral("CAdESCOM.Store.Close()")), closed);
    }
};

QTEST_GUILESS_MAIN(TestCadesComSigner)
#include "tst_cadescomsigner.moc"
