#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

namespace Orv {

// The most of each output channel of a program that is kept; a program that prints more is
// ended.
constexpr qsizetype kMaxOutputBytes = 16 * 1024 * 1024;

// One outside program to run.
struct ShellCommand
{
    QString program; // as a rule a full path from resolveTool
    QStringList arguments;
    QByteArray stdinData;  // written to standard input by `run`, then the input is closed
    QString stdinFile;     // when set, the program reads this file and `stdinData` is ignored
    int timeoutMs = 60000; // `run` only; 0 or less: no limit
};

// What became of one run.
struct ShellResult
{
    bool started = false;  // also true when the program crashed, was killed or timed out
    bool timedOut = false; // the time limit struck and the program was killed
    int exitCode = -1;     // -1 unless it ended normally
    QByteArray out;
    QByteArray err; // for a program that did not start, the reason as UTF-8 text
    // A channel passed kMaxOutputBytes: the program was killed and that channel holds its start.
    bool overflowed = false;

    // Started, in time, output within bounds, and ended with 0: the only outcome that counts as
    // success.
    bool succeeded() const { return started && !timedOut && !overflowed && exitCode == 0; }
    // One line for the log about an unsuccessful result: why it did not start, that it timed out
    // or printed too much, or what the program said (its last 600 characters), else its exit
    // code.
    QString failureText() const;
};

using ShellCallback = std::function<void(const ShellResult &)>;

// Runs the host's outside programs asynchronously on the GUI thread. Every request completes
// through its callback exactly once and never from within the call that made it.
class IHostShell
{
public:
    virtual ~IHostShell() = default;

    virtual void run(const ShellCommand &command, ShellCallback done) = 0;
    // The one long-lived process: replaces the previous one, whose callback is then never called;
    // `done` reports only an end of its own (or a failure to start), never after a stop.
    virtual void startBackground(const ShellCommand &command, ShellCallback done) = 0;
    // Kills the background process and waits for it, at most 2 s; it reports nothing.
    virtual void stopBackground() = 0;
    virtual bool isBackgroundRunning() const = 0;
    // Starts `program` with administrator rights and no window; `parameters` is one command line,
    // already quoted. No time limit; nothing is captured.
    virtual void runElevated(const QString &program, const QString &parameters,
                             ShellCallback done) = 0;
    // Full path of a tool, or empty when it is nowhere to be found.
    virtual QString resolveTool(const QString &name) const = 0;
    // Kills every run in flight; each completes through its own callback. The background
    // process is left alone.
    virtual void killAll() = 0;
};

// Where a tool missing from the search path may stand: under the program files folder (usbipd's
// own install) and among the system's programs. A folder variable that is unset or empty offers
// no candidate rather than a path at the root of the drive.
QStringList toolCandidates(const QString &name);

// The host's outside programs as real processes: each with WSL_UTF8=1 in its environment, no
// console window, and both output channels read as they come, up to kMaxOutputBytes each.
class ProcessShell : public QObject, public IHostShell
{
    Q_OBJECT

public:
    explicit ProcessShell(QObject *parent = nullptr);
    // Kills the runs in flight and stops the background process; no callback follows.
    ~ProcessShell() override;

    void run(const ShellCommand &command, ShellCallback done) override;
    void startBackground(const ShellCommand &command, ShellCallback done) override;
    void stopBackground() override;
    bool isBackgroundRunning() const override;
    void runElevated(const QString &program, const QString &parameters,
                     ShellCallback done) override;
    QString resolveTool(const QString &name) const override;
    void killAll() override;

private:
    QProcess *spawn(const ShellCommand &command);

    QList<QPointer<QProcess>> m_runs;
    QPointer<QProcess> m_background;
};

} // namespace Orv
