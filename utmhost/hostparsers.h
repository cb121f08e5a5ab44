#pragma once

#include "utmhost/hostrecords.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Readers of what wsl.exe, the distribution's status script, usbipd and the user's .wslconfig
// print. Pure functions: bad input gives empty or partial records, never an error, except the
// usbipd reader, which says why it read nothing.

namespace Orv {

// wsl.exe's output as text, whether it came as UTF-16LE or UTF-8; byte-order marks, NULs and
// carriage returns removed.
QString decodeProcessOutput(const QByteArray &bytes);

// The dotted version (three or four numbers) on the first line of `wsl --version`; empty when
// there is none.
QString extractVersion(const QString &text);

// The rows of `wsl --list --verbose`, whatever the language of its heading.
QList<WslDistro> parseWslList(const QString &text);

// Whether wsl.exe's output says that it has no distribution at all, which it reports as a
// failure: in English, in either Russian wording, or by its error code, which no language
// changes; letter case does not matter.
bool saysNoDistributions(const QString &text);

// The status script's report. VM numbers outside 1..99 and sizes that would not fit in bytes are
// ignored.
DistroStatus parseHostStatus(const QString &text);

// Sets the field of `vm` that one KEY=VALUE line of its env file names.
void parseVmConfig(UtmVm &vm, const QString &line);

// The trimmed text as a decimal number, 0 when it is none.
qint64 parseKilobytes(const QString &text);

// Every device of `usbipd state`, in its order; `error` (when given) gets the reason when the
// JSON is not an object.
QList<HostToken> parseUsbipdState(const QByteArray &json, QString *error);

// USB vendors that make crypto tokens; `vid` in lower case.
bool isKnownTokenVendor(const QString &vid);

// Whether a device description names a token or a smart-card reader.
bool looksLikeToken(const QString &description);

// The memory limit and processor count of the [wsl2] section; a value that does not fit is
// left unset.
WslConfig parseWslConfig(const QString &text);

} // namespace Orv
