#include "utmhost/hostparsers.h"

#include "utmhost/distrofiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Orv {

namespace {

constexpr qint64 kMaxInt64 = std::numeric_limits<qint64>::max();

// Kilobytes as bytes; false for a negative size or one that bytes would not hold.
bool kilobytesToBytes(const QString &text, qint64 *bytes)
{
    const qint64 kilobytes = parseKilobytes(text);
    if (kilobytes < 0 || kilobytes > kMaxInt64 / 1024)
        return false;
    *bytes = kilobytes * 1024;
    return true;
}

int intOrZero(const QString &text)
{
    return text.trimmed().toInt();
}

QString stringOf(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

bool nonEmptyString(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() && !value.toString().isEmpty();
}

// The bytes that "memory" gives in .wslconfig: a number with an optional B, K, M, G or T unit.
// False when the text is no such size or the size does not fit.
bool wslMemoryBytes(const QString &value, qint64 *bytes)
{
    static const QRegularExpression expression(
        QStringLiteral("^(\\d+(?:\\.\\d+)?)\\s*([KMGT]?B?)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = expression.match(value);
    if (!match.hasMatch())
        return false;
    const QString unit = match.captured(2).toUpper();
    const int power = unit.isEmpty() ? 0 : int(QStringLiteral("BKMGT").indexOf(unit.at(0)));
    double size = match.captured(1).toDouble();
    for (int i = 0; i < power; ++i)
        size *= 1024;
    // 2^63 is the first double past the largest 64-bit integer.
    if (!std::isfinite(size) || size >= 9223372036854775808.0)
        return false;
    *bytes = qint64(size);
    return true;
}

} // namespace

QString decodeProcessOutput(const QByteArray &bytes)
{
    int oddNuls = 0;
    for (int i = 1; i < bytes.size(); i += 2) {
        if (bytes.at(i) == '\0')
            ++oddNuls;
    }
    // The byte-order mark decides where it stands: mostly Cyrillic UTF-16 has few NUL high bytes,
    // and UTF-8 never begins with these two.
    const bool utf16Mark = bytes.startsWith("\xff\xfe");
    QString text;
    if (utf16Mark || (bytes.size() >= 2 && qint64(oddNuls) * 4 >= bytes.size())) {
        QStringDecoder utf16(QStringConverter::Utf16LE);
        text = utf16(bytes.left(bytes.size() / 2 * 2));
    } else {
        text = QString::fromUtf8(bytes);
    }
    text.remove(QChar(0xFEFF));
    text.remove(QChar(0));
    text.remove(QLatin1Char('\r'));
    return text;
}

QString extractVersion(const QString &text)
{
    static const QRegularExpression expression(QStringLiteral("(\\d+\\.\\d+\\.\\d+(?:\\.\\d+)?)"));
    const QString firstLine = text.trimmed().section(QLatin1Char('\n'), 0, 0);
    return expression.match(firstLine).captured(1);
}

QList<WslDistro> parseWslList(const QString &text)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    QList<WslDistro> rows;
    for (const QString &rawLine : text.split(QLatin1Char('\n'))) {
        QString line = rawLine.trimmed();
        const bool isDefault = line.startsWith(QLatin1Char('*'));
        if (isDefault)
            line = line.mid(1).trimmed();
        const QStringList columns = line.split(blanks, Qt::SkipEmptyParts);
        if (columns.size() < 3)
            continue;
        bool ok = false;
        const int version = columns.last().toInt(&ok, 10);
        if (!ok)
            continue;
        WslDistro row;
        row.name = columns.first();
        row.state = columns.at(columns.size() - 2);
        row.version = version;
        row.isDefault = isDefault;
        rows.append(row);
    }
    return rows;
}

bool saysNoDistributions(const QString &text)
{
    // Versions word it differently: WSL 2.4 on a Russian Windows begins the sentence in lower
    // case and gives no error code.
    static const QStringList sayings{
        QStringLiteral("has no installed distributions"),
        QStringLiteral("не имеет установленных дистрибутивов"),
        QStringLiteral("нет установленных дистрибутивов"),
        QStringLiteral("WSL_E_DEFAULT_DISTRO_NOT_FOUND")};
    return std::any_of(sayings.cbegin(), sayings.cend(), [&text](const QString &saying) {
        return text.contains(saying, Qt::CaseInsensitive);
    });
}

DistroStatus parseHostStatus(const QString &text)
{
    DistroStatus status;
    UtmVm *current = nullptr;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        const QString key = fields.first().trimmed();
        const int count = fields.size();
        if (key == QLatin1String("systemd") && count >= 2) {
            status.systemd = fields.at(1).trimmed();
        } else if (key == QLatin1String("mem") && count >= 3) {
            qint64 bytes = 0;
            if (!kilobytesToBytes(fields.at(2), &bytes))
                continue;
            if (fields.at(1) == QLatin1String("MemTotal"))
                status.memTotal = bytes;
            else if (fields.at(1) == QLatin1String("MemAvailable"))
                status.memAvailable = bytes;
        } else if (key == QLatin1String("image") && count >= 2) {
            const QString image = fields.at(1).trimmed();
            if (!image.isEmpty())
                status.images.append(image);
        } else if (key == QLatin1String("vm") && count >= 2) {
            // Only numbers the port scheme holds make a VM; anything else from the distribution
            // would give ports and addresses out of range.
            const int number = intOrZero(fields.at(1));
            current = nullptr;
            if (number >= 1 && number <= kMaxVmNumber) {
                UtmVm vm;
                vm.number = number;
                status.vms.append(vm);
                current = &status.vms.last();
            }
        } else if (!current) {
            continue;
        } else if (key == QLatin1String("meta") && count >= 2) {
            parseVmConfig(*current, fields.mid(1).join(QLatin1Char('\t')));
        } else if (key == QLatin1String("unit") && count >= 5) {
            current->activeState = fields.at(1).trimmed();
            current->subState = fields.at(2).trimmed();
            current->execMainStatus = intOrZero(fields.at(3));
            current->restarts = intOrZero(fields.at(4));
        } else if (key == QLatin1String("rss") && count >= 2) {
            kilobytesToBytes(fields.at(1), &current->memory);
        } else if (key == QLatin1String("device") && count >= 2) {
            current->devicePresent = fields.at(1).trimmed() == QLatin1String("present");
        } else if (key == QLatin1String("end")) {
            current = nullptr;
        }
    }
    return status;
}

void parseVmConfig(UtmVm &vm, const QString &line)
{
    const int equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0)
        return;
    const QString key = line.left(equals);
    const QString value = line.mid(equals + 1);
    if (key == QLatin1String("NAME_B64"))
        vm.name = QString::fromUtf8(QByteArray::fromBase64(value.toLatin1()));
    else if (key == QLatin1String("NETWORK"))
        vm.online = value == QLatin1String("host");
    else if (key == QLatin1String("ENABLED"))
        vm.enabled = value != QLatin1String("0");
    else if (key == QLatin1String("TOKEN_SERIAL"))
        vm.tokenSerial = value;
    else if (key == QLatin1String("TOKEN_VID"))
        vm.tokenVid = value;
    else if (key == QLatin1String("IMAGE"))
        vm.image = value;
    else if (key == QLatin1String("JAVA_OPTS"))
        vm.javaOpts = value;
    else if (key == QLatin1String("KIND"))
        vm.test = value == QLatin1String("test");
    else if (key == QLatin1String("TEST_FSRAR"))
        vm.testFsrarId = value;
    else if (key == QLatin1String("TEST_INN"))
        vm.testInn = value;
}

qint64 parseKilobytes(const QString &text)
{
    return text.trimmed().toLongLong(nullptr, 10);
}

QList<HostToken> parseUsbipdState(const QByteArray &json, QString *error)
{
    static const QRegularExpression instance(
        QStringLiteral("VID_([0-9A-Fa-f]{4})&PID_([0-9A-Fa-f]{4})\\\\(.+)$"));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        if (error)
            *error =
                QStringLiteral("usbipd state ответил не JSON: %1").arg(parseError.errorString());
        return {};
    }
    QList<HostToken> tokens;
    const QJsonArray devices = document.object().value(QLatin1String("Devices")).toArray();
    for (const QJsonValue &entry : devices) {
        const QJsonObject device = entry.toObject();
        HostToken token;
        token.busId = stringOf(device, "BusId");
        token.description = stringOf(device, "Description");
        token.instanceId = stringOf(device, "InstanceId");
        token.bound = nonEmptyString(device, "PersistedGuid");
        token.attached = nonEmptyString(device, "ClientIPAddress");
        const QRegularExpressionMatch match = instance.match(token.instanceId);
        if (match.hasMatch()) {
            token.vid = match.captured(1).toLower();
            token.pid = match.captured(2).toLower();
            if (!match.captured(3).contains(QLatin1Char('&')))
                token.serial = match.captured(3);
        }
        token.isToken = isKnownTokenVendor(token.vid) || looksLikeToken(token.description);
        tokens.append(token);
    }
    return tokens;
}

bool isKnownTokenVendor(const QString &vid)
{
    static const QStringList vendors = {QStringLiteral("0a89"), QStringLiteral("24dc"),
                                        QStringLiteral("2bb1"), QStringLiteral("2ce4")};
    return vendors.contains(vid);
}

bool looksLikeToken(const QString &description)
{
    static const QRegularExpression expression(
        QStringLiteral("Rutoken|Рутокен|JaCarta|ESMART|eToken|Smart ?Card|CCID"),
        QRegularExpression::CaseInsensitiveOption);
    return expression.match(description).hasMatch();
}

WslConfig parseWslConfig(const QString &text)
{
    WslConfig config;
    bool inWsl2 = false;
    for (const QString &rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inWsl2 = line.compare(QLatin1String("[wsl2]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (!inWsl2 || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("memory")) {
            wslMemoryBytes(value, &config.memoryBytes);
        } else if (key == QLatin1String("processors")) {
            // A negative count is as meaningless as a word.
            config.processors = qMax(0, value.toInt());
        }
    }
    return config;
}

} // namespace Orv
