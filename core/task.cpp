#include "core/task.h"

#include "core/util.h"

namespace Orv {

TaskOutcome TaskOutcome::failure(const QString &message)
{
    // Refusals quote what the server sent; the message line, the journal and the log take it.
    TaskOutcome outcome;
    outcome.message = shortened(message);
    return outcome;
}

TaskOutcome TaskOutcome::success(const QJsonObject &data, const QString &signedHash)
{
    TaskOutcome outcome;
    outcome.ok = true;
    outcome.data = data;
    outcome.signedHash = signedHash;
    return outcome;
}

void ITaskHandler::runAsync(const TaskDescriptor &task, TaskCompletion done)
{
    done(execute(task));
}

} // namespace Orv
