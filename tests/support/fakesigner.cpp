#include "tests/support/fakesigner.h"

namespace Orv::Test {

void FakeSigner::setCertificates(const QList<CertificateInfo> &certificates)
{
    m_certificates = certificates;
}

void FakeSigner::setSignature(const QByteArray &signature)
{
    m_signature = signature;
    m_error.clear();
}

void FakeSigner::setFailure(const QString &error)
{
    m_signature.clear();
    m_error = error;
}

void FakeSigner::setAvailability(SignerAvailability availability)
{
    m_availability = availability;
}

QList<CertificateInfo> FakeSigner::certificates()
{
    ++m_certificateReads;
    return m_certificates;
}

QByteArray FakeSigner::sign(const QByteArray &data, const QString &thumbprint, bool detached,
                            QString *error)
{
    m_signCalls.append({data, thumbprint, detached});
    if (error)
        *error = m_error;
    return m_signature;
}

QString FakeSigner::displayName() const
{
    return QStringLiteral("Тестовая подпись");
}

} // namespace Orv::Test
