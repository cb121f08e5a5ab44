// Stands in for the Windows update launch (cmd.exe with hidden console) on other systems: the
// maintenance tool is "maintenancetool" without extension, the command interpreter is /bin/sh,
// and there is no console to hide. The command reads the same four variables and appends to the
// same log; the restarted agent replaces the shell instead of being started by "start".

#include "platform/updatecommand.h"

#include <QProcess>

namespace Orv {

QString maintenanceToolFileName()
{
    return QStringLiteral("maintenancetool");
}

void hideConsole(QProcess &) {}

void setUpdateCommand(QProcess &process)
{
    // FERROW_ARGS stays unquoted so that it splits into the separate options, as on Windows.
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments(
        {QStringLiteral("-c"), QStringLiteral("\"$FERROW_TOOL\" update --confirm-command "
                                              "--accept-licenses --accept-messages "
                                              ">> \"$FERROW_LOG\" 2>&1; "
                                              "exec \"$FERROW_EXE\" $FERROW_ARGS")});
}

} // namespace Orv
