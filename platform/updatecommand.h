#pragma once

#include <QString>

class QProcess;

namespace Orv {

// File name of the installer's maintenance tool, which stands beside an installed executable.
QString maintenanceToolFileName();

// Keeps the child from opening a console window of its own.
void hideConsole(QProcess &process);

// Makes `process` a command interpreter that, once started detached, runs the maintenance tool's
// unattended update with both output streams appended to the update log, and afterwards, whatever
// the update's outcome, starts the agent again with its start options. Everything it needs comes
// from its environment: FERROW_TOOL, FERROW_LOG, FERROW_EXE and FERROW_ARGS.
void setUpdateCommand(QProcess &process);

} // namespace Orv
