#pragma once

#include "core/agentclient.h"
#include "core/capabilities.h"
#include "core/signer.h"
#include "core/task.h"
#include "utm/utmprobe.h"

#include <QElapsedTimer>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace Orv {

class IHttpClient;
class IUtmClient;
class Journal;
class TaskHandlerRegistry;
class UtmPool;

// The agent's link to the server as the user sees it.
enum class AgentState : int {
    Idle = 0,       // no token
    Connecting = 1, // a token, and no answer since the start yet
    Online = 2,     // the last poll was answered
    Offline = 3,    // the last poll failed, or stopped with a token
};

// The word for a state in the log; "?" for anything else.
QString agentStateText(AgentState state);

// The headless agent: holds the token and the organisations served, sends a heartbeat with the
// capability list every interval, long-polls the server for tasks, runs one task at a time
// through the handler registry, journals the outcome and posts it back; a failed poll is retried
// with a doubling delay. Everything runs on the GUI thread and nothing waits for the network.
//
// Completions given to the API client refer to the core directly: whoever destroys it first
// calls stop and aborts the HTTP transport's requests (their answers are then handled as those
// of a stopped core), and only then deletes it.
class AgentCore : public QObject
{
    Q_OBJECT

public:
    // `http`, `signer` and `journal` are borrowed and must outlive the core; `journal` may be
    // null, and then nothing is journaled.
    AgentCore(const AgentConfig &config, IHttpClient *http, ISigner *signer, Journal *journal,
              QObject *parent = nullptr);
    ~AgentCore() override;

    // Connecting with a token, Idle without; starts and stops nothing.
    void setToken(const QString &token);
    QString token() const { return m_token; }
    void start();
    // Stops the loop. A task in progress still gets journaled, but its result is not posted;
    // requests already sent to the server are not cancelled.
    void stop();

    AgentState state() const { return m_state; }
    bool isBusy() const { return m_busy; }
    QList<OrganizationLink> organizations() const { return m_organizations; }

    QList<UtmStatus> utmStatuses() const;
    // Hands the УТМ clients (borrowed) to the pool; a changed list is probed at once.
    void setUtmClients(const QList<IUtmClient *> &clients);
    void setUtmClient(IUtmClient *client);
    void checkUtm();

    QList<Capability> capabilities() const;
    QList<CertificateInfo> certificates() const;

    // Pairs by the one-time code from the cabinet; ends in `paired` (the loop then runs with the
    // new token) or `pairFailed`.
    void pair(const QString &code);
    // Enrols the organisation by signing the server's challenge with the certificate; ends in
    // `enrolled` (possibly followed by `signupStarted`) or `enrollFailed`.
    void enrollOrganization(const QString &inn, const QString &thumbprint);
    // Asks for the cabinet address where the owner completes the sign-up; ends in
    // `signupLinkReady` or `signupLinkFailed` (at once when the agent holds no token).
    void requestSignupLink(const QString &inn);

signals:
    void stateChanged(Orv::AgentState state);
    void paired(const QString &agentId, const QString &inn, const QString &organization);
    void pairFailed(const QString &message);
    void enrolled(const QString &agentId, const QString &inn, const QString &organization,
                  bool pending);
    void enrollFailed(const QString &message);
    void signupStarted(const QString &inn, const QString &organization, const QString &url);
    void signupLinkReady(const QString &inn, const QString &url);
    void signupLinkFailed(const QString &message);
    void organizationsChanged();
    void taskFinished(const QString &type, bool ok, const QString &message);
    void problem(const QString &message);
    void utmStatusChanged();

private:
    void setState(AgentState state);
    UtmStatusCallback utmProgress();
    void sendHeartbeat();
    void postHeartbeat();
    void onHeartbeatAnswer(bool ok, const QList<OrganizationLink> &organizations,
                           const QString &error);
    void pollNext();
    void retryLater(const QString &error);
    void pollAfterEmptyAnswer();
    void handleTask(const TaskDescriptor &task);
    void finishTask(const TaskDescriptor &task, const TaskOutcome &outcome);
    // False with the journal's text in `error` when the row could not be written.
    bool journalTask(const TaskDescriptor &task, const TaskOutcome &outcome, QString *error);
    void signEnrollChallenge(const QString &inn, const QString &thumbprint,
                             const QList<CertificateInfo> &certificates, const QString &challengeId,
                             const QString &data, bool detached);
    void onEnrollAnswer(bool ok, const AgentClient::PairResult &result, const QString &error);

    AgentConfig m_config;
    ISigner *m_signer;
    Journal *m_journal;
    AgentClient m_client;
    std::unique_ptr<TaskHandlerRegistry> m_registry;
    std::unique_ptr<UtmPool> m_pool;
    QString m_token;
    QList<OrganizationLink> m_organizations;
    AgentState m_state = AgentState::Idle;
    bool m_running = false;
    bool m_busy = false;
    int m_backoffMs = 0;
    // A poll is out. With a task in progress it carries the loop across a stop and a start, so
    // that a restart neither drops what it brings nor starts a second loop.
    bool m_polling = false;
    QElapsedTimer m_pollClock;
    QTimer m_heartbeatTimer;
    QTimer m_pollTimer;
};

} // namespace Orv

Q_DECLARE_METATYPE(Orv::AgentState)
