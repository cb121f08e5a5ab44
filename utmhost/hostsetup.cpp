#include "utmhost/hostsetup.h"

#include "core/util.h"
#include "platform/systeminfo.h"
#include "utmhost/utmhost.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringEncoder>

namespace Orv {

QString psQuote(const QString &text)
{
    QString quoted;
    quoted += u'\'';
    for (const QChar c : text) {
        quoted += c;
        if (c == u'\'' || (c >= QChar(0x2018) && c <= QChar(0x201B)))
            quoted += c;
    }
    quoted += u'\'';
    return quoted;
}

QDateTime bootTimeUtc()
{
    // No system has been up for no time at all: zero is the reading's failure.
    const qint64 sinceBoot = millisecondsSinceBoot();
    return sinceBoot > 0 ? QDateTime::currentDateTimeUtc().addMSecs(-sinceBoot) : QDateTime();
}

namespace HostSetup {

// The hash is fixed when the program is built (the build writes it into ORV_HOSTSETUP_SHA256),
// not computed from the resource when the program runs: a hash taken from the very bytes it is
// meant to vouch for would vouch for any bytes.
QString scriptSha256()
{
    return QStringLiteral(ORV_HOSTSETUP_SHA256);
}

QByteArray loadScript()
{
    QFile file(QStringLiteral(":/orvagent/utmhost/hostsetup.ps1"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (sha256Hex(bytes) != scriptSha256()) {
        logMessage(Warn, QStringLiteral("хост УТМ: скрипт настройки в программе повреждён"));
        return {};
    }
    return bytes;
}

QString elevatedCommand(const QString &scriptPath, const QString &resultPath)
{
    // One substitution for all five, so that a "%2" inside a path stays as it is.
    const QString wrapper =
        QStringLiteral("$ErrorActionPreference='Stop'\n"
                       "$b=[IO.File]::ReadAllBytes(%1)\n"
                       "$h=-join([Security.Cryptography.SHA256]::Create().ComputeHash($b)"
                       "|ForEach-Object{$_.ToString('x2')})\n"
                       "if($h -ne '%2'){exit 90}\n"
                       "$t=[Text.Encoding]::UTF8.GetString($b).TrimStart([char]0xFEFF)\n"
                       "& ([ScriptBlock]::Create($t)) -ResultPath %3 -MsiUrl %4 -MsiSha256 %5\n"
                       "exit $LASTEXITCODE\n")
            .arg(psQuote(QDir::toNativeSeparators(scriptPath)), scriptSha256(),
                 psQuote(QDir::toNativeSeparators(resultPath)), psQuote(kUsbipdMsiUrl),
                 psQuote(kUsbipdMsiSha256));
    QStringEncoder toUtf16Le(QStringEncoder::Utf16LE);
    const QByteArray utf16 = toUtf16Le(wrapper);
    return QStringLiteral("-NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle Hidden "
                          "-EncodedCommand %1")
        .arg(QString::fromLatin1(utf16.toBase64()));
}

HostSetupResult parseResult(const QByteArray &bytes)
{
    HostSetupResult result;
    const QJsonObject root = jsonObjectOf(bytes);
    if (root.value(QLatin1String("format")).toInt(0) != 1)
        return result;
    result.valid = true;

    // Takes the script's seven fraction digits as well as a time without any.
    result.at = QDateTime::fromString(root.value(QLatin1String("at")).toString(), Qt::ISODateWithMs)
                    .toUTC();

    result.ok = root.value(QLatin1String("ok")).toBool(false);
    result.reboot = root.value(QLatin1String("reboot")).toBool(false);
    result.error = root.value(QLatin1String("error")).toString();
    result.firewall = root.value(QLatin1String("firewall")).toString();

    // PowerShell writes a one-element list as its element alone.
    const QJsonValue autobind = root.value(QLatin1String("autobind"));
    const QJsonArray ids = autobind.isString() ? QJsonArray{autobind} : autobind.toArray();
    for (const QJsonValue &id : ids) {
        // An empty id names no model; kept, it would only add blank lines to the stored list.
        const QString text = id.toString().toLower();
        if (!text.isEmpty())
            result.autobind.append(text);
    }

    const QJsonValue steps = root.value(QLatin1String("steps"));
    const QJsonArray stepList = steps.isObject() ? QJsonArray{steps} : steps.toArray();
    for (const QJsonValue &value : stepList) {
        const QJsonObject step = value.toObject();
        result.steps.append({step.value(QLatin1String("name")).toString(),
                             step.value(QLatin1String("ok")).toBool(false),
                             step.value(QLatin1String("text")).toString()});
    }
    return result;
}

bool markResultFailed(const QString &path)
{
    QFile file(path);
    QJsonObject root;
    if (file.open(QIODevice::ReadOnly))
        root = jsonObjectOf(file.readAll());
    file.close();
    if (root.isEmpty())
        return false;
    root.insert(QLatin1String("ok"), false);
    const QByteArray bytes = QJsonDocument(root).toJson();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QStringList rememberAutobind(const QString &path, const QStringList &ids)
{
    QStringList known;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        known = QString::fromLatin1(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    file.close();

    bool added = false;
    for (const QString &id : ids) {
        if (!known.contains(id)) {
            known.append(id);
            added = true;
        }
    }
    if (added && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(known.join(u'\n').toLatin1());
    return known;
}

HostSetupVerdict setupVerdict(const UtmHostStatus &status, const HostSetupResult &result,
                              const QDateTime &bootTime)
{
    // Windows has not started since the run that asked for a restart.
    if (result.valid && result.ok && result.reboot && bootTime.isValid() && result.at.isValid() &&
        bootTime < result.at)
        return {false, true, kMsgRestartNeeded};
    if (status.phase == UtmHost::NoWsl)
        return {true, false, QStringLiteral("Нужны компоненты Windows для VM")};
    if (!status.usbipdFound)
        return {true, false, QStringLiteral("Нужен драйвер USB")};
    for (const HostToken &token : status.tokens) {
        if (token.isToken && !token.vid.isEmpty() &&
            !result.autobind.contains(QStringLiteral("%1:%2").arg(token.vid, token.pid)))
            return {true, false,
                    QStringLiteral("Вставлен носитель новой модели — его нужно разрешить для VM")};
    }
    // The rule can only be narrowed to WSL's adapter, which exists while the distribution runs.
    if (status.distroRunning && result.firewall != QLatin1String("narrowed"))
        return {true, false,
                QStringLiteral("Порт передачи носителей открыт для всей локальной сети")};
    return {};
}

} // namespace HostSetup
} // namespace Orv
