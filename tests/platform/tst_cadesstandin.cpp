#include "platform/comstandin.h"
#include "signing/comobject.h"
#include "tests/support/standinsigning.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>

using namespace Orv;
using Request = ComStandIn::CertificateRequest;

namespace {

const QString kStore = QStringLiteral("CAdESCOM.Store");

Request request(const QString &fileName)
{
    Request r;
    r.fileName = fileName;
    r.commonName = QStringLiteral("Иванов Иван");
    return r;
}

// What a CMS structure says about itself, read with OpenSSL.
struct CmsFacts
{
    bool parsed = false;
    bool hasContent = false;
    bool signingCertificateV2 = false;
    int certificates = 0;
    QDateTime signingTime;
};

CmsFacts inspect(const QString &base64)
{
    CmsFacts facts;
    const QByteArray der = QByteArray::fromBase64(base64.toLatin1());
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &bytes, long(der.size())), CMS_ContentInfo_free);
    if (!cms)
        return facts;
    facts.parsed = true;
    ASN1_OCTET_STRING **content = CMS_get0_content(cms.get());
    facts.hasContent = content && *content;
    STACK_OF(X509) *certificates = CMS_get1_certs(cms.get());
    facts.certificates = sk_X509_num(certificates);
    sk_X509_pop_free(certificates, X509_free);
    CMS_SignerInfo *signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    facts.signingCertificateV2 =
        CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1) >= 0;
    X509_ATTRIBUTE *time =
        CMS_signed_get_attr(signer, CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1));
    ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(time, 0);
    struct tm fields = {};
    if (value && ASN1_TIME_to_tm(value->value.utctime, &fields))
        facts.signingTime =
            QDateTime(QDate(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday),
                      QTime(fields.tm_hour, fields.tm_min, fields.tm_sec), Qt::UTC);
    return facts;
}

} // namespace

class TestCadesStandIn : public QObject
{
    Q_OBJECT

    std::optional<ComApartment> m_apartment;
    std::unique_ptr<Test::StandInSigning> m_standIn;

    // The first certificate of the personal store, through the emulated objects.
    ComObject firstCertificate(ComObject *store = nullptr)
    {
        ComObject opened = ComObject::create(kStore, {});
        opened.call(QStringLiteral("Open"), {2, QStringLiteral("My"), 0});
        if (store)
            *store = opened;
        return opened.object(QStringLiteral("Certificates")).object(QStringLiteral("Item"), {1});
    }

    // A signed-data object ready to sign "abc" with the first certificate, detached.
    QVariant sign(const QDateTime &signingTime, bool detached, QString *error)
    {
        const ComObject signer = ComObject::create(QStringLiteral("CAdESCOM.CPSigner"), {});
        const ComObject attribute = ComObject::create(QStringLiteral("CAdESCOM.CPAttribute"), {});
        const ComObject data = ComObject::create(QStringLiteral("CAdESCOM.CadesSignedData"), {});
        signer.setProperty(QStringLiteral("Certificate"), QVariant::fromValue(firstCertificate()));
        if (signingTime.isValid()) {
            attribute.setProperty(QStringLiteral("Value"), signingTime);
            signer.object(QStringLiteral("AuthenticatedAttributes2"))
                .call(QStringLiteral("Add"), {QVariant::fromValue(attribute)});
        }
        data.setProperty(QStringLiteral("ContentEncoding"), 1);
        data.setProperty(QStringLiteral("Content"), QStringLiteral("YWJj"));
        return data.call(QStringLiteral("SignCades"), {QVariant::fromValue(signer), 1, detached, 0},
                         error);
    }

private slots:
    void initTestCase() { m_apartment.emplace(); }
    void cleanupTestCase() { m_apartment.reset(); }

    void init()
    {
        m_standIn = std::make_unique<Test::StandInSigning>();
        QVERIFY(m_standIn->isValid());
    }

    void cleanup()
    {
        m_standIn.reset();
        QCOMPARE(ComStandIn::liveObjectCount(), 0);
    }

    void subjectAsTheWindowsStoreWritesIt()
    {
        Request r = request(QStringLiteral("org"));
        r.commonName = QStringLiteral(" ООО \"Ромашка\"");
        r.organization = QStringLiteral("Ромашка, и партнёры");
        r.innLe = QStringLiteral("7712345678");
        r.ogrn = QStringLiteral("1027700000000");
        r.ogrnip = QStringLiteral("312774600000000");
        r.inn = QStringLiteral("007712345678");
        r.snils = QStringLiteral("12345678901");
        QVERIFY(ComStandIn::createCertificate(r).ok);
        QCOMPARE(firstCertificate().property(QStringLiteral("SubjectName")).toString(),
                 QStringLiteral("СНИЛС=12345678901, ИНН=007712345678, ОГРНИП=312774600000000, "
                                "ОГРН=1027700000000, ИНН ЮЛ=7712345678, "
                                "CN=\" ООО \"\"Ромашка\"\"\", O=\"Ромашка, и партнёры\", C=RU"));
    }

    void certificateProperties()
    {
        Request r = request(QStringLiteral("b"));
        r.notBefore = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC);
        r.notAfter = QDateTime(QDate(2049, 6, 7), QTime(8, 9, 10), Qt::UTC);
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("a"))).ok);
        QFile broken(QFileInfo(created.path).dir().filePath(QStringLiteral("0-broken.pfx")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("not a PKCS#12") > 0);
        broken.close();

        ComObject store = ComObject::create(kStore, {});
        QString error;
        QVERIFY(store.object(QStringLiteral("Certificates"), {}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Certificates: Хранилище не открыто"));
        store.call(QStringLiteral("Open"));
        const ComObject all = store.object(QStringLiteral("Certificates"));
        QCOMPARE(all.property(QStringLiteral("Count")).toInt(), 2);
        const ComObject second = all.object(QStringLiteral("Item"), {2});
        QCOMPARE(second.property(QStringLiteral("Thumbprint")).toString(), created.thumbprint);
        QVERIFY(created.thumbprint.contains(QRegularExpression(QStringLiteral("^[0-9A-F]{40}$"))));
        QCOMPARE(second.property(QStringLiteral("ValidFromDate")).toDateTime(), r.notBefore);
        QCOMPARE(second.property(QStringLiteral("ValidToDate")).toDateTime(), r.notAfter);
        const ComObject found =
            all.object(QStringLiteral("Find"), {0, created.thumbprint.toLower()});
        QCOMPARE(found.property(QStringLiteral("Count")).toInt(), 1);
        QVERIFY(all.object(QStringLiteral("Item"), {3}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Item: Индекс вне диапазона"));
        QVERIFY(all.object(QStringLiteral("Find"), {1, QStringLiteral("x")}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Find: Поиск по признаку 1 стендом не поддерживается"));
        store.call(QStringLiteral("Open"), {0, QStringLiteral("My"), 0}, &error);
        QCOMPARE(error, QStringLiteral("Open: Размещение хранилища 0 стендом не поддерживается"));
        store.call(QStringLiteral("Close"));
        QVERIFY(store.object(QStringLiteral("Certificates")).isNull());
    }

    void signingTimeComesFromTheAttribute()
    {
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("a"))).ok);
        const QDateTime moment(QDate(2021, 5, 6), QTime(7, 8, 9), Qt::LocalTime);
        QString error;
        const CmsFacts detached = inspect(sign(moment, true, &error).toString());
        QVERIFY2(detached.parsed, qPrintable(error));
        QCOMPARE(detached.signingTime, moment.toUTC());
        QVERIFY(detached.signingCertificateV2);
        QVERIFY(!detached.hasContent);
        QCOMPARE(detached.certificates, 1);
        const CmsFacts attached = inspect(sign(moment, false, &error).toString());
        QVERIFY(attached.hasContent);
        // Without the attribute OpenSSL still records the moment of signing.
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        const CmsFacts plain = inspect(sign({}, true, &error).toString());
        QVERIFY(plain.signingTime >= before.addMSecs(-before.time().msec()));
    }

    void providerRefusals()
    {
        const ComObject signer = ComObject::create(QStringLiteral("CAdESCOM.CPSigner"), {});
        const ComObject data = ComObject::create(QStringLiteral("CAdESCOM.CadesSignedData"), {});
        const ComObject attribute = ComObject::create(QStringLiteral("CAdESCOM.CPAttribute"), {});
        const QVariant signerArgument = QVariant::fromValue(signer);
        QString error;
        QVERIFY(!data.call(QStringLiteral("SignCades"), {signerArgument, 1, false, 0}, &error)
                     .isValid());
        QCOMPARE(error, QStringLiteral("SignCades: Не задан сертификат подписи"));

        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("a"))).ok);
        QVERIFY(signer.setProperty(QStringLiteral("Certificate"),
                                   QVariant::fromValue(firstCertificate())));
        data.call(QStringLiteral("SignCades"), {signerArgument, 1, false, 0}, &error);
        QCOMPARE(error, QStringLiteral("SignCades: Не задано содержимое для подписи"));
        QVERIFY(data.setProperty(QStringLiteral("ContentEncoding"), 1));
        QVERIFY(!data.setProperty(QStringLiteral("Content"), QStringLiteral("не base64"), &error));
        QCOMPARE(error, QStringLiteral("Content: Содержимое не в кодировке base64 (0x80090005)"));
        QVERIFY(!attribute.setProperty(QStringLiteral("Name"), 1, &error));
        QCOMPARE(error, QStringLiteral("Name: Атрибут 1 стендом не поддерживается"));
        QVERIFY(data.setProperty(QStringLiteral("Content"), QStringLiteral("YWJj")));
        data.call(QStringLiteral("SignCades"), {signerArgument, 2, false, 0}, &error);
        QCOMPARE(error, QStringLiteral("SignCades: Тип подписи 2 стендом не поддерживается"));
        QVERIFY(ComStandIn::removeProvider());
        data.call(QStringLiteral("SignCades"), {signerArgument, 1, false, 0}, &error);
        QCOMPARE(error, QStringLiteral("SignCades: Провайдер типа 80 не установлен (0x80090017)"));
    }

    // A PKCS#12 file whose certificates are encrypted too, as the openssl tool exports them:
    // the store lists it only with the right PIN in the PIN file.
    void encryptedPkcs12NeedsThePin()
    {
        Request r = request(QStringLiteral("plain"));
        r.format = Request::Format::Pem;
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        QFile pem(created.path);
        QVERIFY(pem.open(QIODevice::ReadOnly));
        const QByteArray bytes = pem.readAll();
        pem.close();
        QVERIFY(pem.remove());
        BIO *in = BIO_new_mem_buf(bytes.constData(), int(bytes.size()));
        X509 *certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        EVP_PKEY *key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        PKCS12 *p12 = PKCS12_create("secret", "x", key, certificate, nullptr, 0, 0, 0, 0, 0);
        unsigned char *der = nullptr;
        const int length = i2d_PKCS12(p12, &der);
        const QDir folder = QFileInfo(created.path).dir();
        QFile pfx(folder.filePath(QStringLiteral("exported.pfx")));
        QVERIFY(pfx.open(QIODevice::WriteOnly));
        pfx.write(reinterpret_cast<char *>(der), length);
        pfx.close();
        OPENSSL_free(der);
        PKCS12_free(p12);
        EVP_PKEY_free(key);
        X509_free(certificate);
        BIO_free(in);

        QFile pin(folder.filePath(QStringLiteral("exported.pin")));
        QVERIFY(pin.open(QIODevice::WriteOnly) && pin.write("wrong\n") > 0);
        pin.close();
        QVERIFY(firstCertificate().isNull());
        QVERIFY(pin.open(QIODevice::WriteOnly) && pin.write("secret\n") > 0);
        pin.close();
        QCOMPARE(firstCertificate().property(QStringLiteral("Thumbprint")).toString(),
                 created.thumbprint);
        QString error;
        QVERIFY2(sign({}, true, &error).isValid(), qPrintable(error));
    }

    void injectedFaults()
    {
        const int strings = ComStandIn::liveStringCount();
        const ComObject store = ComObject::create(kStore, {});
        QString error;
        ComStandIn::setFault(kStore.toLower(), QStringLiteral("OPEN"), E_ACCESSDENIED,
                             QStringLiteral("нет доступа"));
        QVERIFY(!store.call(QStringLiteral("Open"), {}, &error).isValid());
        QCOMPARE(error, QStringLiteral("Open: нет доступа"));
        ComStandIn::setFault(kStore, QStringLiteral("Open"), E_ACCESSDENIED, {});
        store.call(QStringLiteral("Open"), {}, &error);
        QCOMPARE(error, QStringLiteral("Ошибка вызова Open (0x80070005)"));
        ComStandIn::clearFaults();
        error.clear();
        store.call(QStringLiteral("Open"), {}, &error);
        QVERIFY(error.isEmpty());
        ComStandIn::setEmptyResult(kStore, QStringLiteral("Certificates"));
        QVERIFY(!store.call(QStringLiteral("Certificates"), {}, &error).isValid());
        QVERIFY(error.isEmpty());
        QCOMPARE(ComStandIn::liveStringCount(), strings);
    }

    void dispatchRules()
    {
        auto idOf = [](IDispatch *dispatch, QString name, DISPID *id) {
            LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(name.data())};
            return dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
        };
        ComObject store = ComObject::create(kStore, {});
        IDispatch *dispatch = store.dispatch();
        DISPID open = 0;
        QCOMPARE(idOf(dispatch, QStringLiteral("open"), &open), S_OK);
        DISPID unknown = 0;
        QCOMPARE(idOf(dispatch, QStringLiteral("Nothing"), &unknown), DISP_E_UNKNOWNNAME);
        QCOMPARE(unknown, DISPID_UNKNOWN);

        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        V_VT(&arguments[1]) = VT_R8; // the first argument, a location, as a double
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        UINT argumentError = 99;
        QCOMPARE(dispatch->Invoke(open, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                                  &argumentError),
                 DISP_E_TYPEMISMATCH);
        QCOMPARE(argumentError, UINT(1));
        parameters.cArgs = 0;
        DISPID putId = DISPID_PROPERTYPUT;
        parameters.rgdispidNamedArgs = &putId;
        parameters.cNamedArgs = 1;
        QCOMPARE(dispatch->Invoke(open, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                                  nullptr),
                 DISP_E_NONAMEDARGS);

        const ComObject attribute = ComObject::create(QStringLiteral("CAdESCOM.CPAttribute"), {});
        DISPID attributeName = 0;
        QCOMPARE(idOf(attribute.dispatch(), QStringLiteral("Name"), &attributeName), S_OK);
        V_VT(&arguments[0]) = VT_I4;
        V_I4(&arguments[0]) = 0;
        parameters.cArgs = 1;
        parameters.cNamedArgs = 0; // a put must name its argument
        QCOMPARE(attribute.dispatch()->Invoke(attributeName, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                              &parameters, nullptr, nullptr, nullptr),
                 DISP_E_PARAMNOTFOUND);
        parameters.cNamedArgs = 1;
        QCOMPARE(attribute.dispatch()->Invoke(attributeName, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                              &parameters, nullptr, nullptr, nullptr),
                 S_OK);
        parameters.cArgs = 2;
        parameters.cNamedArgs = 0;
        QCOMPARE(attribute.dispatch()->Invoke(attributeName, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                              &parameters, nullptr, nullptr, nullptr),
                 DISP_E_BADPARAMCOUNT);
        QString error;
        QVERIFY(
            !ComObject::create(kStore, {}).setProperty(QStringLiteral("Certificates"), 1, &error));
        QCOMPARE(error, QStringLiteral("Ошибка вызова Certificates (0x80020003)"));
    }
};

QTEST_GUILESS_MAIN(TestCadesStandIn)
#include "tst_cadesstandin.moc"
