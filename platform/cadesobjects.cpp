// Stands in for the CryptoPro CAdESCOM automation objects and the provider behind them: the
// members the signer calls, backed by certificate files in a store folder and by OpenSSL CMS
// signatures (CAdES-BES with signing-certificate-v2, content signed as binary). Only SHA-1 search,
// the signing-time attribute, CAdES-BES and base64 output are supported; other choices raise an
// automation exception saying so. There is no PIN prompt (the PIN comes from a file), no chain or
// revocation check and no GOST algorithm: keys are RSA or EC, digests SHA-256. Base64 content is
// taken only in whole groups of four characters with its padding, as the signer writes it.

#include "platform/cadesobjects.h"

#include "platform/automationobject.h"
#include "platform/cadescrypto.h"
#include "platform/comstandin.h"
#include "platform/registry.h"

#include <openssl/evp.h>

#include <utility>

namespace Orv::ComStandIn {

namespace {

constexpr HRESULT kBadData = OrvComDetail::hresultOf(0x80090005);
constexpr HRESULT kNoProvider = OrvComDetail::hresultOf(0x80090017);

constexpr int kSigningTimeAttribute = 0;
constexpr int kContentAsBase64 = 1;
constexpr int kCadesBes = 1;
constexpr int kFindBySha1 = 0;

// One reference held by an object on another.
template<typename T> class Ref
{
public:
    Ref() = default;
    explicit Ref(T *object) // takes a new reference
        : m_object(object)
    {
        if (m_object)
            m_object->AddRef();
    }
    Ref(const Ref &other)
        : Ref(other.m_object)
    {}
    Ref &operator=(Ref other)
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~Ref()
    {
        if (m_object)
            m_object->Release();
    }
    T *get() const { return m_object; }
    static Ref adopt(T *object) // takes over the caller's reference
    {
        Ref ref;
        ref.m_object = object;
        return ref;
    }

private:
    T *m_object = nullptr;
};

// Whole groups of four, padding only at the end, nothing else in between; decoded by OpenSSL,
// as Qt's decoder takes a millisecond for a document of 100 KB.
bool decodeBase64(const QString &text, QByteArray *bytes)
{
    const QByteArray encoded = text.toLatin1();
    if (encoded.size() % 4 != 0)
        return false;
    const int padding = encoded.endsWith("==") ? 2 : encoded.endsWith('=') ? 1 : 0;
    QByteArray decoded(encoded.size() / 4 * 3, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(decoded.data());
    EVP_ENCODE_CTX *context = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(context);
    int written = 0;
    int last = 0;
    const bool ok = EVP_DecodeUpdate(context, out, &written,
                                     reinterpret_cast<const unsigned char *>(encoded.constData()),
                                     int(encoded.size())) >= 0 &&
                    EVP_DecodeFinal(context, out + written, &last) == 1;
    EVP_ENCODE_CTX_free(context);
    // OpenSSL passes over line breaks and blanks; they show as bytes missing.
    if (!ok || written + last != decoded.size() - padding)
        return false;
    decoded.truncate(written + last);
    *bytes = decoded;
    return true;
}

CallOutcome unsupported(const QString &what)
{
    return CallOutcome::raise(E_NOTIMPL, what + QStringLiteral(" стендом не поддерживается"));
}

class CertificateObject : public AutomationObject
{
public:
    explicit CertificateObject(const StoredCertificate &stored)
        : AutomationObject(QStringLiteral("CAdESCOM.Certificate"))
        , m_stored(stored)
    {
        addProperty(QStringLiteral("Thumbprint"), [this](VARIANT *result) {
            setText(result, m_stored.thumbprint);
            return CallOutcome();
        });
        addProperty(QStringLiteral("SubjectName"), [this](VARIANT *result) {
            setText(result, m_stored.subjectName);
            return CallOutcome();
        });
        addProperty(QStringLiteral("ValidFromDate"), [this](VARIANT *result) {
            setDate(result, m_stored.validFrom);
            return CallOutcome();
        });
        addProperty(QStringLiteral("ValidToDate"), [this](VARIANT *result) {
            setDate(result, m_stored.validTo);
            return CallOutcome();
        });
    }
    const StoredCertificate &stored() const { return m_stored; }

private:
    StoredCertificate m_stored;
};

class CertificatesObject : public AutomationObject
{
public:
    explicit CertificatesObject(const QList<StoredCertificate> &items)
        : AutomationObject(QStringLiteral("CAdESCOM.Certificates"))
        , m_items(items)
    {
        addProperty(QStringLiteral("Count"), [this](VARIANT *result) {
            setInt(result, int(m_items.size()));
            return CallOutcome();
        });
        addMethod(
            QStringLiteral("Item"), 1, 1, [this](const Arguments &arguments, VARIANT *result) {
                int index = 0;
                if (!arguments.toInt(0, &index))
                    return arguments.mismatch(0);
                if (index < 1 || index > m_items.size())
                    return CallOutcome::raise(E_INVALIDARG, QStringLiteral("Индекс вне диапазона"));
                setObject(result, new CertificateObject(m_items.at(index - 1)));
                return CallOutcome();
            });
        addMethod(QStringLiteral("Find"), 2, 3,
                  [this](const Arguments &arguments, VARIANT *result) {
                      int type = 0;
                      QString criterion;
                      if (!arguments.toInt(0, &type))
                          return arguments.mismatch(0);
                      if (!arguments.toText(1, &criterion))
                          return arguments.mismatch(1);
                      if (type != kFindBySha1)
                          return unsupported(QStringLiteral("Поиск по признаку %1").arg(type));
                      QList<StoredCertificate> found;
                      for (const StoredCertificate &item : m_items) {
                          if (item.thumbprint.compare(criterion, Qt::CaseInsensitive) == 0)
                              found.append(item);
                      }
                      setObject(result, new CertificatesObject(found));
                      return CallOutcome();
                  });
    }

private:
    QList<StoredCertificate> m_items;
};

class StoreObject : public AutomationObject
{
public:
    StoreObject()
        : AutomationObject(QStringLiteral("CAdESCOM.Store"))
    {
        addMethod(QStringLiteral("Open"), 0, 3, [this](const Arguments &arguments, VARIANT *) {
            int location = 2;
            QString name = QStringLiteral("My");
            int mode = 0;
            if (arguments.count() > 0 && !arguments.toInt(0, &location))
                return arguments.mismatch(0);
            if (arguments.count() > 1 && !arguments.toText(1, &name))
                return arguments.mismatch(1);
            if (arguments.count() > 2 && !arguments.toInt(2, &mode))
                return arguments.mismatch(2);
            if (location != 1 && location != 2)
                return unsupported(QStringLiteral("Размещение хранилища %1").arg(location));
            const QString folder =
                location == 1 ? QStringLiteral("LocalMachine") : QStringLiteral("CurrentUser");
            m_certificates = readStoreFolder(storePath(folder, name));
            m_open = true;
            return CallOutcome();
        });
        addProperty(QStringLiteral("Certificates"), [this](VARIANT *result) {
            if (!m_open)
                return CallOutcome::raise(E_UNEXPECTED, QStringLiteral("Хранилище не открыто"));
            setObject(result, new CertificatesObject(m_certificates));
            return CallOutcome();
        });
        addMethod(QStringLiteral("Close"), 0, 0, [this](const Arguments &, VARIANT *) {
            m_open = false;
            m_certificates.clear();
            return CallOutcome();
        });
    }

private:
    bool m_open = false;
    QList<StoredCertificate> m_certificates;
};

class AttributeObject : public AutomationObject
{
public:
    AttributeObject()
        : AutomationObject(QStringLiteral("CAdESCOM.CPAttribute"))
    {
        addProperty(
            QStringLiteral("Name"),
            [this](VARIANT *result) {
                setInt(result, m_name);
                return CallOutcome();
            },
            [this](const Arguments &value) {
                int name = 0;
                if (!value.toInt(0, &name))
                    return value.mismatch(0);
                if (name != kSigningTimeAttribute)
                    return unsupported(QStringLiteral("Атрибут %1").arg(name));
                m_name = name;
                return CallOutcome();
            });
        addProperty(
            QStringLiteral("Value"),
            [this](VARIANT *result) {
                setDate(result, m_value);
                return CallOutcome();
            },
            [this](const Arguments &value) {
                QDateTime moment;
                if (!value.toDate(0, &moment))
                    return value.mismatch(0);
                m_value = moment;
                return CallOutcome();
            });
    }
    QDateTime signingTime() const
    {
        return m_name == kSigningTimeAttribute ? m_value : QDateTime();
    }

private:
    int m_name = kSigningTimeAttribute;
    QDateTime m_value;
};

class AttributesObject : public AutomationObject
{
public:
    AttributesObject()
        : AutomationObject(QStringLiteral("CAdESCOM.CPAttributes"))
    {
        addMethod(QStringLiteral("Add"), 1, 1, [this](const Arguments &arguments, VARIANT *) {
            auto *attribute = dynamic_cast<AttributeObject *>(arguments.toObject(0));
            if (!attribute)
                return arguments.mismatch(0);
            m_items.append(Ref<AttributeObject>(attribute));
            return CallOutcome();
        });
    }
    QDateTime signingTime() const
    {
        QDateTime time;
        for (const Ref<AttributeObject> &item : m_items) {
            if (item.get()->signingTime().isValid())
                time = item.get()->signingTime();
        }
        return time;
    }

private:
    QList<Ref<AttributeObject>> m_items;
};

class SignerObject : public AutomationObject
{
public:
    SignerObject()
        : AutomationObject(QStringLiteral("CAdESCOM.CPSigner"))
    {
        m_attributes = Ref<AttributesObject>::adopt(new AttributesObject);
        addProperty(
            QStringLiteral("Certificate"),
            [this](VARIANT *result) {
                if (m_certificate.get()) {
                    m_certificate.get()->AddRef();
                    setObject(result, m_certificate.get());
                }
                return CallOutcome();
            },
            [this](const Arguments &value) {
                auto *certificate = dynamic_cast<CertificateObject *>(value.toObject(0));
                if (!certificate)
                    return value.mismatch(0);
                m_certificate = Ref<CertificateObject>(certificate);
                return CallOutcome();
            });
        addProperty(QStringLiteral("AuthenticatedAttributes2"), [this](VARIANT *result) {
            m_attributes.get()->AddRef();
            setObject(result, m_attributes.get());
            return CallOutcome();
        });
    }
    const CertificateObject *certificate() const { return m_certificate.get(); }
    QDateTime signingTime() const { return m_attributes.get()->signingTime(); }

private:
    Ref<CertificateObject> m_certificate;
    Ref<AttributesObject> m_attributes;
};

class SignedDataObject : public AutomationObject
{
public:
    SignedDataObject()
        : AutomationObject(QStringLiteral("CAdESCOM.CadesSignedData"))
    {
        addProperty(
            QStringLiteral("ContentEncoding"),
            [this](VARIANT *result) {
                setInt(result, m_encoding);
                return CallOutcome();
            },
            [this](const Arguments &value) {
                int encoding = 0;
                if (!value.toInt(0, &encoding))
                    return value.mismatch(0);
                if (encoding != 0 && encoding != kContentAsBase64)
                    return unsupported(QStringLiteral("Кодировка содержимого %1").arg(encoding));
                m_encoding = encoding;
                return CallOutcome();
            });
        addProperty(
            QStringLiteral("Content"),
            [this](VARIANT *result) {
                setText(result, m_content);
                return CallOutcome();
            },
            [this](const Arguments &value) {
                QString content;
                if (!value.toText(0, &content))
                    return value.mismatch(0);
                m_content = content;
                return decode();
            });
        addMethod(QStringLiteral("SignCades"), 1, 4,
                  [this](const Arguments &arguments, VARIANT *result) {
                      return signCadesMember(arguments, result);
                  });
    }

private:
    // Base64 content is signed as the bytes it stands for; text as UTF-16LE, as the
    // provider does. The bytes are kept for the encoding they were decoded with.
    CallOutcome decode()
    {
        m_bytes.clear();
        m_bytesEncoding = -1;
        if (m_encoding != kContentAsBase64) {
            for (const QChar c : m_content)
                m_bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
        } else if (!decodeBase64(m_content, &m_bytes)) {
            return CallOutcome::raise(
                kBadData, QStringLiteral("Содержимое не в кодировке base64 (0x80090005)"));
        }
        m_bytesEncoding = m_encoding;
        return {};
    }

    CallOutcome signCadesMember(const Arguments &arguments, VARIANT *result)
    {
        const auto *signer = dynamic_cast<SignerObject *>(arguments.toObject(0));
        int type = kCadesBes;
        bool detached = false;
        int output = 0;
        if (!signer)
            return arguments.mismatch(0);
        if (arguments.count() > 1 && !arguments.toInt(1, &type))
            return arguments.mismatch(1);
        if (arguments.count() > 2 && !arguments.toBool(2, &detached))
            return arguments.mismatch(2);
        if (arguments.count() > 3 && !arguments.toInt(3, &output))
            return arguments.mismatch(3);
        if (registryText(providerKey(), QStringLiteral("Name")).isEmpty())
            return CallOutcome::raise(
                kNoProvider, QStringLiteral("Провайдер типа 80 не установлен (0x80090017)"));
        if (type != kCadesBes)
            return unsupported(QStringLiteral("Тип подписи %1").arg(type));
        if (output != 0)
            return unsupported(QStringLiteral("Кодировка подписи %1").arg(output));
        if (!signer->certificate())
            return CallOutcome::raise(E_INVALIDARG, QStringLiteral("Не задан сертификат подписи"));
        if (m_bytesEncoding != m_encoding) {
            const CallOutcome decoded = decode();
            if (FAILED(decoded.code))
                return decoded;
        }
        if (m_bytes.isEmpty())
            return CallOutcome::raise(E_INVALIDARG,
                                      QStringLiteral("Не задано содержимое для подписи"));
        const CadesSignature signature =
            signCades(signer->certificate()->stored(), m_bytes, signer->signingTime(), detached);
        if (FAILED(signature.outcome.code))
            return signature.outcome;
        // The provider hands base64 out in lines of 64 characters.
        const QByteArray base64 = signature.der.toBase64();
        QByteArray lines;
        for (qsizetype at = 0; at < base64.size(); at += 64)
            lines += (at ? "\r\n" : "") + base64.mid(at, 64);
        setText(result, QString::fromLatin1(lines));
        return {};
    }

    int m_encoding = 0;
    QString m_content;
    QByteArray m_bytes;
    int m_bytesEncoding = -1;
};

} // namespace

QList<CadesClass> cadesClasses()
{
    return {
        {QStringLiteral("CAdESCOM.Store"),
         QStringLiteral("{7CBD72D9-76A3-4939-930C-52C4D6CA206B}")},
        {QStringLiteral("CAdESCOM.CPSigner"),
         QStringLiteral("{94EBF679-1DED-48B9-9FD2-00A3949E0905}")},
        {QStringLiteral("CAdESCOM.CadesSignedData"),
         QStringLiteral("{1264A46A-FDB8-43A3-AEE3-00E1684C98E9}")},
        {QStringLiteral("CAdESCOM.CPAttribute"),
         QStringLiteral("{FE98A77F-7D50-4210-AED4-5B2AE2EDAEF1}")},
    };
}

QString providerKey()
{
    return QStringLiteral(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type "
        "080");
}

IDispatch *createCadesObject(const QString &classId)
{
    const QList<CadesClass> classes = cadesClasses();
    AutomationObject *created = nullptr;
    if (classId.compare(classes[0].classId, Qt::CaseInsensitive) == 0)
        created = new StoreObject;
    else if (classId.compare(classes[1].classId, Qt::CaseInsensitive) == 0)
        created = new SignerObject;
    else if (classId.compare(classes[2].classId, Qt::CaseInsensitive) == 0)
        created = new SignedDataObject;
    else if (classId.compare(classes[3].classId, Qt::CaseInsensitive) == 0)
        created = new AttributeObject;
    if (created)
        logCall(QStringLiteral("new ") + created->className());
    return created;
}

} // namespace Orv::ComStandIn
