#include "core/util.h"

#include "platform/sha256.h"
#include "platform/userprivate.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageLogger>
#include <QStandardPaths>

namespace Orv {

QString dataDir()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    makePrivatePath(dir);
    return dir;
}

void makeDataPrivate()
{
    const QString dir = dataDir();
    makePrivate(dir);
    for (const QFileInfo &entry :
         QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        makePrivate(entry.filePath());
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

// The most of a text from outside that a message or a log line takes.
constexpr qsizetype kShortLimit = 500;

// Values from outside (ids, types, paths, answers) reach log lines; a line break or other control
// character in them (C1's NEL included, a line break to many readers) must not split a line or
// forge one that looks like ours.
QString oneLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
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

QString shortened(const QString &text)
{
    return text.size() <= kShortLimit ? text : text.left(kShortLimit - 1) + u'…';
}

QString shortenedTail(const QString &text)
{
    return text.size() <= kShortLimit ? text : u'…' + text.right(kShortLimit - 1);
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

QJsonDocument jsonDocumentOf(const QByteArray &bytes)
{
    // Written as an escape, which the parser keeps, a U+FEFF that opens a string survives; the
    // rest goes through unchanged.
    constexpr QByteArrayView bom("\xEF\xBB\xBF");
    if (!bytes.contains(bom))
        return QJsonDocument::fromJson(bytes);
    QByteArray json;
    json.reserve(bytes.size());
    bool inString = false;
    bool escaped = false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        json += c;
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = inString;
        } else if (c == '"') {
            inString = !inString;
            if (inString && QByteArrayView(bytes).sliced(i + 1).startsWith(bom)) {
                json += "\\ufeff";
                i += bom.size();
            }
        }
    }
    return QJsonDocument::fromJson(json);
}

QJsonObject jsonObjectOf(const QByteArray &bytes)
{
    return jsonDocumentOf(bytes).object();
}

QString isoUtcText(const QDateTime &at)
{
    return at.isValid() ? at.toUTC().toString(Qt::ISODate) : QString();
}

} // namespace Orv
