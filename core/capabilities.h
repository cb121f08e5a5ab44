#pragma once

#include "core/signer.h"
#include "utm/utmprobe.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace Orv {

// One thing this PC can do for the server: "sign" or "utm", with its attributes.
struct Capability
{
    QString type;
    QJsonObject details;
};

// "sign" (only when there are certificates), then one "utm" per status with an address whose
// FSRAR ID has not been announced yet.
QList<Capability> buildCapabilities(const QList<CertificateInfo> &certificates,
                                    const QList<UtmStatus> &statuses);
QList<Capability> signCapability(const QList<CertificateInfo> &certificates);
Capability utmCapability(const UtmStatus &status);

} // namespace Orv
