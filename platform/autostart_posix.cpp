// Stands in for the value under the Windows Run key: a per-user XDG autostart entry,
// "<config>/autostart/<name>.desktop", whose Exec line carries the command line. Desktop
// environments that follow the XDG autostart rules start it at logon, as Windows does with a Run
// value. Differences: the command line is stored with the desktop-entry escapes (reversed when it
// is read back, so callers see exactly what they wrote), the program is started by the desktop
// session rather than by the logon itself, and a file that is not a desktop entry reads as one
// without a command line.

#include "platform/autostart.h"

#include "platform/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace Orv {

namespace {

const QString kExecPrefix = QStringLiteral("Exec=");

QString entryPath(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

// Within a quoted argument of Exec these four are taken literally only behind a backslash.
bool needsQuotedEscape(QChar c)
{
    return c == u'`' || c == u'$' || c == u'\\' || c == u'"';
}

// The command line as an Exec value: quoted-argument escapes, "%%" for a percent sign (a lone
// one would start a field code), then the escapes every desktop-entry string value has.
QString encodeExec(const QString &commandLine)
{
    QString exec;
    bool quoted = false;
    for (const QChar c : commandLine) {
        if (c == u'"') {
            quoted = !quoted;
            exec += c;
        } else if (c == u'%') {
            exec += QStringLiteral("%%");
        } else {
            if (quoted && needsQuotedEscape(c))
                exec += u'\\';
            exec += c;
        }
    }
    QString value;
    for (const QChar c : exec) {
        switch (c.unicode()) {
        case '\\':
            value += QStringLiteral("\\\\");
            break;
        case '\n':
            value += QStringLiteral("\\n");
            break;
        case '\t':
            value += QStringLiteral("\\t");
            break;
        case '\r':
            value += QStringLiteral("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

QString decodeExec(const QString &value)
{
    QString exec;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != u'\\' || i + 1 == value.size()) {
            exec += value.at(i);
            continue;
        }
        switch (value.at(++i).unicode()) {
        case 's':
            exec += u' ';
            break;
        case 'n':
            exec += u'\n';
            break;
        case 't':
            exec += u'\t';
            break;
        case 'r':
            exec += u'\r';
            break;
        default:
            exec += value.at(i);
        }
    }
    QString commandLine;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c == u'%' && i + 1 < exec.size() && exec.at(i + 1) == u'%') {
            commandLine += c;
            ++i;
        } else if (quoted && c == u'\\' && i + 1 < exec.size() &&
                   needsQuotedEscape(exec.at(i + 1))) {
            commandLine += exec.at(++i);
        } else {
            if (c == u'"')
                quoted = !quoted;
            commandLine += c;
        }
    }
    return commandLine;
}

} // namespace

bool hasAutostartEntry(const QString &name)
{
    return QFile::exists(entryPath(name));
}

QString autostartEntry(const QString &name)
{
    QFile file(entryPath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    bool inMainGroup = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'['))
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
        else if (inMainGroup && line.startsWith(kExecPrefix))
            return decodeExec(line.mid(kExecPrefix.size()));
    }
    return {};
}

void writeAutostartEntry(const QString &name, const QString &commandLine)
{
    const QString path = entryPath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=%1\n"
                                        "Exec=%2\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(name, encodeExec(commandLine));
    // Writes are not confirmed to the caller, so a refused one must leave the entry as it was (or
    // none): one cut short would read as set and start nothing.
    (void)replaceFileContents(path, text.toUtf8());
}

void removeAutostartEntry(const QString &name)
{
    QFile::remove(entryPath(name));
}

} // namespace Orv
