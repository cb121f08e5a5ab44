#pragma once

#include "core/signer.h"

#include <QDateTime>
#include <QList>
#include <QString>

namespace Orv {

// What a certificate's subject name says about its holder, and which certificates of the
// personal store can be offered for signing. Pure functions, no state.

// Capture group 1 of the first case-insensitive match of `pattern` anywhere in `text`, trimmed;
// empty when nothing matches.
QString regexCapture(const QString &text, const QString &pattern);

// The CN of the subject, or the whole subject when it names none.
QString commonName(const QString &subject);

// The holder's INN (10 digits for an organisation, 12 for a person), or empty. An organisation's
// INN wins over a person's when the subject carries both.
QString innFromSubject(const QString &subject);

// The CN without its outer quotation marks and with doubled inner ones made single.
QString certificateTitle(const CertificateInfo &certificate);

// A person's INN has 12 characters, an organisation's 10.
bool isPersonalInn(const QString &inn);

// Strict order of the offered list: organisations first, then the later end of validity, then
// the smaller INN.
bool certificateOrder(const CertificateInfo &a, const CertificateInfo &b);

// One certificate per INN, valid at `now`, the one that stays valid longest; sorted by
// certificateOrder. Certificates without an INN are never offered.
QList<CertificateInfo> selectSigningCertificates(const QList<CertificateInfo> &certificates,
                                                 const QDateTime &now);

} // namespace Orv
