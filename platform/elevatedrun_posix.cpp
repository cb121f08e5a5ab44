// Stands in for the Windows start with administrator rights (the "runas" verb of the shell, its
// consent prompt and the wait on the process handle) where there is none. There is no prompt and
// no elevation: the program runs as the current user with its parameters split like a command
// line, its output discarded, and its exit code is reported when it ends (-1 after a crash). An
// exit status here has 8 bits where Windows reports 32 (3010 asks for a restart): the program
// finds in the environment variable ORV_ELEVATED_EXIT_FILE a file where it may write its whole
// code in decimal, and a number found there is reported in place of the status. A program that
// cannot start reports the system's "file not found" (2). Setting the environment variable
// ORV_ELEVATION_CONSENT to "declined" plays a user who declines the prompt: nothing starts and
// the start error is the system's code for it.
#include "platform/elevatedrun.h"

#include <QObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>

namespace Orv {
namespace {

constexpr unsigned long kFileNotFound = 2;

// The whole code written to `codeFile`, or else the exit status.
int exitCodeOf(QTemporaryFile *codeFile, int status)
{
    bool written = false;
    const int code =
        codeFile->isOpen() && codeFile->seek(0) ? codeFile->readAll().trimmed().toInt(&written) : 0;
    return written ? code : status;
}

} // namespace

void startElevated(const QString &program, const QString &parameters, QObject *context,
                   std::function<void(const ElevatedExit &)> done)
{
    if (qEnvironmentVariable("ORV_ELEVATION_CONSENT") == QLatin1String("declined")) {
        QTimer::singleShot(0, context, [done] { done({false, -1, kElevationDeclined}); });
        return;
    }
    auto *process = new QProcess(context);
    auto *codeFile = new QTemporaryFile(process);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (codeFile->open())
        environment.insert(QStringLiteral("ORV_ELEVATED_EXIT_FILE"), codeFile->fileName());
    process->setProcessEnvironment(environment);
    process->setProgram(program);
    process->setArguments(QProcess::splitCommand(parameters));
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(
        process, &QProcess::finished, context,
        [process, codeFile, done](int exitCode, QProcess::ExitStatus status) {
            process->deleteLater();
            done({true, status == QProcess::NormalExit ? exitCodeOf(codeFile, exitCode) : -1, 0});
        });
    QObject::connect(
        process, &QProcess::errorOccurred, context,
        [process, context, done](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            process->deleteLater();
            // The failure may come from within start(): report it later all the same.
            QTimer::singleShot(0, context, [done] { done({false, -1, kFileNotFound}); });
        });
    process->start();
}

} // namespace Orv
