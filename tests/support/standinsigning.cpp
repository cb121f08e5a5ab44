#include "tests/support/standinsigning.h"

#include <QFile>
#include <QProcess>

namespace Orv::Test {

StandInSigning::StandInSigning()
    : m_previousConfig(qgetenv("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", m_folder.path().toLocal8Bit());
    ComStandIn::clearFaults();
    ComStandIn::clearCallLog();
    ComStandIn::setCallLogEnabled(true);
    ComStandIn::setSettleTime(0);
    m_valid = m_folder.isValid() && ComStandIn::installProvider() && ComStandIn::installPlugin();
}

StandInSigning::~StandInSigning()
{
    ComStandIn::clearFaults();
    ComStandIn::setCallLogEnabled(false);
    ComStandIn::clearCallLog();
    ComStandIn::setSettleTime(ComStandIn::kSettleMs);
    if (m_previousConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_previousConfig);
}

bool StandInSigning::verify(const QByteArray &base64, const QByteArray &data, bool detached,
                            QString *detail)
{
    QTemporaryDir work;
    const QString signature = work.filePath(QStringLiteral("signature.der"));
    const QString content = work.filePath(QStringLiteral("content.bin"));
    const QString out = work.filePath(QStringLiteral("out.bin"));
    const QByteArray der = QByteArray::fromBase64(base64);
    if (detached && der.contains(data)) {
        if (detail)
            *detail = QStringLiteral("the detached signature carries the content");
        return false;
    }
    QFile signatureFile(signature);
    QFile contentFile(content);
    if (!signatureFile.open(QIODevice::WriteOnly) || !contentFile.open(QIODevice::WriteOnly) ||
        signatureFile.write(der) < 0 || contentFile.write(data) < 0)
        return false;
    signatureFile.close();
    contentFile.close();

    QStringList arguments = {
        "cms",  "-verify", "-cades",  "-binary", "-inform",
        "DER",  "-in",     signature, "-CAfile", ComStandIn::testAuthorityPath(),
        "-out", out};
    if (detached)
        arguments << QStringLiteral("-content") << content;
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    const bool finished = openssl.waitForFinished(60000);
    if (detail)
        *detail = QString::fromLocal8Bit(openssl.readAll());
    QFile verified(out);
    return finished && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0 &&
           verified.open(QIODevice::ReadOnly) && verified.readAll() == data;
}

} // namespace Orv::Test
