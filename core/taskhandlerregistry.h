#pragma once

#include "core/task.h"

#include <memory>
#include <vector>

namespace Orv {

// Owns the task handlers and is the gate every task passes before one of them sees it: the
// type must have a handler, the task must not have expired, and the payload must match the
// hash the server sent (when it sent one). A refusal is an ordinary failed outcome.
class TaskHandlerRegistry
{
public:
    TaskHandlerRegistry();
    ~TaskHandlerRegistry();
    TaskHandlerRegistry(const TaskHandlerRegistry &) = delete;
    TaskHandlerRegistry &operator=(const TaskHandlerRegistry &) = delete;

    void add(std::unique_ptr<ITaskHandler> handler);
    // The first handler registered for exactly this type (case-sensitive), or null.
    ITaskHandler *find(const QString &type) const;
    bool supports(const QString &type) const;

    // Runs the checks. When the task may run, `*handler` is its handler and the outcome is an
    // empty success; otherwise `*handler` is null and the outcome is the refusal.
    TaskOutcome prepare(const TaskDescriptor &task, ITaskHandler **handler) const;
    // Calls `done` exactly once; a refusal completes before this returns.
    void runAsync(const TaskDescriptor &task, TaskCompletion done);
    TaskOutcome execute(const TaskDescriptor &task);

private:
    std::vector<std::unique_ptr<ITaskHandler>> m_handlers;
};

} // namespace Orv
