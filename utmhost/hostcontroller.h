#pragma once

#include <QObject>
#include <QString>

namespace Orv {

class AppController;

// The object behind the window's "utmHost" in host mode: hosts УТМ instances on this PC and feeds
// the agent controller with them. Built after the agent controller, which it only points to; it
// starts nothing until `start`.
class HostController : public QObject
{
    Q_OBJECT
    // Whether the user is looking at the host's page; the host refreshes faster meanwhile.
    Q_PROPERTY(bool watching READ watching WRITE setWatching NOTIFY changed)

public:
    // An empty `manifestSource` means the built-in manifest address.
    HostController(AppController *agent, const QString &manifestSource, QObject *parent = nullptr);
    // Shuts the host down.
    ~HostController() override;

    void start();
    // Stops everything the host runs. Safe to call again.
    void shutdown();

    bool watching() const { return m_watching; }
    void setWatching(bool watching);

signals:
    void changed();

private:
    AppController *m_agent;
    QString m_manifestUrl;
    bool m_watching = false;
};

} // namespace Orv
