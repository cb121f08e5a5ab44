#include "platform/cadesobjects.h"
#include "platform/comstandin.h"
#include "platform/registry.h"
#include "signing/comobject.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/standinsigning.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTest>

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <vector>

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

// What the first signer's signed attributes say, read with OpenSSL.
struct SignedAttributes
{
    QDateTime signingTime; // invalid when missing
    bool signingCertificateV2 = false;
};

SignedAttributes signedAttributes(const QString &base64)
{
    const QByteArray der = QByteArray::fromBase64(base64.toLatin1());
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &bytes, long(der.size())), CMS_ContentInfo_free);
    CMS_SignerInfo *signer =
        cms ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0) : nullptr;
    SignedAttributes facts;
    facts.signingCertificateV2 =
        signer && CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1) >= 0;
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

// Invoke as a script engine would, with the arguments already in automation's order (last
// first) and the property-put name when `named`.
HRESULT invokeRaw(const ComObject &object, QString member, WORD flags,
                  std::vector<VARIANT> arguments, bool named, UINT *argumentError = nullptr)
{
    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(member.data())};
    DISPID id = DISPID_UNKNOWN;
    object.dispatch()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {arguments.data(), named ? &putId : nullptr, UINT(arguments.size()),
                             named ? 1u : 0u};
    return object.dispatch()->Invoke(id, IID_NULL, 0, flags, &parameters, nullptr, nullptr,
                                     argumentError);
}

VARIANT variant(VARTYPE type)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    V_I4(&v) = 0;
    return v;
}

} // namespace

class TestCadesStandIn : public QObject
{
    Q_OBJECT

    std::optional<ComApartment> m_apartment;
    std::unique_ptr<Test::StandInSigning> m_standIn;

    // The first certificate of the personal store, through the emulated objects.
    ComObject firstCertificate()
    {
        const ComObject store = ComObject::create(kStore, {});
        store.call(QStringLiteral("Open"), {2, QStringLiteral("My"), 0});
        return store.object(QStringLiteral("Certificates")).object(QStringLiteral("Item"), {1});
    }

    // Signs "abc" with the first certificate.
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

    void storeAndCollection()
    {
        const ComStandIn::CreatedCertificate created =
            ComStandIn::createCertificate(request(QStringLiteral("b")));
        QVERIFY(created.thumbprint.contains(QRegularExpression(QStringLiteral("^[0-9A-F]{40}$"))));
        // A file the store cannot read is left out.
        QFile broken(QFileInfo(created.path).dir().filePath(QStringLiteral("a-broken.pfx")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("not a PKCS#12") > 0);
        broken.close();

        const ComObject store = ComObject::create(kStore, {});
        QString error;
        QVERIFY(store.object(QStringLiteral("Certificates"), {}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Certificates: Хранилище не открыто"));
        store.call(QStringLiteral("Open"));
        const ComObject all = store.object(QStringLiteral("Certificates"));
        QCOMPARE(all.property(QStringLiteral("Count")).toInt(), 1);
        QCOMPARE(all.object(QStringLiteral("Item"), {1}).property(QStringLiteral("Thumbprint")),
                 QVariant(created.thumbprint));
        QVERIFY(all.object(QStringLiteral("Item"), {2}, &error).isNull());
        QCOMPARE(error, QStringLiteral("Item: Индекс вне диапазона"));
        store.call(QStringLiteral("Close"));
        QVERIFY(store.object(QStringLiteral("Certificates")).isNull());
    }

    // Whether the signature verifies, attached or detached, is shown end to end by the signer's
    // tests; the attributes are only visible inside.
    void signedAttributesOfCadesBes()
    {
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("a"))).ok);
        const QDateTime moment(QDate(2021, 5, 6), QTime(7, 8, 9), Qt::LocalTime);
        QString error;
        const SignedAttributes withTime = signedAttributes(sign(moment, true, &error).toString());
        QCOMPARE(withTime.signingTime, moment.toUTC());
        QVERIFY(withTime.signingCertificateV2);
        // The attribute reads back the moment it was given, as the provider's does.
        const ComObject attribute = ComObject::create(QStringLiteral("CAdESCOM.CPAttribute"), {});
        QVERIFY(attribute.setProperty(QStringLiteral("Value"), moment));
        QCOMPARE(attribute.property(QStringLiteral("Value")).toDateTime(), moment);
        // Without the attribute OpenSSL still records the moment of signing.
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(signedAttributes(sign({}, true, &error).toString()).signingTime >=
                before.addMSecs(-before.time().msec()));
    }

    void providerRefusals()
    {
        const ComObject signer = ComObject::create(QStringLiteral("CAdESCOM.CPSigner"), {});
        const ComObject data = ComObject::create(QStringLiteral("CAdESCOM.CadesSignedData"), {});
        QString error;
        auto signCades = [&](int type = 1, int output = 0) {
            data.call(QStringLiteral("SignCades"),
                      {QVariant::fromValue(signer), type, false, output}, &error);
            return error;
        };
        QCOMPARE(signCades(), QStringLiteral("SignCades: Не задан сертификат подписи"));
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("a"))).ok);
        signer.setProperty(QStringLiteral("Certificate"), QVariant::fromValue(firstCertificate()));
        QCOMPARE(signCades(), QStringLiteral("SignCades: Не задано содержимое для подписи"));
        data.setProperty(QStringLiteral("ContentEncoding"), 1);
        for (const char *text : {"не base64", "YW Jj", "YWJ", "YQ=j", "YWJj\n", "Y==="}) {
            QVERIFY2(!data.setProperty(QStringLiteral("Content"), QString::fromUtf8(text), &error),
                     text);
            QCOMPARE(error,
                     QStringLiteral("Content: Содержимое не в кодировке base64 (0x80090005)"));
        }
        data.setProperty(QStringLiteral("Content"), QStringLiteral("YWJj"));
        QCOMPARE(signCades(2), QStringLiteral("SignCades: Тип подписи 2 стендом не поддерживается"));
        QCOMPARE(signCades(1, 1),
                 QStringLiteral("SignCades: Кодировка подписи 1 стендом не поддерживается"));
        QVERIFY(ComStandIn::removeProvider());
        QCOMPARE(signCades(),
                 QStringLiteral("SignCades: Провайдер типа 80 не установлен (0x80090017)"));
    }

    // A PKCS#12 file whose certificates are encrypted too, as the openssl tool exports them:
    // the store lists it only with the right PIN in the PIN file.
    void encryptedPkcs12NeedsThePin()
    {
        Request r = request(QStringLiteral("plain"));
        r.format = Request::Format::Pem;
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        const QDir folder = QFileInfo(created.path).dir();
        const QString exported = folder.filePath(QStringLiteral("exported.pfx"));
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {"pkcs12", "-export", "-in", created.path, "-out", exported,
                                    "-passout", "pass:secret"}),
                 0);
        QVERIFY(QFile::remove(created.path));
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

    // What the stand-in read from a file is kept only while the file stays as it was: a PIN
    // file corrected, a registry rewritten and a certificate removed by another program are
    // seen at the next call.
    void filesChangedByAnotherProgram()
    {
        Request r = request(QStringLiteral("a"));
        r.pin = QStringLiteral("1234");
        r.pinFileText = QStringLiteral("12345");
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        QVERIFY(created.ok);
        QString error;
        QVERIFY(!sign({}, true, &error).isValid());
        QVERIFY2(error.contains(QStringLiteral("неверный PIN")), qPrintable(error));
        QFile pin(QFileInfo(created.path).dir().filePath(QStringLiteral("a.pin")));
        QVERIFY(pin.open(QIODevice::WriteOnly) && pin.write("1234\n") > 0);
        pin.close();
        QVERIFY2(sign({}, true, &error).isValid(), qPrintable(error));

        QVERIFY(!firstCertificate().isNull());
        QVERIFY(QFile::remove(created.path));
        QVERIFY(firstCertificate().isNull());

        const QString name = QStringLiteral("Name");
        QVERIFY(!registryText(ComStandIn::providerKey(), name).isEmpty());
        QSaveFile registry(ComStandIn::registryPath());
        QVERIFY(registry.open(QIODevice::WriteOnly) && registry.write("{}") && registry.commit());
        QVERIFY(registryText(ComStandIn::providerKey(), name).isEmpty());
    }

    // A registry write the full disk refuses says so and leaves the registration as it was.
    void refusedWriteKeepsTheRegistry()
    {
        const QString name = QStringLiteral("Name");
        const QString before = registryText(ComStandIn::providerKey(), name);
        QVERIFY(!before.isEmpty());
        QString error;
        bool written = true;
        {
            Test::FileSizeLimit full(0);
            if (!full.isActive())
                QSKIP("this system offers no way to make a file write fail");
            written = ComStandIn::setRegistryText(
                ComStandIn::providerKey(), QStringLiteral("Other"), QStringLiteral("x"), &error);
        }
        QVERIFY(!written);
        QVERIFY2(error.startsWith(QStringLiteral("Не удалось записать реестр")), qPrintable(error));
        QCOMPARE(registryText(ComStandIn::providerKey(), name), before);
        QVERIFY(registryText(ComStandIn::providerKey(), QStringLiteral("Other")).isEmpty());
    }

    // Certificates made one after another chain to one test authority, so an earlier one keeps
    // verifying.
    void oneTestAuthority()
    {
        const auto authority = [] {
            QFile file(ComStandIn::testAuthorityPath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("first"))).ok);
        const QByteArray made = authority();
        QVERIFY(!made.isEmpty());
        QVERIFY(ComStandIn::createCertificate(request(QStringLiteral("second"))).ok);
        QCOMPARE(authority(), made);
    }

    // Keys and PINs lie in clear in the stand-in's folders: nobody else may read them.
    void keyMaterialIsPrivate()
    {
        Request r = request(QStringLiteral("keyed"));
        r.pinFileText = QStringLiteral("1234");
        const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(r);
        QVERIFY(created.ok);
        const QDir authority = QFileInfo(ComStandIn::testAuthorityPath()).dir();
        for (const QString &path :
             {created.path, QFileInfo(created.path).dir().filePath("keyed.pin"),
              authority.filePath("ca.key"), authority.path()})
            QVERIFY2(!(QFileInfo(path).permissions() & QFile::ReadOther), qPrintable(path));
    }

    void dispatchRules()
    {
        const ComObject store = ComObject::create(kStore, {});
        UINT argumentError = 99;
        // The first argument, a location, as a double.
        QCOMPARE(invokeRaw(store, QStringLiteral("open"), DISPATCH_METHOD,
                           {variant(VT_EMPTY), variant(VT_R8)}, false, &argumentError),
                 DISP_E_TYPEMISMATCH);
        QCOMPARE(argumentError, UINT(1));

        // A put must name its argument, so the signer's puts show that ours do.
        const ComObject attribute = ComObject::create(QStringLiteral("CAdESCOM.CPAttribute"), {});
        QCOMPARE(invokeRaw(attribute, QStringLiteral("Name"), DISPATCH_PROPERTYPUT,
                           {variant(VT_I4)}, false),
                 DISP_E_PARAMNOTFOUND);
        QString error;
        QVERIFY(!store.setProperty(QStringLiteral("Certificates"), 1, &error));
        QCOMPARE(error, QStringLiteral("Ошибка вызова Certificates (0x80020003)"));
    }
};

QTEST_GUILESS_MAIN(TestCadesStandIn)
#include "tst_cadesstandin.moc"