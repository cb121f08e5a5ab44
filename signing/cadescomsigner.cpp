#include "signing/cadescomsigner.h"

#include "core/util.h"
#include "platform/registry.h"
#include "signing/certsubject.h"

#include <QDateTime>

namespace Orv {

namespace {

constexpr int kCurrentUserStore = 2;
constexpr int kReadOnly = 0;
constexpr int kFindBySha1 = 0;
constexpr int kSigningTimeAttribute = 0;
constexpr int kContentAsBase64 = 1;
constexpr int kCadesBes = 1;
constexpr int kBase64Output = 0;

} // namespace

const QString CadesComSigner::kStoreProgId = QStringLiteral("CAdESCOM.Store");
const QString CadesComSigner::kStoreClassId =
    QStringLiteral("{7CBD72D9-76A3-4939-930C-52C4D6CA206B}");
const QString CadesComSigner::kSignerProgId = QStringLiteral("CAdESCOM.CPSigner");
const QString CadesComSigner::kSignerClassId =
    QStringLiteral("{94EBF679-1DED-48B9-9FD2-00A3949E0905}");
const QString CadesComSigner::kSignedDataProgId = QStringLiteral("CAdESCOM.CadesSignedData");
const QString CadesComSigner::kSignedDataClassId =
    QStringLiteral("{1264A46A-FDB8-43A3-AEE3-00E1684C98E9}");
const QString CadesComSigner::kAttributeProgId = QStringLiteral("CAdESCOM.CPAttribute");
const QString CadesComSigner::kAttributeClassId =
    QStringLiteral("{FE98A77F-7D50-4210-AED4-5B2AE2EDAEF1}");
const QString CadesComSigner::kProviderKey = QStringLiteral(
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 080");

SignerAvailability CadesComSigner::availability()
{
    if (registryText(kProviderKey, QStringLiteral("Name")).isEmpty())
        return SignerAvailability::CspMissing;
    if (ComObject::create(kStoreProgId, kStoreClassId).isNull())
        return SignerAvailability::PluginMissing;
    return SignerAvailability::Ready;
}

QString CadesComSigner::displayName() const
{
    return QStringLiteral("КриптоПро CAdESCOM (COM)");
}

ComObject CadesComSigner::openStore(QString *error)
{
    QString created;
    const ComObject store = ComObject::create(kStoreProgId, kStoreClassId, &created);
    if (store.isNull()) {
        // Only for a caller that reads it: telling which part is missing creates a COM object.
        if (error)
            *error = signerMissingText(availability() == SignerAvailability::CspMissing
                                           ? SignerAvailability::CspMissing
                                           : SignerAvailability::PluginMissing);
        logItems(Warn, "CAdESCOM недоступен:", created);
        return {};
    }
    QString opened;
    store.call(QStringLiteral("Open"), {kCurrentUserStore, QStringLiteral("My"), kReadOnly},
               &opened);
    if (!opened.isEmpty()) {
        setError(error,
                 QStringLiteral("Не удалось открыть хранилище сертификатов: %1").arg(opened));
        return {};
    }
    return store;
}

QList<CertificateInfo> CadesComSigner::certificates()
{
    QString error;
    const ComObject store = openStore(&error);
    if (store.isNull()) {
        logItems(Warn, "сертификаты недоступны:", error);
        return {};
    }
    const ComObject collection = store.object(QStringLiteral("Certificates"));
    if (collection.isNull())
        return {};
    const int count = collection.property(QStringLiteral("Count")).toInt();
    QList<CertificateInfo> list;
    list.reserve(count);
    for (int position = 1; position <= count; ++position) {
        const ComObject item = collection.object(QStringLiteral("Item"), {position});
        if (item.isNull())
            continue;
        CertificateInfo info;
        info.thumbprint = item.property(QStringLiteral("Thumbprint")).toString().toLower();
        info.subject = item.property(QStringLiteral("SubjectName")).toString();
        info.inn = innFromSubject(info.subject);
        info.validFrom = item.property(QStringLiteral("ValidFromDate")).toDateTime();
        info.validTo = item.property(QStringLiteral("ValidToDate")).toDateTime();
        if (!info.thumbprint.isEmpty())
            list.append(info);
    }
    store.call(QStringLiteral("Close"));
    return list;
}

QByteArray CadesComSigner::sign(const QByteArray &data, const QString &thumbprint, bool detached,
                                QString *error)
{
    const ComObject store = openStore(error);
    if (store.isNull())
        return {};

    ComObject certificate;
    const ComObject all = store.object(QStringLiteral("Certificates"));
    if (!all.isNull()) {
        const ComObject found = all.object(QStringLiteral("Find"), {kFindBySha1, thumbprint});
        if (!found.isNull())
            certificate = found.object(QStringLiteral("Item"), {1});
    }
    if (certificate.isNull()) {
        setError(
            error,
            QStringLiteral("Сертификат с отпечатком %1 не найден в хранилище").arg(thumbprint));
        return {};
    }

    QString created;
    const ComObject signer = ComObject::create(kSignerProgId, kSignerClassId, &created);
    const ComObject attribute = ComObject::create(kAttributeProgId, kAttributeClassId, &created);
    const ComObject signedData = ComObject::create(kSignedDataProgId, kSignedDataClassId, &created);
    if (signer.isNull() || attribute.isNull() || signedData.isNull()) {
        setError(error, signerMissingText(SignerAvailability::PluginMissing));
        logItems(Warn, "компоненты подписи недоступны:", created);
        return {};
    }

    QString prepared;
    signer.setProperty(QStringLiteral("Certificate"), QVariant::fromValue(certificate), &prepared);
    attribute.setProperty(QStringLiteral("Name"), kSigningTimeAttribute, &prepared);
    QDateTime now = QDateTime::currentDateTime();
    now = now.addMSecs(-now.time().msec());
    attribute.setProperty(QStringLiteral("Value"), now, &prepared);
    const ComObject attributes = signer.object(QStringLiteral("AuthenticatedAttributes2"));
    if (!attributes.isNull())
        attributes.call(QStringLiteral("Add"), {QVariant::fromValue(attribute)}, &prepared);
    signedData.setProperty(QStringLiteral("ContentEncoding"), kContentAsBase64, &prepared);
    signedData.setProperty(QStringLiteral("Content"), QString::fromLatin1(data.toBase64()),
                           &prepared);
    if (!prepared.isEmpty()) {
        setError(error,
                 QStringLiteral("КриптоПро отказал при подготовке подписи: %1").arg(prepared));
        return {};
    }

    QString refused;
    const QVariant result = signedData.call(
        QStringLiteral("SignCades"),
        {QVariant::fromValue(signer), kCadesBes, detached, kBase64Output}, &refused);
    store.call(QStringLiteral("Close"));
    const QString signature = result.toString().simplified().remove(u' ');
    if (refused.isEmpty() && !signature.isEmpty())
        return signature.toLatin1();
    setError(error,
             refused.isEmpty()
                 ? QStringLiteral("КриптоПро не вернул подпись. Проверьте, что вставлен носитель с "
                                  "ключом и введён верный PIN")
                 : QStringLiteral("КриптоПро отказал в подписи: %1").arg(refused));
    return {};
}

} // namespace Orv
