#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace Orv {

// One task as the server sent it.
struct TaskDescriptor
{
    QString id;
    QString type;
    QString orgInn;
    QString orgName;
    QJsonObject payload;
    QString payloadHash; // empty when the server gave none
    QDateTime expiresAt; // invalid: the task does not expire
    // The task as the server sent it, so the payload's hash can be made from the server's own
    // bytes; empty for a task made here.
    QByteArray json;
};

// What became of a task. Built only through the two factories, so a success never carries a
// message and a failure never carries data.
struct TaskOutcome
{
    bool ok = false;
    QJsonObject data;
    QString message;
    QString signedHash; // lower-case hex SHA-256 of what was signed or sent

    static TaskOutcome failure(const QString &message);
    static TaskOutcome success(const QJsonObject &data, const QString &signedHash);
};

using TaskCompletion = std::function<void(const TaskOutcome &)>;

// Serves exactly one task type. No failure leaves a handler as an exception.
class ITaskHandler
{
public:
    virtual ~ITaskHandler() = default;
    virtual QString type() const = 0;
    virtual TaskOutcome execute(const TaskDescriptor &task) = 0;
    // Calls `done` exactly once; the default runs `execute` and completes before returning.
    virtual void runAsync(const TaskDescriptor &task, TaskCompletion done);
};

} // namespace Orv
