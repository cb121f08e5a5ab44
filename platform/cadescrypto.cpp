// Part of the COM stand-in of non-Windows builds: the signing provider's work, done with OpenSSL.
// Unlike the real provider it keeps keys in files (PIN in a file beside them, never asked for),
// does not check the MAC of PKCS#12 files, and signs with RSA or EC keys and SHA-256, not GOST.
// Like the real provider it keeps what it read for the session: each store file is read and its
// key decrypted once, and again only when the file or its PIN file changes.

#include "platform/cadescrypto.h"

#include "platform/comstandin.h"
#include "platform/filestamp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

namespace Orv::ComStandIn {

namespace {

template<typename T, void (*Free)(T *)> struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
template<typename T, void (*Free)(T *)> using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using Bio = Owned<BIO, BIO_free_all>;
using Certificate = Owned<X509, X509_free>;
using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using Cms = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using Pkcs12 = Owned<PKCS12, PKCS12_free>;
using Name = Owned<X509_NAME, X509_NAME_free>;
using Time = Owned<ASN1_TIME, ASN1_TIME_free>;
using Object = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;

void freeSafes(STACK_OF(PKCS7) * safes)
{
    sk_PKCS7_pop_free(safes, PKCS7_free);
}
void freeBags(STACK_OF(PKCS12_SAFEBAG) * bags)
{
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
}
using Safes = Owned<STACK_OF(PKCS7), freeSafes>;
using Bags = Owned<STACK_OF(PKCS12_SAFEBAG), freeBags>;

// Status codes of the provider's failures, as its error descriptions quote them.
constexpr HRESULT kNoKey = OrvComDetail::hresultOf(0x8009200B);
constexpr HRESULT kWrongPin = OrvComDetail::hresultOf(0x8010006B);
constexpr HRESULT kBadKey = OrvComDetail::hresultOf(0x80090003);
constexpr HRESULT kProviderFailure = OrvComDetail::hresultOf(0x80090020);

CallOutcome failure(HRESULT code, const QString &text)
{
    const QString number = QString::number(quint32(code), 16).toUpper();
    return CallOutcome::raise(code, QStringLiteral("%1 (0x%2)").arg(text, number));
}

QString openSslError()
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

// A read-only view: the bytes are not copied and must outlive the BIO, so a temporary is refused.
Bio memoryOf(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}
Bio memoryOf(QByteArray &&) = delete;

QByteArray bytesOf(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString pinPath(const QString &path)
{
    const QFileInfo info(path);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".pin"));
}

// What a store file holds. The key is read only when asked for, with the PIN of the PIN file.
struct Contents
{
    Certificate certificate;
    std::vector<Certificate> others;
    bool keyPresent = false;
    Key key;
};

bool isPkcs12(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("pfx") || suffix == QLatin1String("p12");
}

// Tries the PIN; an empty PIN is tried both as empty and as absent, as PKCS#12 tools differ.
template<typename Try> auto withPin(const QByteArray &pin, Try attempt)
{
    auto result = attempt(pin.constData(), int(pin.size()));
    if (!result && pin.isEmpty())
        result = attempt(nullptr, 0);
    return result;
}

void takeBags(STACK_OF(PKCS12_SAFEBAG) * bags, const QByteArray &pin, bool wantKey,
              Contents *contents)
{
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_certBag: {
            Certificate certificate(PKCS12_SAFEBAG_get1_cert(bag));
            if (!certificate)
                break;
            // The certificate of the key carries the key's local id; the others are its chain.
            if (!contents->certificate && PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID))
                contents->certificate = std::move(certificate);
            else
                contents->others.push_back(std::move(certificate));
            break;
        }
        case NID_keyBag:
            contents->keyPresent = true;
            if (wantKey)
                contents->key.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
            break;
        case NID_pkcs8ShroudedKeyBag:
            contents->keyPresent = true;
            if (wantKey) {
                Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free> info(withPin(
                    pin, [&](const char *p, int n) { return PKCS12_decrypt_skey(bag, p, n); }));
                if (info)
                    contents->key.reset(EVP_PKCS82PKEY(info.get()));
            }
            break;
        default:
            break;
        }
    }
}

bool readPkcs12(const QByteArray &bytes, const QByteArray &pin, bool wantKey, Contents *contents)
{
    Bio in = memoryOf(bytes);
    Pkcs12 p12(d2i_PKCS12_bio(in.get(), nullptr));
    if (!p12)
        return false;
    // The MAC is not checked: certificates stored in clear are listed without the PIN, as a
    // token shows its certificates before the PIN is entered.
    Safes safes(PKCS12_unpack_authsafes(p12.get()));
    for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7 *safe = sk_PKCS7_value(safes.get(), i);
        Bags bags;
        if (OBJ_obj2nid(safe->type) == NID_pkcs7_data)
            bags.reset(PKCS12_unpack_p7data(safe));
        else if (OBJ_obj2nid(safe->type) == NID_pkcs7_encrypted)
            bags.reset(withPin(
                pin, [&](const char *p, int n) { return PKCS12_unpack_p7encdata(safe, p, n); }));
        if (bags)
            takeBags(bags.get(), pin, wantKey, contents);
    }
    if (!contents->certificate && !contents->others.empty()) {
        contents->certificate = std::move(contents->others.front());
        contents->others.erase(contents->others.begin());
    }
    return bool(contents->certificate);
}

bool readPem(const QByteArray &bytes, const QByteArray &pin, bool wantKey, Contents *contents)
{
    Bio in = memoryOf(bytes);
    while (X509 *certificate = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)) {
        if (!contents->certificate)
            contents->certificate.reset(certificate);
        else
            contents->others.emplace_back(certificate);
    }
    ERR_clear_error();
    contents->keyPresent = bytes.contains("PRIVATE KEY-----");
    if (wantKey && contents->keyPresent) {
        QByteArray passphrase = pin;
        Bio keyIn = memoryOf(bytes);
        contents->key.reset(
            PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, passphrase.data()));
    }
    return bool(contents->certificate);
}

bool readContents(const QString &path, bool wantKey, Contents *contents)
{
    const QByteArray bytes = readFile(path);
    const QByteArray pin = readFile(pinPath(path)).trimmed();
    const bool ok = isPkcs12(path) ? readPkcs12(bytes, pin, wantKey, contents)
                                   : readPem(bytes, pin, wantKey, contents);
    ERR_clear_error();
    return ok;
}

QString objectId(const ASN1_OBJECT *object)
{
    char text[128] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return QString::fromLatin1(text);
}

// Names as the Windows certificate store writes them, the Russian identifiers by their
// Russian names.
QString attributeName(const QString &oid)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("2.5.4.3"), QStringLiteral("CN")},
        {QStringLiteral("2.5.4.4"), QStringLiteral("SN")},
        {QStringLiteral("2.5.4.5"), QStringLiteral("SERIALNUMBER")},
        {QStringLiteral("2.5.4.6"), QStringLiteral("C")},
        {QStringLiteral("2.5.4.7"), QStringLiteral("L")},
        {QStringLiteral("2.5.4.8"), QStringLiteral("S")},
        {QStringLiteral("2.5.4.9"), QStringLiteral("STREET")},
        {QStringLiteral("2.5.4.10"), QStringLiteral("O")},
        {QStringLiteral("2.5.4.11"), QStringLiteral("OU")},
        {QStringLiteral("2.5.4.12"), QStringLiteral("T")},
        {QStringLiteral("2.5.4.42"), QStringLiteral("G")},
        {QStringLiteral("1.2.840.113549.1.9.1"), QStringLiteral("E")},
        {QStringLiteral("1.2.643.100.4"), QStringLiteral("ИНН ЮЛ")},
        {QStringLiteral("1.2.643.3.131.1.1"), QStringLiteral("ИНН")},
        {QStringLiteral("1.2.643.100.1"), QStringLiteral("ОГРН")},
        {QStringLiteral("1.2.643.100.3"), QStringLiteral("СНИЛС")},
        {QStringLiteral("1.2.643.100.5"), QStringLiteral("ОГРНИП")},
    };
    return names.value(oid, QStringLiteral("OID.") + oid);
}

// A value with a separator, a quotation mark or outer blanks is quoted, inner marks doubled.
QString quoted(const QString &value)
{
    static const QString special = QStringLiteral(",+=\"\r\n<>#;");
    const bool needs =
        value.isEmpty() || value.front().isSpace() || value.back().isSpace() ||
        std::any_of(value.begin(), value.end(), [](QChar c) { return special.contains(c); });
    if (!needs)
        return value;
    return u'"' + QString(value).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// Most specific part first, as the Windows store shows subjects; parts of one multi-valued
// RDN joined by " + ".
QString renderName(const X509_NAME *name)
{
    QString text;
    int previousSet = -1;
    for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
        const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, i);
        unsigned char *utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        const QString value =
            length < 0 ? QString() : QString::fromUtf8(reinterpret_cast<char *>(utf8), length);
        OPENSSL_free(utf8);
        const int set = X509_NAME_ENTRY_set(entry);
        if (!text.isEmpty())
            text += set == previousSet ? QStringLiteral(" + ") : QStringLiteral(", ");
        previousSet = set;
        text += attributeName(objectId(X509_NAME_ENTRY_get_object(entry))) + u'=' + quoted(value);
    }
    return text;
}

QDateTime dateTimeOf(const ASN1_TIME *time)
{
    struct tm fields = {};
    if (!ASN1_TIME_to_tm(time, &fields))
        return {};
    return QDateTime(QDate(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday),
                     QTime(fields.tm_hour, fields.tm_min, fields.tm_sec), Qt::UTC);
}

QString thumbprintOf(X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha1(), digest, &length);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<char *>(digest), int(length)).toHex().toUpper());
}

StoredCertificate describeStored(const QString &path, X509 *certificate)
{
    StoredCertificate stored;
    stored.path = path;
    stored.thumbprint = thumbprintOf(certificate);
    stored.subjectName = renderName(X509_get_subject_name(certificate));
    // In local time once here, as the objects hand them out in local time at every listing.
    stored.validFrom = dateTimeOf(X509_get0_notBefore(certificate)).toLocalTime();
    stored.validTo = dateTimeOf(X509_get0_notAfter(certificate)).toLocalTime();
    return stored;
}

// One store file as the session knows it, for the stamps of the file and of its PIN file.
struct SessionFile
{
    FileStamp file;
    FileStamp pin;
    bool readable = false;
    StoredCertificate stored;
    bool keyRead = false; // the key was looked for; `contents` then holds it, if it opened
    Contents contents;
};

// The store file at `path` with the stamps it has now, read again when it or its PIN file
// changed; with its key when `wantKey`. The stand-in serves the GUI thread only.
const SessionFile &sessionFile(const QString &path, const FileStamp &file, const FileStamp &pin,
                               bool wantKey)
{
    static std::unordered_map<QString, SessionFile> session;
    SessionFile &entry = session[path];
    if (!unchangedSince(entry.file, file) ||
        (entry.pin.exists != pin.exists || (pin.exists && !unchangedSince(entry.pin, pin)))) {
        entry = SessionFile();
        entry.file = file;
        entry.pin = pin;
        entry.readable = readContents(path, false, &entry.contents);
        if (entry.readable)
            entry.stored = describeStored(path, entry.contents.certificate.get());
    }
    if (wantKey && entry.readable && !entry.keyRead) {
        Contents withKey;
        if (readContents(path, true, &withKey))
            entry.contents = std::move(withKey);
        entry.keyRead = true;
    }
    return entry;
}

} // namespace

QList<StoredCertificate> readStoreFolder(const QString &folder)
{
    // The folder's files are listed again only when files came or went.
    struct File
    {
        QString path;
        QByteArray name;
        QByteArray pinName;
    };
    struct Listing
    {
        FileStamp stamp;
        QList<File> files;
    };
    static std::unordered_map<QString, Listing> listings;
    Listing &listing = listings[folder];
    const FileStamp stamp = fileStamp(folder);
    if (!unchangedSince(listing.stamp, stamp)) {
        listing = {stamp, {}};
        const QStringList names = QDir(folder).entryList(
            {QStringLiteral("*.pfx"), QStringLiteral("*.p12"), QStringLiteral("*.pem")},
            QDir::Files, QDir::Name);
        for (const QString &name : names) {
            const QString path = folder + u'/' + name;
            listing.files.append({path, QFile::encodeName(name),
                                  QFile::encodeName(QFileInfo(pinPath(path)).fileName())});
        }
    }
    QList<StoredCertificate> certificates;
    const int directory = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    for (const File &file : std::as_const(listing.files)) {
        const SessionFile &entry = sessionFile(file.path, fileStamp(directory, file.name),
                                               fileStamp(directory, file.pinName), false);
        if (entry.readable)
            certificates.append(entry.stored);
    }
    if (directory >= 0)
        ::close(directory);
    return certificates;
}

CadesSignature signCades(const StoredCertificate &certificate, const QByteArray &content,
                         const QDateTime &signingTime, bool detached)
{
    const SessionFile &entry = sessionFile(certificate.path, fileStamp(certificate.path),
                                           fileStamp(pinPath(certificate.path)), true);
    if (!entry.readable || entry.stored.thumbprint != certificate.thumbprint)
        return {failure(kNoKey, QStringLiteral("Сертификат больше не найден в хранилище")), {}};
    const Contents &contents = entry.contents;
    if (!contents.keyPresent)
        return {failure(kNoKey, QStringLiteral("Не найден закрытый ключ сертификата")), {}};
    if (!contents.key)
        return {failure(kWrongPin, QStringLiteral("Указан неверный PIN-код ключа")), {}};
    if (X509_check_private_key(contents.certificate.get(), contents.key.get()) != 1) {
        ERR_clear_error();
        return {failure(kBadKey, QStringLiteral("Закрытый ключ не соответствует сертификату")), {}};
    }

    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0);
    Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    CMS_SignerInfo *signer =
        cms ? CMS_add1_signer(cms.get(), contents.certificate.get(), contents.key.get(),
                              EVP_sha256(), flags | CMS_CADES | CMS_NOSMIMECAP)
            : nullptr;
    bool ok = signer != nullptr;
    for (const Certificate &other : contents.others)
        ok = ok && CMS_add1_cert(cms.get(), other.get());
    if (ok && signingTime.isValid()) {
        Time time(ASN1_TIME_set(nullptr, time_t(signingTime.toSecsSinceEpoch())));
        ok = time && CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime,
                                                 ASN1_STRING_type(time.get()), time.get(), -1);
    }
    Bio data = memoryOf(content);
    Bio out(BIO_new(BIO_s_mem()));
    ok =
        ok && CMS_final(cms.get(), data.get(), nullptr, flags) && i2d_CMS_bio(out.get(), cms.get());
    if (!ok)
        return {failure(kProviderFailure,
                        QStringLiteral("Внутренняя ошибка провайдера: %1").arg(openSslError())),
                {}};
    return {{}, bytesOf(out.get())};
}

namespace {

Key newKey(CertificateRequest::KeyType type)
{
    return Key(type == CertificateRequest::KeyType::Rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
}

bool addText(X509_NAME *name, const char *field, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    return value.isEmpty() ||
           X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(utf8.constData()),
                                      int(utf8.size()), -1, 0);
}

// The Russian identifiers are numeric strings.
bool addNumber(X509_NAME *name, const char *oid, const QString &value)
{
    if (value.isEmpty())
        return true;
    const QByteArray digits = value.toLatin1();
    Object object(OBJ_txt2obj(oid, 1));
    return object &&
           X509_NAME_add_entry_by_OBJ(name, object.get(), V_ASN1_NUMERICSTRING,
                                      reinterpret_cast<const unsigned char *>(digits.constData()),
                                      int(digits.size()), -1, 0);
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION, X509_EXTENSION_free> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1);
}

// Version 3, random positive serial, validity and subject; signed by `issuerKey` (itself when
// the issuer is null).
Certificate newCertificate(X509_NAME *subject, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey,
                           const QDateTime &from, const QDateTime &to, bool authority)
{
    Certificate certificate(X509_new());
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    Owned<BIGNUM, BN_free> number(BN_bin2bn(serial, sizeof serial, nullptr));
    X509 *signer = issuer ? issuer : certificate.get();
    const bool ok =
        X509_set_version(certificate.get(), X509_VERSION_3) &&
        BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())) &&
        ASN1_TIME_set(X509_getm_notBefore(certificate.get()), time_t(from.toSecsSinceEpoch())) &&
        ASN1_TIME_set(X509_getm_notAfter(certificate.get()), time_t(to.toSecsSinceEpoch())) &&
        X509_set_subject_name(certificate.get(), subject) &&
        X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) &&
        X509_set_pubkey(certificate.get(), key) &&
        addExtension(certificate.get(), signer, NID_basic_constraints,
                     authority ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
        addExtension(certificate.get(), signer, NID_key_usage,
                     authority ? "critical,keyCertSign,cRLSign"
                               : "critical,digitalSignature,nonRepudiation") &&
        addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash") &&
        (authority ||
         addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid")) &&
        X509_sign(certificate.get(), issuerKey, EVP_sha256());
    return ok ? std::move(certificate) : Certificate();
}

QByteArray pemOf(X509 *certificate)
{
    Bio out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(out.get(), certificate);
    return bytesOf(out.get());
}

QByteArray pemOf(EVP_PKEY *key, const QByteArray &pin)
{
    Bio out(BIO_new(BIO_s_mem()));
    QByteArray passphrase = pin;
    PEM_write_bio_PKCS8PrivateKey(out.get(), key, pin.isEmpty() ? nullptr : EVP_aes_256_cbc(),
                                  pin.isEmpty() ? nullptr : passphrase.data(), int(pin.size()),
                                  nullptr, nullptr);
    return bytesOf(out.get());
}

// The test authority is made once and kept beside the stores.
bool testAuthority(Certificate *certificate, Key *key)
{
    const QString keyPath = QFileInfo(testAuthorityPath()).dir().filePath(QStringLiteral("ca.key"));
    const QByteArray certificatePem = readFile(testAuthorityPath());
    const QByteArray keyPem = readFile(keyPath);
    Bio certificateIn = memoryOf(certificatePem);
    Bio keyIn = memoryOf(keyPem);
    certificate->reset(PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr));
    key->reset(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (*certificate && *key)
        return true;
    *key = newKey(CertificateRequest::KeyType::Ec);
    Name name(X509_NAME_new());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!*key || !addText(name.get(), "C", QStringLiteral("RU")) ||
        !addText(name.get(), "CN", QStringLiteral("Тестовый УЦ стенда TELLVANE FERROW")))
        return false;
    *certificate = newCertificate(name.get(), key->get(), nullptr, key->get(), now.addDays(-1),
                                  now.addYears(20), true);
    return *certificate && writePrivateFile(keyPath, pemOf(key->get(), {})) &&
           writePrivateFile(testAuthorityPath(), pemOf(certificate->get()));
}

} // namespace

CreatedCertificate createCertificate(const CertificateRequest &request)
{
    CreatedCertificate created;
    for (const QString &number :
         {request.innLe, request.inn, request.ogrn, request.ogrnip, request.snils}) {
        if (!std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); })) {
            created.error = QStringLiteral("Реквизит %1 должен состоять из цифр").arg(number);
            return created;
        }
    }
    Certificate authority;
    Key authorityKey;
    if (!testAuthority(&authority, &authorityKey)) {
        created.error = QStringLiteral("Не удалось создать тестовый УЦ: %1").arg(openSslError());
        return created;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime from = request.notBefore.isValid() ? request.notBefore : now.addDays(-1);
    const QDateTime to = request.notAfter.isValid() ? request.notAfter : now.addYears(1);
    Key key = newKey(request.keyType);
    Name name(X509_NAME_new());
    const bool named = key && addText(name.get(), "C", QStringLiteral("RU")) &&
                       addText(name.get(), "O", request.organization) &&
                       addText(name.get(), "CN", request.commonName) &&
                       addNumber(name.get(), "1.2.643.100.4", request.innLe) &&
                       addNumber(name.get(), "1.2.643.100.1", request.ogrn) &&
                       addNumber(name.get(), "1.2.643.100.5", request.ogrnip) &&
                       addNumber(name.get(), "1.2.643.3.131.1.1", request.inn) &&
                       addNumber(name.get(), "1.2.643.100.3", request.snils);
    Certificate certificate = named ? newCertificate(name.get(), key.get(), authority.get(),
                                                     authorityKey.get(), from, to, false)
                                    : Certificate();
    if (!certificate) {
        created.error = QStringLiteral("Не удалось выпустить сертификат: %1").arg(openSslError());
        return created;
    }
    created.thumbprint = thumbprintOf(certificate.get());

    const QByteArray pin = request.pin.toUtf8();
    QByteArray bytes;
    const bool pkcs12 = request.format == CertificateRequest::Format::Pkcs12;
    if (pkcs12) {
        // Certificates stay in clear so that the store lists them without the PIN.
        const QByteArray friendly = request.commonName.toUtf8();
        Pkcs12 p12(PKCS12_create(pin.isEmpty() ? nullptr : pin.constData(), friendly.constData(),
                                 request.withPrivateKey ? key.get() : nullptr, certificate.get(),
                                 nullptr, pin.isEmpty() ? -1 : 0, -1, 0, 0, 0));
        Bio out(BIO_new(BIO_s_mem()));
        if (p12 && i2d_PKCS12_bio(out.get(), p12.get()))
            bytes = bytesOf(out.get());
    } else {
        bytes = pemOf(certificate.get());
        if (request.withPrivateKey)
            bytes += pemOf(key.get(), pin);
    }
    const QString base =
        request.fileName.isEmpty() ? created.thumbprint.toLower() : request.fileName;
    const QDir folder(storePath(request.location, request.store));
    created.path =
        folder.filePath(base + (pkcs12 ? QStringLiteral(".pfx") : QStringLiteral(".pem")));
    if (bytes.isEmpty() || !writePrivateFile(created.path, bytes) ||
        (!request.pinFileText.isEmpty() &&
         !writePrivateFile(folder.filePath(base + QStringLiteral(".pin")),
                           request.pinFileText.toUtf8()))) {
        created.error = QStringLiteral("Не удалось записать сертификат %1").arg(created.path);
        return created;
    }
    created.ok = true;
    return created;
}

} // namespace Orv::ComStandIn
