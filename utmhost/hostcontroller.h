#pragma once

#include "utmhost/processshell.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

namespace Orv {

class AppController;
class UtmHost;
struct HostCapacity;
struct HostResources;
struct UtmHostStatus;

// What the window shows of the host, derived from its status block. Pure functions.

// The word of a UtmHost::Phase; "checking" for any value outside the known ones.
QString phaseName(int phase);
// The word of a VmRunState; "failing" for any value outside the known ones.
QString vmStateName(int state);
// used / total, unclamped; -1.0 when total is below 1 (nothing measured).
double shareOf(qint64 used, qint64 total);
// The tag of the newest "localhost/utm-runtime:" image by plain text order of the tags (so 1.9
// comes after 1.10); empty when there is none.
QString runtimeImageTag(const QStringList &images);
// Whether the page offers the set-up: no WSL, no distribution, no УТМ image, or rights needed.
bool setupNeeded(const UtmHostStatus &status);
// Why the set-up is offered, in Russian; empty when there is nothing to say.
QString setupReason(const UtmHostStatus &status);

// The page's rows. `organizations` and `utms` are the agent controller's lists: VMs are joined
// with them by the INN their УТМ reported and by their address.
QVariantList vmRows(const UtmHostStatus &status, const QVariantList &organizations,
                    const QVariantList &utms);
// Every device taken for a token, with the number of the VM that holds it (0: none).
QVariantList tokenRows(const UtmHostStatus &status);
// The machine strip: shares, sizes as text and how many more VMs fit.
QVariantMap resourceMap(const HostResources &resources, const HostCapacity &capacity);

// The object behind the window's "utmHost" in host mode: owns the process runner and the host,
// hands every operation of the page to the host unchanged, and shows the host's state as
// properties computed on each read. A VM put online or offline is added to or removed from the
// agent's УТМ list, and the message of every finished operation becomes the agent's message.
// Built after the agent controller, which must outlive it; it starts nothing until `start`.
class HostController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString phase READ phase NOTIFY changed)
    Q_PROPERTY(QString problem READ problem NOTIFY changed)
    Q_PROPERTY(QString wslVersion READ wslVersion NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString busyText READ busyText NOTIFY changed)
    Q_PROPERTY(QString installStep READ installStep NOTIFY changed)
    Q_PROPERTY(double installProgress READ installProgress NOTIFY changed)
    Q_PROPERTY(QString image READ image NOTIFY changed)
    Q_PROPERTY(bool usbipdFound READ usbipdFound NOTIFY changed)
    Q_PROPERTY(bool setupNeeded READ setupNeeded NOTIFY changed)
    Q_PROPERTY(bool rebootPending READ rebootPending NOTIFY changed)
    Q_PROPERTY(QString setupReason READ setupReason NOTIFY changed)
    Q_PROPERTY(bool setupNeedsAdmin READ setupNeedsAdmin NOTIFY changed)
    Q_PROPERTY(QVariantList vms READ vms NOTIFY changed)
    Q_PROPERTY(QVariantList tokens READ tokens NOTIFY changed)
    Q_PROPERTY(QVariantMap resources READ resources NOTIFY resourcesChanged)
    Q_PROPERTY(int logNumber READ logNumber NOTIFY logsChanged)
    Q_PROPERTY(QString logText READ logText NOTIFY logsChanged)
    // Whether the user is looking at the host's page; the host refreshes faster meanwhile.
    Q_PROPERTY(bool watching READ watching WRITE setWatching NOTIFY changed)

public:
    // An empty `payloadSource` means the host's own manifest address; any other is used as is.
    HostController(AppController *app, const QString &payloadSource, QObject *parent = nullptr);
    // Shuts the host down, then deletes it before the runner it uses.
    ~HostController() override;

    void start();
    // Stops the host's timers, download, keep-alive and programs. Safe to call again.
    void shutdown();

    QString phase() const;
    QString problem() const;
    QString wslVersion() const;
    bool busy() const;
    QString busyText() const;
    QString installStep() const;
    double installProgress() const;
    QString image() const;
    bool usbipdFound() const;
    bool setupNeeded() const;
    bool rebootPending() const;
    QString setupReason() const;
    bool setupNeedsAdmin() const;
    QVariantList vms() const;
    QVariantList tokens() const;
    QVariantMap resources() const;
    int logNumber() const { return m_logNumber; }
    QString logText() const { return m_logText; }
    bool watching() const { return m_watching; }
    void setWatching(bool watching);

    // The page's operations; each outcome comes back as a change and an agent message.
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void setup();
    Q_INVOKABLE void install();
    Q_INVOKABLE void updateImage();
    Q_INVOKABLE void removeHost();
    Q_INVOKABLE void createVm(const QString &name);
    Q_INVOKABLE void createTestVm(const QString &name, const QString &inn);
    Q_INVOKABLE void startVm(int number);
    Q_INVOKABLE void stopVm(int number);
    Q_INVOKABLE void removeVm(int number);
    Q_INVOKABLE void renameVm(int number, const QString &name);
    Q_INVOKABLE void setOnline(int number, bool online);
    Q_INVOKABLE void assignToken(int number, const QString &busId);
    Q_INVOKABLE void releaseToken(int number);
    // Empties the journal text at once (logsChanged), then asks the host for VM `number`'s.
    Q_INVOKABLE void loadLogs(int number);
    // Opens VM `number`'s УТМ in the browser, whether that VM exists or not.
    Q_INVOKABLE void openUtm(int number);

signals:
    void changed();
    void resourcesChanged();
    void logsChanged();

private:
    friend class TestHostController;

    void setLogs(int number, const QString &text);

    AppController *m_app;
    ProcessShell m_shell;
    std::unique_ptr<UtmHost> m_host;
    bool m_watching = false;
    int m_logNumber = 0;
    QString m_logText;
};

} // namespace Orv
