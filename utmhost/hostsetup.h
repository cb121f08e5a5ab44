#pragma once

#include <QByteArray>
#include <QString>

namespace Orv {

// `text` as a PowerShell single-quoted literal. PowerShell ends such a literal at any of
// ' ‘ ’ ‚ ‛, so each of them is doubled.
QString psQuote(const QString &text);

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

} // namespace Orv::HostSetup
