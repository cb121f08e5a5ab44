#include "core/task.h"

namespace Orv {

TaskOutcome TaskOutcome::failure(const QString &message)
{
    TaskOutcome outcome;
    outcome.message = message;
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
