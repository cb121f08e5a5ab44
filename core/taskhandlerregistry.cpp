#include "core/taskhandlerregistry.h"

#include "core/canonicaljson.h"
#include "core/util.h"

namespace Orv {

TaskHandlerRegistry::TaskHandlerRegistry() = default;
TaskHandlerRegistry::~TaskHandlerRegistry() = default;

void TaskHandlerRegistry::add(std::unique_ptr<ITaskHandler> handler)
{
    if (handler)
        m_handlers.push_back(std::move(handler));
}

ITaskHandler *TaskHandlerRegistry::find(const QString &type) const
{
    for (const auto &handler : m_handlers) {
        if (handler->type() == type)
            return handler.get();
    }
    return nullptr;
}

bool TaskHandlerRegistry::supports(const QString &type) const
{
    return find(type) != nullptr;
}

TaskOutcome TaskHandlerRegistry::prepare(const TaskDescriptor &task, ITaskHandler **handler) const
{
    *handler = nullptr;
    ITaskHandler *found = find(task.type);
    if (!found) {
        logItems(Warn, "неизвестный тип задачи:", task.type);
        return TaskOutcome::failure(
            QStringLiteral("Тип задачи «%1» не поддерживается этой версией агента. "
                           "Обновите приложение агента")
                .arg(task.type));
    }
    if (task.expiresAt.isValid() && task.expiresAt <= QDateTime::currentDateTimeUtc()) {
        logItems(Warn, "задача просрочена, подписывать не будем:", task.id);
        return TaskOutcome::failure(
            QStringLiteral("Срок задачи истёк до того, как её успели выполнить"));
    }
    if (!task.payloadHash.isEmpty()) {
        QString computed = canonicalMemberSha256(task.json, "payload");
        if (computed.isEmpty())
            computed = canonicalJsonSha256(task.payload);
        if (computed.compare(task.payloadHash, Qt::CaseInsensitive) != 0) {
            logItems(Warn, "хэш задачи не сошёлся:", task.id, "сервер", task.payloadHash, "мы",
                     computed);
            return TaskOutcome::failure(QStringLiteral(
                "Содержимое задачи не совпало с её хэшем: подписывать такое нельзя"));
        }
    }
    *handler = found;
    return TaskOutcome::success({}, {});
}

void TaskHandlerRegistry::runAsync(const TaskDescriptor &task, TaskCompletion done)
{
    ITaskHandler *handler = nullptr;
    TaskOutcome refusal = prepare(task, &handler);
    if (handler)
        handler->runAsync(task, std::move(done));
    else
        done(refusal);
}

TaskOutcome TaskHandlerRegistry::execute(const TaskDescriptor &task)
{
    ITaskHandler *handler = nullptr;
    TaskOutcome refusal = prepare(task, &handler);
    return handler ? handler->execute(task) : refusal;
}

} // namespace Orv
