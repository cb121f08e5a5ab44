#include "platform/updatecommand.h"

#include <QProcess>

namespace Orv {
namespace {

// Process creation flags of CreateProcessW.
constexpr unsigned long kCreateNewConsole = 0x00000010;
constexpr unsigned long kCreateNoWindow = 0x08000000;

} // namespace

QString maintenanceToolFileName()
{
    return QStringLiteral("maintenancetool.exe");
}

void hideConsole(QProcess &process)
{
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->flags &= ~kCreateNewConsole;
        arguments->flags |= kCreateNoWindow;
    });
}

void setUpdateCommand(QProcess &process)
{
    // cmd.exe takes its command line as it is: the quoting below is cmd's own, so nothing may be
    // added to it. "&" runs the restart whatever the update returned; "start" detaches the agent.
    process.setProgram(QStringLiteral("cmd.exe"));
    process.setNativeArguments(QStringLiteral(
        R"(/D /C ""%FERROW_TOOL%" update --confirm-command --accept-licenses --accept-messages )"
        R"(>> "%FERROW_LOG%" 2>&1 & start "" "%FERROW_EXE%" %FERROW_ARGS%")"));
}

} // namespace Orv
