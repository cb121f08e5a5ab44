#pragma once

#include "core/signer.h"
#include "core/task.h"

#include <QDateTime>
#include <QString>

namespace Orv {

// Whether the certificate with `thumbprint` (any letter case) may sign for `inn` at `now`: it is in
// the store, valid at that instant and issued to exactly that INN. The store is read afresh on
// every call. A failure carries the text for the user; a success carries nothing.
TaskOutcome checkCertificate(ISigner *signer, const QString &inn, const QString &thumbprint,
                             const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace Orv
