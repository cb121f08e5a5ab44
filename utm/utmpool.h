#pragma once

#include "utm/utmprobe.h"

#include <QList>

#include <memory>

namespace Orv {

// The configured УТМ, one probe per client, in the order the clients were given. Owns no client.
// Destroying the pool detaches every probe and aborts its client, so callbacks of running checks
// run inside the destructor and no request outlives the pool.
class UtmPool
{
public:
    UtmPool() = default;
    ~UtmPool();
    UtmPool(const UtmPool &) = delete;
    UtmPool &operator=(const UtmPool &) = delete;

    // Keeps the probe (status and running check) of every client it already had; the probes of
    // clients no longer given are detached and their clients' requests aborted.
    void setClients(const QList<IUtmClient *> &clients);
    QList<IUtmClient *> clients() const;
    bool isEmpty() const { return m_probes.isEmpty(); }

    // Checks every УТМ at once: onProgress once per probe as its check ends, onDone once after
    // the last (at once for an empty pool). Either may be empty.
    void refresh(UtmStatusCallback onProgress, std::function<void()> onDone);

    // Copies in pool order; an address repeating an earlier one's FSRAR ID says so in `error`.
    QList<UtmStatus> statuses() const;
    // The first probe serving that FSRAR ID; null for an empty one or when none does.
    std::shared_ptr<UtmProbe> probeFor(const QString &fsrarId) const;
    bool allFsrarIdsKnown() const;
    // Aborts the requests in flight; probes and clients stay.
    void abortAll();

private:
    QList<std::shared_ptr<UtmProbe>> m_probes;
};

} // namespace Orv
