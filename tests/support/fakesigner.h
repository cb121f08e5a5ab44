#pragma once

#include "core/signer.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Orv::Test {

// A signer whose store and answers the test sets. It signs nothing: `sign` answers the scripted
// signature (or fails with the scripted error) whatever it is given, and records each call.
class FakeSigner : public ISigner
{
public:
    struct SignCall
    {
        QByteArray data;
        QString thumbprint;
        bool detached = false;
    };

    static inline const QByteArray kDefaultSignature = QByteArrayLiteral("TUlJRkFLRVNJRw==");

    void setCertificates(const QList<CertificateInfo> &certificates);
    // Every later `sign` answers `signature`.
    void setSignature(const QByteArray &signature);
    // Every later `sign` answers nothing and reports `error` (which may be empty).
    void setFailure(const QString &error);
    void setAvailability(SignerAvailability availability);

    QList<SignCall> signCalls() const { return m_signCalls; }
    int certificateReads() const { return m_certificateReads; }

    QList<CertificateInfo> certificates() override;
    QByteArray sign(const QByteArray &data, const QString &thumbprint, bool detached,
                    QString *error) override;
    SignerAvailability availability() override { return m_availability; }
    QString displayName() const override;

private:
    QList<CertificateInfo> m_certificates;
    QByteArray m_signature = kDefaultSignature;
    QString m_error;
    SignerAvailability m_availability = SignerAvailability::Ready;
    QList<SignCall> m_signCalls;
    int m_certificateReads = 0;
};

} // namespace Orv::Test
