#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace Orv {

struct UtmHostStatus;

// One step of the set-up script's result.
struct HostSetupStep
{
    QString name;
    bool ok = false;
    QString text; // Russian, for the agent's log
};

// What the set-up script reported in its result file.
struct HostSetupResult
{
    bool valid = false;   // a JSON object of format 1
    QDateTime at;         // start of the run, UTC; invalid when unreadable
    bool ok = false;      // every step ran to its end
    bool reboot = false;  // Windows must be restarted
    QString error;        // why the run stopped
    QString firewall;     // "skipped" or "narrowed"
    QStringList autobind; // "vid:pid" ids in lower case, allowed for attaching without rights
    QList<HostSetupStep> steps;
};

// What the PC still needs before VMs can run, and the one sentence that says why.
struct HostSetupVerdict
{
    bool needsAdmin = false;
    bool rebootPending = false;
    QString reason;
};

// `text` as a PowerShell single-quoted literal. PowerShell ends such a literal at any of
// ' ‘ ’ ‚ ‛, so each of them is doubled.
QString psQuote(const QString &text);

// When Windows last started, in UTC; invalid when the system does not tell.
QDateTime bootTimeUtc();

} // namespace Orv

// The elevated set-up of Windows: the script built into the program, the command line that runs
// it, and the readers of what it leaves behind.
namespace Orv::HostSetup {

// The usbipd-win installer the script fetches when the driver is missing, and its checksum.
inline const QString kUsbipdMsiUrl = QStringLiteral(
    "https://github.com/dorssel/usbipd-win/releases/download/v5.3.0/usbipd-win_5.3.0_x64.msi");
inline const QString kUsbipdMsiSha256 =
    QStringLiteral("1c984914aec944de19b64eff232421439629699f8138e3ddc29301175bc6d938");

// Lower-case hex SHA-256 of the script as it was built into the program.
QString scriptSha256();
// The bytes of the built-in script; empty when the resource cannot be read or does not hash to
// `scriptSha256`.
QByteArray loadScript();
// The parameters for powershell.exe that run the script copy at `scriptPath` with its result
// going to `resultPath`. PowerShell reads the copy once, runs it from memory only when it hashes
// to `scriptSha256`, and otherwise exits with 90 without running any of it.
QString elevatedCommand(const QString &scriptPath, const QString &resultPath);

// The result file's content; not `valid` unless it is a JSON object of format 1. A single string
// for "autobind" and a single object for "steps" count as one-element lists.
HostSetupResult parseResult(const QByteArray &bytes);

// Rewrites the result file at `path` with "ok" false, all else kept: for a run whose exit code
// failed after it had written "done". False when the file is no result or cannot be rewritten.
bool markResultFailed(const QString &path);

// The token models allowed so far: the ids kept in the file at `path` (one per line, Latin-1)
// followed by those of `ids` it lacks, in the order first seen. The file is rewritten only when
// `ids` added one; an unreadable file counts as empty and a failed write is ignored.
QStringList rememberAutobind(const QString &path, const QStringList &ids);

// Said while Windows has not restarted since a set-up run that asked for it.
inline const QString kMsgRestartNeeded = QStringLiteral(
    "Перезагрузите компьютер — после перезагрузки TELLVANE FERROW продолжит настройку сам");

// What the PC still needs, given what the host sees, the last set-up result (its "autobind" being
// every model allowed so far) and when Windows last started; the first need found wins. A pending
// restart hides every other need.
HostSetupVerdict setupVerdict(const UtmHostStatus &status, const HostSetupResult &result,
                              const QDateTime &bootTime);

} // namespace Orv::HostSetup
