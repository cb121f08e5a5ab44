#include "tests/support/standinsigning.h"

#include <QDir>
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
    m_valid = m_folder.isValid() && ComStandIn::installProvider() && ComStandIn::installPlugin();
}

StandInSigning::~StandInSigning()
{
    ComStandIn::clearFaults();
    ComStandIn::setCallLogEnabled(false);
    ComStandIn::clearCallLog();
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
    QFile signatureFile(signature);
    QFile contentFile(content);
    if (!signatureFile.open(QIODevice::WriteOnly) || !contentFile.open(QIODevice::WriteOnly))
        return false;
    signatureFile.write(QByteArray::fromBase64(base64));
    contentFile.write(data);
    signatureFile.close();
    contentFile.close();

    QStringList arguments = {QStringLiteral("cms"),     QStringLiteral("-verify"),
                             QStringLiteral("-cades"),  QStringLiteral("-binary"),
                             QStringLiteral("-inform"), QStringLiteral("DER"),
                             QStringLiteral("-in"),     signature,
                             QStringLiteral("-CAfile"), ComStandIn::testAuthorityPath(),
                             QStringLiteral("-out"),    out};
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
