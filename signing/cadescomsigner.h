#pragma once

#include "core/signer.h"
#include "signing/comobject.h"

namespace Orv {

// The signer over the CryptoPro CAdESCOM automation objects: the current user's personal store
// and CAdES-BES signatures in base64; the private keys stay with the provider. Every operation
// opens the store and creates its objects anew and releases them before it returns.
class CadesComSigner : public ISigner
{
public:
    CadesComSigner() = default;

    QList<CertificateInfo> certificates() override;
    QByteArray sign(const QByteArray &data, const QString &thumbprint, bool detached,
                    QString *error) override;
    SignerAvailability availability() override;
    QString displayName() const override;

    static const QString kStoreProgId;
    static const QString kStoreClassId;
    static const QString kSignerProgId;
    static const QString kSignerClassId;
    static const QString kSignedDataProgId;
    static const QString kSignedDataClassId;
    static const QString kAttributeProgId;
    static const QString kAttributeClassId;
    static const QString kProviderKey;

private:
    ComObject openStore(QString *error);

    ComApartment m_apartment;
};

} // namespace Orv
