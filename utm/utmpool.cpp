#include "utm/utmpool.h"

namespace Orv {

UtmPool::~UtmPool()
{
    setClients({});
}

void UtmPool::setClients(const QList<IUtmClient *> &clients)
{
    QList<std::shared_ptr<UtmProbe>> kept;
    for (IUtmClient *client : clients) {
        if (!client)
            continue;
        const auto same = [client](const std::shared_ptr<UtmProbe> &p) {
            return p->client() == client;
        };
        if (std::any_of(kept.cbegin(), kept.cend(), same))
            continue;
        const auto existing = std::find_if(m_probes.cbegin(), m_probes.cend(), same);
        kept.append(existing != m_probes.cend() ? *existing : std::make_shared<UtmProbe>(client));
    }
    const QList<std::shared_ptr<UtmProbe>> old = std::exchange(m_probes, kept);
    for (const std::shared_ptr<UtmProbe> &probe : old) {
        if (m_probes.contains(probe))
            continue;
        // Detached first, so the handlers of the aborted requests see that the check is over.
        IUtmClient *client = probe->client();
        *probe = UtmProbe(nullptr);
        if (client)
            client->abortAll();
    }
}

QList<IUtmClient *> UtmPool::clients() const
{
    QList<IUtmClient *> result;
    for (const std::shared_ptr<UtmProbe> &probe : m_probes)
        result.append(probe->client());
    return result;
}

void UtmPool::refresh(UtmStatusCallback onProgress, std::function<void()> onDone)
{
    if (m_probes.isEmpty()) {
        if (onDone)
            onDone();
        return;
    }
    auto remaining = std::make_shared<qsizetype>(m_probes.size());
    // A callback may change the pool; every probe started here must still call back.
    const QList<std::shared_ptr<UtmProbe>> probes = m_probes;
    for (const std::shared_ptr<UtmProbe> &probe : probes) {
        probe->refresh([probe, remaining, onProgress, onDone](const UtmStatus &status) {
            if (onProgress)
                onProgress(status);
            if (--*remaining == 0 && onDone)
                onDone();
        });
    }
}

QList<UtmStatus> UtmPool::statuses() const
{
    QList<UtmStatus> result;
    for (const std::shared_ptr<UtmProbe> &probe : m_probes) {
        UtmStatus status = probe->status();
        if (!status.fsrarId.isEmpty()) {
            const auto first =
                std::find_if(result.cbegin(), result.cend(), [&status](const UtmStatus &earlier) {
                    return earlier.fsrarId == status.fsrarId;
                });
            if (first != result.cend())
                status.error = QStringLiteral("Это тот же УТМ, что по адресу %1: задачи идут "
                                              "туда, этот адрес можно убрать")
                                   .arg(first->endpoint);
        }
        result.append(status);
    }
    return result;
}

std::shared_ptr<UtmProbe> UtmPool::probeFor(const QString &fsrarId) const
{
    if (fsrarId.isEmpty())
        return nullptr;
    for (const std::shared_ptr<UtmProbe> &probe : m_probes) {
        if (probe->status().fsrarId == fsrarId)
            return probe;
    }
    return nullptr;
}

bool UtmPool::allFsrarIdsKnown() const
{
    return std::all_of(m_probes.cbegin(), m_probes.cend(), [](const std::shared_ptr<UtmProbe> &p) {
        return !p->status().fsrarId.isEmpty();
    });
}

void UtmPool::abortAll()
{
    for (const std::shared_ptr<UtmProbe> &probe : m_probes) {
        if (IUtmClient *client = probe->client())
            client->abortAll();
    }
}

} // namespace Orv
