#include "core/util.h"

#include "platform/sha256.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QMessageLogger>
#include <QStandardPaths>

namespace Orv {

QString dataDir()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    return dir;
}

QString journalPath()
{
    return dataDir() + QStringLiteral("/journal.db");
}

QString deviceTokenPath()
{
    return dataDir() + QStringLiteral("/device.token");
}

namespace {

// Values from outside (ids, types, paths, answers) reach log lines; a line break or other control
// character in them must not split a line or forge one that looks like ours.
QString oneLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QChar::LineSeparator ||
                 c == QChar::ParagraphSeparator)
            out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QChar(u'0'));
        else
            out += c;
    }
    return out;
}

} // namespace

void logMessage(int level, const QString &text)
{
    static const char *const words[] = {"DEBUG", "INFO", "WARN", "ERROR"};
    if (level < Debug || level > Error)
        return;
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QByteArray line = QStringLiteral("%1 [%2] %3")
                                .arg(stamp, QLatin1String(words[level]), oneLine(text))
                                .toUtf8();
    QMessageLogger logger;
    switch (level) {
    case Debug:
        logger.debug("%s", line.constData());
        break;
    case Info:
        logger.info("%s", line.constData());
        break;
    case Warn:
        logger.warning("%s", line.constData());
        break;
    default:
        logger.critical("%s", line.constData());
        break;
    }
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString maskSecret(const QString &secret)
{
    if (secret.isEmpty())
        return {};
    if (secret.size() <= 12)
        return QStringLiteral("***");
    return QStringLiteral("%1***%2 (%3)")
        .arg(secret.left(4), secret.right(4), QString::number(secret.size()));
}

QString signerMissingText(SignerAvailability availability)
{
    switch (availability) {
    case SignerAvailability::CspMissing:
        return QStringLiteral(
            "На компьютере не установлен КриптоПро CSP. Без него электронной подписью не "
            "воспользоваться, даже если носитель с ключом (Рутокен, JaCarta, флешка) вставлен. "
            "Установите КриптоПро CSP и КриптоПро ЭЦП Browser plug-in. Для подписи, выданной "
            "налоговой (УЦ ФНС), лицензия КриптоПро CSP встроена в сертификат");
    case SignerAvailability::PluginMissing:
        return QStringLiteral(
            "КриптоПро CSP установлен, но нет КриптоПро ЭЦП Browser plug-in: через него "
            "TELLVANE FERROW обращается к подписи. Установите плагин и обновите список");
    default:
        return {};
    }
}

QString sha256Hex(const QByteArray &bytes)
{
    Sha256 hash;
    hash.add(bytes);
    return hash.hexResult();
}

QString withoutTrailingSlashes(QString url)
{
    while (url.endsWith(u'/'))
        url.chop(1);
    return url;
}

QJsonObject jsonObjectOf(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

QString isoUtcText(const QDateTime &at)
{
    return at.isValid() ? at.toUTC().toString(Qt::ISODate) : QString();
}

} // namespace Orv
