#pragma once

#include "platform/automationobject.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace Orv::ComStandIn {

// One certificate of a stand-in store folder: a PKCS#12 file (".pfx", ".p12") or a PEM file of
// the certificate and, optionally, its private key; a "<name>.pin" file beside it holds the PIN.
struct StoredCertificate
{
    QString path;
    QString thumbprint;  // upper-case hex SHA-1
    QString subjectName; // rendered as the Windows certificate store renders it
    QDateTime validFrom; // local time
    QDateTime validTo;
};

// The certificates of a folder in file-name order; files that cannot be read are left out.
QList<StoredCertificate> readStoreFolder(const QString &folder);

// A CAdES-BES signature (DER) over `content` with the certificate's stored key, raising what the
// provider would: no private key, wrong PIN, a key that does not fit.
struct CadesSignature
{
    CallOutcome outcome;
    QByteArray der;
};
CadesSignature signCades(const StoredCertificate &certificate, const QByteArray &content,
                         const QDateTime &signingTime, bool detached);

} // namespace Orv::ComStandIn
