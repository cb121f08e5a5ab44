#pragma once

#include "core/signer.h"
#include "core/task.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace Orv {

// Whether the certificate with `thumbprint` (any letter case) may sign for `inn` at `now`: it is in
// the store, valid at that instant and issued to exactly that INN. The store is read afresh on
// every call. A failure carries the text for the user; a success carries nothing.
TaskOutcome checkCertificate(ISigner *signer, const QString &inn, const QString &thumbprint,
                             const QDateTime &now = QDateTime::currentDateTimeUtc());

// The signature of `bytes`; empty on failure, with the signer's reason, or a generic one, in
// `error`.
QByteArray signBytes(ISigner *signer, const QByteArray &bytes, const QString &thumbprint,
                     bool detached, QString *error);

// The last steps every signing task shares: the certificate check, then the signature of `bytes`.
// A success carries {"signature"} and the SHA-256 of `bytes`; a failure the check's text, the
// signer's own error or, when the signer gave none, a generic one.
TaskOutcome signWithCertificate(ISigner *signer, const QString &inn, const QString &thumbprint,
                                const QByteArray &bytes, bool detached);

} // namespace Orv
