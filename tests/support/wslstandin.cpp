#include "tests/support/wslstandin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <signal.h>

namespace Orv::Test {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

} // namespace

WslStandIn::WslStandIn(const QString &distro)
    : m_distro(distro)
{
    if (m_root.isValid())
        setState(QStringLiteral("Stopped"));
}

WslStandIn::~WslStandIn()
{
    for (const qint64 pid : processIds())
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

QString WslStandIn::folder()
{
    return QStringLiteral(ORV_STANDIN_DIR);
}

void WslStandIn::addTo(QProcessEnvironment &environment) const
{
    environment.insert(QStringLiteral("PATH"),
                       folder() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("WSL_STANDIN_ROOT"), m_root.path());
}

QProcessEnvironment WslStandIn::environment() const
{
    QProcessEnvironment environment = m_home.environment();
    addTo(environment);
    return environment;
}

void WslStandIn::exportEnvironment() const
{
    m_home.exportToThisProcess();
    const QProcessEnvironment own = environment();
    for (const char *name : {"PATH", "WSL_STANDIN_ROOT"})
        qputenv(name, own.value(QLatin1String(name)).toLocal8Bit());
}

WslStandIn::Run WslStandIn::run(const QStringList &arguments, const QByteArray &input,
                                bool utf8) const
{
    QProcessEnvironment environment = this->environment();
    if (utf8)
        environment.insert(QStringLiteral("WSL_UTF8"), QStringLiteral("1"));
    else
        environment.remove(QStringLiteral("WSL_UTF8"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(folder() + QStringLiteral("/wsl"), arguments);
    Run result;
    if (!process.waitForStarted())
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

WslStandIn::Run WslStandIn::runScript(const QString &script) const
{
    return run({QStringLiteral("-d"), m_distro, QStringLiteral("-u"), QStringLiteral("root"),
                QStringLiteral("--"), QStringLiteral("bash"), QStringLiteral("-s")},
               script.toUtf8());
}

QString WslStandIn::path(const QString &path) const
{
    return m_root.path() + QLatin1Char('/') + m_distro + path;
}

QString WslStandIn::readFile(const QString &path) const
{
    return QString::fromUtf8(readAll(this->path(path)));
}

bool WslStandIn::writeFile(const QString &path, const QByteArray &content) const
{
    const QString target = this->path(path);
    QDir().mkpath(target.section(QLatin1Char('/'), 0, -2));
    return writeAll(target, content);
}

bool WslStandIn::setUiLanguage(const QString &language) const
{
    return writeAll(m_root.filePath(QStringLiteral("ui-language")), language.toUtf8());
}

QString WslStandIn::stateFile(const QString &name) const
{
    return QStringLiteral("/.standin/") + name;
}

QString WslStandIn::state() const
{
    return readFile(stateFile(QStringLiteral("state"))).trimmed();
}

void WslStandIn::setState(const QString &state) const
{
    writeFile(stateFile(QStringLiteral("state")), state.toUtf8() + '\n');
}

QStringList WslStandIn::calls() const
{
    return readFile(stateFile(QStringLiteral("calls.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void WslStandIn::setUnitProperty(const QString &unit, const QString &property,
                                 const QString &value) const
{
    writeFile(stateFile(QStringLiteral("units/%1/%2").arg(unit, property)), value.toUtf8() + '\n');
}

QStringList WslStandIn::images() const
{
    return readFile(stateFile(QStringLiteral("images")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void WslStandIn::setImages(const QStringList &images) const
{
    QByteArray lines;
    for (const QString &image : images)
        lines += image.toUtf8() + '\n';
    writeFile(stateFile(QStringLiteral("images")), lines);
}

QList<qint64> WslStandIn::processIds() const
{
    const QByteArray entry = "WSL_STANDIN_ROOT=" + QFile::encodeName(m_root.path());
    QList<qint64> found;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = name.toLongLong();
        if (pid > 0 && pid != QCoreApplication::applicationPid() &&
            readAll(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0').contains(entry))
            found << pid;
    }
    return found;
}

QStringList WslStandIn::processes() const
{
    QStringList found;
    for (const qint64 pid : processIds())
        found << QString::fromLocal8Bit(readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)))
                     .replace(QLatin1Char('\0'), QLatin1Char(' '))
                     .trimmed();
    return found;
}

} // namespace Orv::Test
