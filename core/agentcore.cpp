#include "core/agentcore.h"

#include "core/journal.h"
#include "core/taskhandlerregistry.h"
#include "core/util.h"
#include "signing/chztasks.h"
#include "signing/edotitletask.h"
#include "utm/utmpool.h"
#include "utm/utmrequesttask.h"

#include <QPointer>

namespace Orv {
namespace {

// A server or proxy that ends every poll at once would otherwise be asked over and over.
constexpr qint64 kMinPollSpacingMs = 1000;

bool sameOrganizations(const QList<OrganizationLink> &a, const QList<OrganizationLink> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const OrganizationLink &x, const OrganizationLink &y) {
                          return x.inn == y.inn && x.name == y.name && x.status == y.status &&
                                 x.signupPending == y.signupPending;
                      });
}

// A successful forwarded read changes nothing anywhere, so it is not worth a journal row.
bool isForwardedRead(const TaskDescriptor &task, const TaskOutcome &outcome)
{
    return task.type == QLatin1String("utm.request") && outcome.ok &&
           task.payload.value(QLatin1String("method")).toString() == QLatin1String("GET");
}

} // namespace

QString agentStateText(AgentState state)
{
    switch (state) {
    case AgentState::Idle:
        return QStringLiteral("не подключён");
    case AgentState::Connecting:
        return QStringLiteral("подключение");
    case AgentState::Online:
        return QStringLiteral("на связи");
    case AgentState::Offline:
        return QStringLiteral("нет связи");
    }
    return QStringLiteral("?");
}

AgentCore::AgentCore(const AgentConfig &config, IHttpClient *http, ISigner *signer,
                     Journal *journal, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_signer(signer)
    , m_journal(journal)
    , m_client(http, config)
    , m_registry(std::make_unique<TaskHandlerRegistry>())
    , m_pool(std::make_unique<UtmPool>())
    , m_heartbeatTimer(this)
    , m_pollTimer(this)
{
    qRegisterMetaType<Orv::AgentState>("Orv::AgentState");

    m_registry->add(std::make_unique<ChzAuthTask>(m_signer));
    m_registry->add(std::make_unique<ChzDocumentTask>(m_signer));
    m_registry->add(std::make_unique<EdoTitleTask>(m_signer));
    m_registry->add(std::make_unique<UtmRequestTask>(m_pool.get()));

    m_heartbeatTimer.setInterval(m_config.heartbeatIntervalMs);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &AgentCore::sendHeartbeat);
    m_pollTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &AgentCore::pollNext);
}

AgentCore::~AgentCore()
{
    // Aborted УТМ checks and tasks call back during the teardown; nobody outside should hear
    // from a core that is going away.
    blockSignals(true);
    m_running = false;
    // Aborting alone would let a check past its first page go on with its next request. Detached
    // probes end their checks at once, so every callback of the pool runs here, while the pool
    // and the handlers it calls back into are still whole.
    m_pool->setClients({});
    // The handlers point into the pool, so they go first.
    m_registry.reset();
    m_pool.reset();
}

void AgentCore::setToken(const QString &token)
{
    m_token = token;
    setState(token.isEmpty() ? AgentState::Idle : AgentState::Connecting);
}

void AgentCore::start()
{
    if (m_token.isEmpty()) {
        logMessage(Warn,
                   QStringLiteral("запуск без токена: сначала нужно подключить агента по коду"));
        setState(AgentState::Idle);
        return;
    }
    if (m_running)
        return;
    m_running = true;
    m_backoffMs = 0;
    setState(AgentState::Connecting);
    m_heartbeatTimer.start();
    sendHeartbeat();
    if (!m_polling && !m_busy)
        pollNext();
}

void AgentCore::stop()
{
    m_running = false;
    m_heartbeatTimer.stop();
    m_pollTimer.stop();
    m_pool->abortAll();
    setState(m_token.isEmpty() ? AgentState::Idle : AgentState::Offline);
}

QList<UtmStatus> AgentCore::utmStatuses() const
{
    return m_pool->statuses();
}

void AgentCore::setUtmClients(const QList<IUtmClient *> &clients)
{
    const QList<IUtmClient *> before = m_pool->clients();
    m_pool->setClients(clients);
    const QList<IUtmClient *> after = m_pool->clients();
    if (after == before)
        return;
    QStringList addresses;
    for (const IUtmClient *client : after)
        addresses.append(client->baseUrl());
    logItems(Info, QStringLiteral("УТМ:"),
             addresses.isEmpty() ? QStringLiteral("не настроен") : addresses.join(u", "));
    emit utmStatusChanged();
    checkUtm();
}

void AgentCore::setUtmClient(IUtmClient *client)
{
    setUtmClients(client ? QList<IUtmClient *>{client} : QList<IUtmClient *>{});
}

void AgentCore::checkUtm()
{
    const QPointer<AgentCore> self(this);
    m_pool->refresh(utmProgress(), [self] {
        if (!self)
            return;
        for (const UtmStatus &status : self->m_pool->statuses()) {
            if (!status.reachable)
                logItems(Warn, QStringLiteral("УТМ не отвечает:"), status.error);
        }
    });
}

QList<Capability> AgentCore::capabilities() const
{
    return buildCapabilities(m_signer->certificates(), m_pool->statuses());
}

QList<CertificateInfo> AgentCore::certificates() const
{
    return m_signer->certificates();
}

UtmStatusCallback AgentCore::utmProgress()
{
    return [self = QPointer<AgentCore>(this)](const UtmStatus &) {
        if (self)
            emit self->utmStatusChanged();
    };
}

void AgentCore::setState(AgentState state)
{
    if (state == m_state)
        return;
    m_state = state;
    logItems(Info, QStringLiteral("состояние:"), agentStateText(state));
    emit stateChanged(state);
}

void AgentCore::sendHeartbeat()
{
    if (!m_running || m_token.isEmpty())
        return;
    const QPointer<AgentCore> self(this);
    m_pool->refresh(utmProgress(), [self] {
        if (self)
            self->postHeartbeat();
    });
}

void AgentCore::postHeartbeat()
{
    // Checked again: the УТМ probes before it take their time.
    if (!m_running || m_token.isEmpty())
        return;
    const QList<CertificateInfo> certificates = m_signer->certificates();
    m_client.heartbeat(
        m_token, buildCapabilities(certificates, m_pool->statuses()), certificates,
        [this](bool ok, const QList<OrganizationLink> &organizations, const QString &error) {
            onHeartbeatAnswer(ok, organizations, error);
        });
}

void AgentCore::onHeartbeatAnswer(bool ok, const QList<OrganizationLink> &organizations,
                                  const QString &error)
{
    if (!ok) {
        logItems(Warn, QStringLiteral("heartbeat не прошёл:"), error);
        return;
    }
    // Only a poll brings an Offline agent back: a heartbeat may pass where polls fail.
    if (m_running && m_state == AgentState::Connecting)
        setState(AgentState::Online);
    if (sameOrganizations(organizations, m_organizations))
        return;
    m_organizations = organizations;
    emit organizationsChanged();
}

void AgentCore::pollNext()
{
    if (!m_running)
        return;
    m_polling = true;
    m_pollClock.start();
    m_client.fetchTask(
        m_token, [this](bool ok, bool hasTask, const TaskDescriptor &task, const QString &error) {
            m_polling = false;
            if (!m_running)
                return;
            if (!ok)
                return retryLater(error);
            m_backoffMs = 0;
            setState(AgentState::Online);
            if (hasTask)
                handleTask(task);
            else
                pollAfterEmptyAnswer();
        });
}

void AgentCore::pollAfterEmptyAnswer()
{
    const qint64 rest = kMinPollSpacingMs - m_pollClock.elapsed();
    if (rest > 0)
        m_pollTimer.start(int(rest));
    else
        pollNext();
}

void AgentCore::retryLater(const QString &error)
{
    setState(AgentState::Offline);
    emit problem(error);
    m_backoffMs =
        m_backoffMs == 0 ? m_config.retryInitialMs : qMin(m_backoffMs * 2, m_config.retryMaxMs);
    logItems(Warn, QStringLiteral("нет связи с PARVIS API:"), error, QStringLiteral("повтор через"),
             m_backoffMs, QStringLiteral("мс"));
    m_pollTimer.start(m_backoffMs);
}

void AgentCore::handleTask(const TaskDescriptor &task)
{
    logItems(Info, QStringLiteral("получена задача"), task.type, task.id);
    m_busy = true;
    const QPointer<AgentCore> self(this);
    // The registry may complete inside this call; nothing may follow it here.
    m_registry->runAsync(task, [self, task](const TaskOutcome &outcome) {
        if (self)
            self->finishTask(task, outcome);
    });
}

void AgentCore::finishTask(const TaskDescriptor &task, const TaskOutcome &outcome)
{
    QString unjournaled;
    const bool journaled = journalTask(task, outcome, &unjournaled);
    emit taskFinished(task.type, outcome.ok, outcome.message);
    // After the task's own message, so that the user sees this one: the row is lost.
    if (!journaled)
        emit problem(
            QStringLiteral("%1. Задача %2 %3, но в журнале её не будет")
                .arg(unjournaled, shortened(task.type),
                     outcome.ok ? QStringLiteral("выполнена") : QStringLiteral("не выполнена")));
    if (!m_running) {
        m_busy = false;
        return;
    }
    const QString taskId = task.id;
    m_client.sendResult(m_token, taskId, outcome, [this, taskId](bool ok, const QString &error) {
        if (!ok) {
            logItems(Warn, QStringLiteral("результат задачи"), taskId, QStringLiteral("не принят:"),
                     error);
            emit problem(error);
        }
        m_busy = false;
        pollNext();
    });
}

bool AgentCore::journalTask(const TaskDescriptor &task, const TaskOutcome &outcome, QString *error)
{
    if (!m_journal || isForwardedRead(task, outcome))
        return true;
    JournalEntry entry;
    entry.at = QDateTime::currentDateTimeUtc();
    entry.taskId = task.id;
    entry.type = task.type;
    entry.orgInn = task.orgInn;
    entry.payloadHash = task.payloadHash;
    entry.signedHash = outcome.signedHash;
    entry.ok = outcome.ok;
    entry.message = outcome.message;
    return m_journal->append(entry, error);
}

} // namespace Orv
