#include "utmhost/processshell.h"

#include "platform/elevatedrun.h"
#include "platform/updatecommand.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTimer>

#include <memory>

namespace Orv {
namespace {

constexpr int kFailureTextLimit = 600;
constexpr int kStopWaitMs = 2000;

int exitCodeOf(int exitCode, QProcess::ExitStatus status)
{
    return status == QProcess::NormalExit ? exitCode : -1;
}

// What a process printed so far, each channel within kMaxOutputBytes.
struct Output
{
    QByteArray out;
    QByteArray err;
    bool overflowed = false;

    // Takes what has arrived; a program past the bound is killed rather than held whole.
    void drain(QProcess *process)
    {
        keep(&out, process->readAllStandardOutput());
        keep(&err, process->readAllStandardError());
        if (overflowed && process->state() != QProcess::NotRunning)
            process->kill();
    }

    void keep(QByteArray *kept, const QByteArray &chunk)
    {
        const qsizetype room = kMaxOutputBytes - kept->size();
        kept->append(chunk.left(room));
        overflowed = overflowed || chunk.size() > room;
    }
};

// Reads both channels of `process` as they come, for as long as `context` lives.
std::shared_ptr<Output> readOutput(QProcess *process, QObject *context)
{
    auto output = std::make_shared<Output>();
    const auto drain = [process, output] {
        output->drain(process);
    };
    QObject::connect(process, &QProcess::readyReadStandardOutput, context, drain);
    QObject::connect(process, &QProcess::readyReadStandardError, context, drain);
    return output;
}

ShellResult finishedResult(QProcess *process, Output *output, int exitCode,
                           QProcess::ExitStatus status)
{
    output->drain(process);
    ShellResult result;
    result.started = true;
    result.exitCode = exitCodeOf(exitCode, status);
    result.out = std::move(output->out);
    result.err = std::move(output->err);
    result.overflowed = output->overflowed;
    return result;
}

ShellResult notStarted(const QString &reason)
{
    ShellResult result;
    result.err = reason.toUtf8();
    return result;
}

} // namespace

QString ShellResult::failureText() const
{
    if (!started)
        return QStringLiteral("программа не запустилась");
    if (timedOut)
        return QStringLiteral("программа не ответила вовремя");
    if (overflowed)
        return QStringLiteral("программа вывела больше %1 МБ и была остановлена")
            .arg(kMaxOutputBytes / (1024 * 1024));
    QString text = QString::fromUtf8(err).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(out).trimmed();
    text.remove(QChar(u'\0'));
    text.remove(QChar(u'\r'));
    if (text.size() > kFailureTextLimit)
        text = QStringLiteral("…") + text.right(kFailureTextLimit);
    if (text.isEmpty())
        return QStringLiteral("код выхода %1").arg(exitCode);
    return text;
}

QStringList toolCandidates(const QString &name)
{
    QStringList candidates;
    const QString programFiles = qEnvironmentVariable("ProgramFiles").trimmed();
    if (!programFiles.isEmpty())
        candidates << programFiles + QStringLiteral("/usbipd-win/%1.exe").arg(name);
    const QString systemRoot = qEnvironmentVariable("SystemRoot").trimmed();
    if (!systemRoot.isEmpty())
        candidates << systemRoot + QStringLiteral("/System32/%1.exe").arg(name);
    return candidates;
}

ProcessShell::ProcessShell(QObject *parent)
    : QObject(parent)
{}

ProcessShell::~ProcessShell()
{
    // Nobody is left to hear about the runs: take them down now, before their QProcess objects
    // would find them still running when they are deleted.
    for (const QPointer<QProcess> &process : std::as_const(m_runs)) {
        if (!process)
            continue;
        process->disconnect(this);
        process->kill();
        process->waitForFinished(kStopWaitMs);
    }
    stopBackground();
}

QProcess *ProcessShell::spawn(const ShellCommand &command)
{
    auto *process = new QProcess(this);
    // wsl.exe writes UTF-16 to a pipe unless told otherwise.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WSL_UTF8"), QStringLiteral("1"));
    process->setProcessEnvironment(environment);
    process->setProgram(command.program);
    process->setArguments(command.arguments);
    if (!command.stdinFile.isEmpty())
        process->setStandardInputFile(command.stdinFile);
    hideConsole(*process);
    return process;
}

void ProcessShell::run(const ShellCommand &command, ShellCallback done)
{
    QProcess *process = spawn(command);
    m_runs.append(process);

    struct Run
    {
        ShellResult result;
        bool done = false;
    };
    auto state = std::make_shared<Run>();
    auto complete = [this, process, state, done = std::move(done)] {
        if (state->done)
            return;
        state->done = true;
        m_runs.removeAll(process);
        process->deleteLater();
        done(state->result);
    };

    if (command.timeoutMs > 0) {
        auto *timer = new QTimer(process);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, process, [process, state] {
            state->result.timedOut = true;
            process->kill();
        });
        timer->start(command.timeoutMs);
    }
    connect(process, &QProcess::errorOccurred, this,
            [this, process, state, complete](QProcess::ProcessError error) {
                // A crash or a kill ends through finished.
                if (error != QProcess::FailedToStart)
                    return;
                state->result = notStarted(process->errorString());
                // QProcess may report this from within start(), that is inside run().
                QTimer::singleShot(0, this, complete);
            });
    const std::shared_ptr<Output> output = readOutput(process, this);
    connect(process, &QProcess::finished, this,
            [process, state, output, complete](int exitCode, QProcess::ExitStatus status) {
                const bool timedOut = state->result.timedOut;
                state->result = finishedResult(process, output.get(), exitCode, status);
                state->result.timedOut = timedOut;
                complete();
            });

    process->start(QIODevice::ReadWrite);
    if (command.stdinFile.isEmpty() && process->state() != QProcess::NotRunning) {
        if (!command.stdinData.isEmpty())
            process->write(command.stdinData);
        // The program sees the end of its input at once.
        process->closeWriteChannel();
    }
}

void ProcessShell::startBackground(const ShellCommand &command, ShellCallback done)
{
    stopBackground();
    QProcess *process = spawn(command);
    m_background = process;

    const std::shared_ptr<Output> output = readOutput(process, this);
    connect(process, &QProcess::finished, this,
            [this, process, output, done](int exitCode, QProcess::ExitStatus status) {
                const ShellResult result = finishedResult(process, output.get(), exitCode, status);
                process->deleteLater();
                // A stopped or replaced process ends unheard.
                if (m_background != process)
                    return;
                m_background.clear();
                done(result);
            });
    connect(process, &QProcess::errorOccurred, this,
            [this, process, done](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                const ShellResult result = notStarted(process->errorString());
                // Possibly from within start(): decide later, so that a stop or a replacement in
                // the meantime still silences it.
                QTimer::singleShot(0, this,
                                   [this, guard = QPointer<QProcess>(process), done, result] {
                                       if (!guard || m_background != guard)
                                           return;
                                       m_background.clear();
                                       guard->deleteLater();
                                       done(result);
                                   });
            });

    process->start(QIODevice::ReadWrite);
    if (process->state() != QProcess::NotRunning)
        process->closeWriteChannel();
}

void ProcessShell::stopBackground()
{
    if (!m_background)
        return;
    // Cleared first: the finished handler then knows the end was asked for.
    QProcess *process = m_background;
    m_background.clear();
    process->kill();
    process->waitForFinished(kStopWaitMs);
    process->deleteLater();
}

bool ProcessShell::isBackgroundRunning() const
{
    return m_background && m_background->state() != QProcess::NotRunning;
}

void ProcessShell::runElevated(const QString &program, const QString &parameters,
                               ShellCallback done)
{
    startElevated(program, parameters, this, [done](const ElevatedExit &exit) {
        ShellResult result;
        result.started = exit.started;
        result.exitCode = exit.exitCode;
        if (!exit.started) {
            result =
                notStarted(exit.startError == kElevationDeclined
                               ? QStringLiteral("разрешение администратора не дано")
                               : QStringLiteral("не запустилось, код %1").arg(exit.startError));
        }
        done(result);
    });
}

QString ProcessShell::resolveTool(const QString &name) const
{
    const QString onPath = QStandardPaths::findExecutable(name);
    if (!onPath.isEmpty())
        return onPath;
    for (const QString &candidate : toolCandidates(name)) {
        if (QFileInfo::exists(candidate))
            return QDir::toNativeSeparators(candidate);
    }
    return {};
}

void ProcessShell::killAll()
{
    const QList<QPointer<QProcess>> runs = m_runs;
    for (const QPointer<QProcess> &process : runs) {
        if (process)
            process->kill();
    }
}

} // namespace Orv
