#pragma once

#include <QString>

#include <functional>

class QObject;

namespace Orv {

// How a program started with administrator rights ended.
struct ElevatedExit
{
    bool started = false;
    int exitCode = -1;            // what the system reports for the process, when it started
    unsigned long startError = 0; // the system's error code, when it did not start
};

// The system's code for an administrator prompt that the user declined.
constexpr unsigned long kElevationDeclined = 1223;

// Starts `program` with administrator rights and no window; `parameters` is one command line,
// already quoted, passed on unchanged. `done` is called exactly once, from the event loop and never
// from within this call, when the program has ended or could not start; there is no time limit.
// Nothing is delivered once `context` is gone.
void startElevated(const QString &program, const QString &parameters, QObject *context,
                   std::function<void(const ElevatedExit &)> done);

} // namespace Orv
