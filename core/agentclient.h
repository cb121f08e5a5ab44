#pragma once

#include "core/capabilities.h"
#include "core/signer.h"
#include "core/task.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

namespace Orv {

class IHttpClient;
struct HttpResponse;

// How the agent reaches and describes itself to the server; copied into the core and its client.
struct AgentConfig
{
    QString serverUrl;
    QString deviceId;
    QString deviceName;
    QString os;
    QString version;
    int longPollSeconds = 30;
    int heartbeatIntervalMs = 60000;
    int retryInitialMs = 2000;
    int retryMaxMs = 60000;
};

// An organisation the agent serves, as the last heartbeat reported it.
struct OrganizationLink
{
    QString inn;
    QString name;
    QString status; // "PENDING" while the owner has not confirmed
    bool signupPending = false;
};

// The agent's side of the server API: one request per call and one completion, which runs
// exactly once. A failure completes with ok false, an empty record and a Russian text for the
// user; nothing is logged or retried here.
class AgentClient
{
public:
    struct PairResult
    {
        QString agentId;
        QString token;
        QString orgInn;
        QString orgName;
        QString status;
        QString outcome;
        QString signupUrl;
    };

    struct ChallengeResult
    {
        QString challengeId;
        QString data; // the exact text to sign
        bool detached = false;
    };

    using PairCallback =
        std::function<void(bool ok, const PairResult &result, const QString &error)>;
    using ChallengeCallback =
        std::function<void(bool ok, const ChallengeResult &result, const QString &error)>;
    using TaskCallback = std::function<void(bool ok, bool hasTask, const TaskDescriptor &task,
                                            const QString &error)>;
    using HeartbeatCallback = std::function<void(
        bool ok, const QList<OrganizationLink> &organizations, const QString &error)>;
    using LinkCallback = std::function<void(bool ok, const QString &url, const QString &error)>;
    using ResultCallback = std::function<void(bool ok, const QString &error)>;

    // `http` is borrowed and must outlive every call in flight.
    AgentClient(IHttpClient *http, const AgentConfig &config);

    void pair(const QString &code, const QList<Capability> &capabilities,
              const QList<CertificateInfo> &certificates, PairCallback done);
    void enrollChallenge(const QString &token, const QString &inn, const QString &thumbprint,
                         ChallengeCallback done);
    void enroll(const QString &token, const QString &challengeId, const QString &signature,
                const QList<Capability> &capabilities, const QList<CertificateInfo> &certificates,
                PairCallback done);
    // ok with hasTask false: the server had no task within the wait.
    void fetchTask(const QString &token, TaskCallback done);
    void heartbeat(const QString &token, const QList<Capability> &capabilities,
                   const QList<CertificateInfo> &certificates, HeartbeatCallback done);
    void requestSignupLink(const QString &token, const QString &inn, LinkCallback done);
    void sendResult(const QString &token, const QString &taskId, const TaskOutcome &outcome,
                    ResultCallback done);

    QJsonObject deviceJson() const;
    static QJsonArray capabilitiesToJson(const QList<Capability> &capabilities);
    static QJsonArray certificatesToJson(const QList<CertificateInfo> &certificates);
    static QString errorText(const HttpResponse &response);
    // False with the refusal in `error` when the body is no task.
    static bool parseTask(const QByteArray &body, TaskDescriptor *task, QString *error);
    static PairResult parsePairResult(const QByteArray &body);
    static QList<OrganizationLink> parseOrganizations(const QByteArray &body);

private:
    IHttpClient *m_http;
    AgentConfig m_config;
};

} // namespace Orv
