#pragma once

#include "core/task.h"
#include "utm/utmpool.h"

#include <memory>

namespace Orv {

// "utm.request": forwards one allowed HTTP request to the УТМ serving the task's FSRAR ID and
// returns its answer, whatever the status. Only asynchronous; the pool is not owned.
class UtmRequestTask : public ITaskHandler
{
public:
    static constexpr int kRequestTimeoutMs = 90000;

    explicit UtmRequestTask(UtmPool *pool, int requestTimeoutMs = kRequestTimeoutMs);

    QString type() const override;
    TaskOutcome execute(const TaskDescriptor &task) override;
    void runAsync(const TaskDescriptor &task, TaskCompletion done) override;

    // Why no УТМ takes requests for `fsrarId`.
    static QString explainNoUtm(const QString &fsrarId, const UtmPool &pool);
    // The refusal of the request for the УТМ `utm`, or empty when it may go.
    static QString checkRequest(const TaskDescriptor &task, const UtmStatus &utm,
                                const QByteArray &body);
    // Root/Owner/FSRAR_ID of a document, trimmed; empty when there is none.
    static QString ownerFsrarId(const QByteArray &xml);

private:
    void execute(const TaskDescriptor &task, const TaskCompletion &done);

    UtmPool *m_pool;
    int m_requestTimeoutMs;
    // Completions pending in the pool must not reach a handler that is gone.
    std::shared_ptr<int> m_lifetime = std::make_shared<int>();
};

} // namespace Orv
