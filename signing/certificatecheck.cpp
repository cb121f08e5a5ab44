#include "signing/certificatecheck.h"

#include "core/util.h"

#include <QList>

#include <algorithm>

namespace Orv {

TaskOutcome checkCertificate(ISigner *signer, const QString &inn, const QString &thumbprint,
                             const QDateTime &now)
{
    const QList<CertificateInfo> certificates = signer->certificates();
    const auto found =
        std::find_if(certificates.cbegin(), certificates.cend(), [&](const CertificateInfo &c) {
            return c.thumbprint.compare(thumbprint, Qt::CaseInsensitive) == 0;
        });
    if (found == certificates.cend())
        return TaskOutcome::failure(
            QStringLiteral("Сертификат с отпечатком %1 не найден в хранилище этого компьютера")
                .arg(thumbprint));

    // A certificate without a readable end date cannot be shown to be valid, so it counts as
    // expired; one without a readable start date counts as already begun.
    const CertificateInfo &certificate = *found;
    const bool notYetValid = certificate.validFrom.isValid() && certificate.validFrom > now;
    const bool expired = !certificate.validTo.isValid() || now >= certificate.validTo;
    if (notYetValid || expired)
        return TaskOutcome::failure(
            QStringLiteral("Срок действия сертификата истёк %1")
                .arg(certificate.validTo.toLocalTime().toString(QStringLiteral("dd.MM.yyyy"))));

    if (certificate.inn.isEmpty())
        return TaskOutcome::failure(
            QStringLiteral("В сертификате нет ИНН — Честный знак такую подпись не примет"));
    if (certificate.inn != inn)
        return TaskOutcome::failure(
            QStringLiteral("Сертификат выдан организации с ИНН %1, а подпись запрошена за %2")
                .arg(certificate.inn, inn));
    return TaskOutcome::success({}, {});
}

QByteArray signBytes(ISigner *signer, const QByteArray &bytes, const QString &thumbprint,
                     bool detached, QString *error)
{
    const QByteArray signature = signer->sign(bytes, thumbprint, detached, error);
    if (signature.isEmpty() && error->isEmpty())
        *error = QStringLiteral("КриптоПро не вернул подпись");
    return signature;
}

TaskOutcome signWithCertificate(ISigner *signer, const QString &inn, const QString &thumbprint,
                                const QByteArray &bytes, bool detached)
{
    const TaskOutcome check = checkCertificate(signer, inn, thumbprint);
    if (!check.ok)
        return check;
    QString error;
    const QByteArray signature = signBytes(signer, bytes, thumbprint, detached, &error);
    if (signature.isEmpty())
        return TaskOutcome::failure(error);
    return TaskOutcome::success({{QStringLiteral("signature"), QString::fromLatin1(signature)}},
                                sha256Hex(bytes));
}

} // namespace Orv
