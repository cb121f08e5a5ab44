#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace Orv {

// Whether signing is possible at all on this PC.
enum class SignerAvailability : int {
    Ready = 0,
    CspMissing = 1,    // the signing provider is not installed
    PluginMissing = 2, // the provider is there, its automation plug-in is not
};

// One certificate of the current user's personal store.
struct CertificateInfo
{
    QString thumbprint; // SHA-1, lower case
    QString subject;    // as the store renders it
    QString inn;        // taken from the subject; empty when it names none
    QDateTime validFrom;
    QDateTime validTo;
};

// The one way to certificates and signatures. Called on the GUI thread; may block it.
class ISigner
{
public:
    virtual ~ISigner() = default;
    // Never fails towards the caller: an unreadable store gives an empty list.
    virtual QList<CertificateInfo> certificates() = 0;
    // Base64 (Latin-1, no line breaks) of a CAdES-BES signature, attached unless `detached`;
    // empty on failure, with the reason for the user in `error` when it is given.
    virtual QByteArray sign(const QByteArray &data, const QString &thumbprint, bool detached,
                            QString *error) = 0;
    virtual SignerAvailability availability() { return SignerAvailability::Ready; }
    virtual QString displayName() const = 0;
};

} // namespace Orv
