#include "app/appcontroller.h"

#include "app/appconstants.h"
#include "app/utmendpoints.h"
#include "app/windowrows.h"
#include "core/agentcore.h"
#include "core/httpclient.h"
#include "core/journal.h"
#include "core/util.h"
#include "platform/autostart.h"
#include "platform/userprivate.h"
#include "signing/cadescomsigner.h"
#include "utm/utmclient.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace Orv {

namespace {

const QString kLinkedText = QStringLiteral("Агент подключён к организации %1");
const QString kBrowserFailedText =
    QStringLiteral("Не удалось открыть браузер. Нажмите «Открыть кабинет» ещё раз");

QString executablePath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

} // namespace

AppController::AppController(const QString &serverUrl, QObject *parent)
    : QObject(parent)
    , m_tokenStore(deviceTokenPath())
    , m_signer(std::make_unique<CadesComSigner>())
    , m_journal(std::make_unique<Journal>(journalPath()))
{
    QString error;
    if (!m_journal->open(&error)) {
        logItems(Warn, QStringLiteral("журнал недоступен:"), error);
        m_lastMessage = error;
    }
    // Older versions kept the address here; the command line decides it now.
    m_settings.remove(kServerUrlKey);
    m_serverUrl = serverUrl.isEmpty() ? kDefaultServerUrl : serverUrl;
    migrateLegacyUtmEndpoint(m_settings);
    m_organization = m_settings.value(kOrganizationNameKey).toString();
    rebuildCore(StoredToken::Load);
    // Written as the umask allows; on the first start the file appears with this sync.
    m_settings.sync();
    const QFileInfo settingsFile(m_settings.fileName());
    makePrivate(settingsFile.absolutePath());
    makePrivate(settingsFile.absoluteFilePath());
}

AppController::~AppController()
{
    shutdown();
}

void AppController::shutdown()
{
    releaseCore();
    m_utmClients.clear();
    m_http.reset();
}

// The completions the core gave the API client refer to it directly, so they are ended by
// aborting the HTTP client before it goes; its УТМ checks the core ends itself.
void AppController::releaseCore()
{
    if (m_core)
        m_core->stop();
    if (m_http)
        m_http->abortAll();
    if (!m_core)
        return;
    // The member is already null while the core is destroyed: nothing reaches it half-gone.
    m_core.reset();
    m_coreLists = {};
}

void AppController::rebuildCore(StoredToken token)
{
    releaseCore();
    m_http = std::make_unique<HttpClient>(m_serverUrl);

    AgentConfig config;
    config.serverUrl = m_serverUrl;
    config.deviceId = deviceId();
    config.deviceName = QHostInfo::localHostName();
    config.os = QSysInfo::prettyProductName();
    config.version = QStringLiteral(ORV_VERSION);
    m_core = std::make_unique<AgentCore>(config, m_http.get(), m_signer.get(), m_journal.get());
    connectCore();
    syncUtmClients();

    if (token == StoredToken::Load) {
        const QString stored = m_tokenStore.load();
        if (!stored.isEmpty()) {
            m_core->setToken(stored);
            m_core->start();
        }
    }
    refreshJournal();
    notifyChanged();
}

QString AppController::deviceId()
{
    QString id = m_settings.value(kDeviceIdKey).toString();
    if (id.isEmpty()) {
        const QByteArray machine = QSysInfo::machineUniqueId();
        id = machine.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces)
                               : QString::fromLatin1(machine);
        m_settings.setValue(kDeviceIdKey, id);
    }
    return id;
}

void AppController::connectCore()
{
    AgentCore *core = m_core.get();
    connect(core, &AgentCore::stateChanged, this, &AppController::notifyChanged);
    connect(core, &AgentCore::paired, this,
            [this](const QString &, const QString &inn, const QString &name) {
                onLinked(inn, name, kLinkedText.arg(name));
            });
    connect(core, &AgentCore::pairFailed, this, &AppController::setLastMessage);
    connect(
        core, &AgentCore::enrolled, this,
        [this](const QString &, const QString &inn, const QString &name, bool pending) {
            onLinked(
                inn, name,
                pending
                    ? QStringLiteral("%1: ожидает подтверждения владельцем в кабинете").arg(name)
                    : kLinkedText.arg(name));
        });
    connect(core, &AgentCore::signupStarted, this,
            [this](const QString &, const QString &name, const QString &url) {
                openInBrowser(url, QStringLiteral("%1 зарегистрирована. Завершите регистрацию в "
                                                  "браузере — задайте логин и пароль")
                                       .arg(name));
            });
    connect(core, &AgentCore::signupLinkReady, this, [this](const QString &, const QString &url) {
        openInBrowser(url, QStringLiteral("Кабинет открыт в браузере — задайте логин и пароль"));
    });
    connect(core, &AgentCore::signupLinkFailed, this, &AppController::setLastMessage);
    connect(core, &AgentCore::enrollFailed, this, &AppController::setLastMessage);
    connect(core, &AgentCore::organizationsChanged, this, &AppController::notifyChanged);
    connect(core, &AgentCore::problem, this, &AppController::setLastMessage);
    connect(core, &AgentCore::taskFinished, this, &AppController::onTaskFinished);
    connect(core, &AgentCore::utmStatusChanged, this, &AppController::notifyChanged);
}

void AppController::onLinked(const QString &inn, const QString &name, const QString &savedMessage)
{
    m_organization = QStringLiteral("%1 (ИНН %2)").arg(name, inn);
    m_settings.setValue(kOrganizationNameKey, m_organization);
    QString error;
    setLastMessage(m_tokenStore.save(m_core->token(), &error) ? savedMessage : error);
}

void AppController::onTaskFinished(const QString &type, bool ok, const QString &message)
{
    // Forwarded УТМ requests come and go all the time; only their failures concern the user.
    if (type == QLatin1String("utm.request") && ok)
        return;
    setLastMessage(ok ? QStringLiteral("%1: подписано").arg(taskTitle(type)) : message);
    refreshJournal();
}

// The address comes from the server: only a web page may be opened, never a local file or a
// handler that starts some program.
void AppController::openInBrowser(const QString &address, const QString &message)
{
    const QUrl url(address, QUrl::TolerantMode);
    const bool web =
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
        !url.host().isEmpty();
    if (!web)
        logItems(Warn, QStringLiteral("адрес от сервера не открыт: это не веб-страница:"), address);
    setLastMessage(web && QDesktopServices::openUrl(url) ? message : kBrowserFailedText);
}

void AppController::refreshJournal()
{
    m_journalRows.clear();
    if (!m_journal)
        return;
    m_journalRows = journalRows(m_journal->recent(50));
    notifyChanged();
}

void AppController::notifyChanged()
{
    m_coreLists.utms.reset();
    emit changed();
}

SignerAvailability AppController::signerAvailability() const
{
    if (!m_signerLists.availability) {
        m_signerLists.availability = m_signer->availability();
        forgetSignerLater();
    }
    return *m_signerLists.availability;
}

void AppController::listStore() const
{
    const QList<CertificateInfo> certificates = m_signer->certificates();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_signerLists.certificates = certificateRows(certificates, now);
    m_signerLists.enrollCandidates = enrollCandidateRows(certificates, now);
    forgetSignerLater();
}

void AppController::forgetSignerLater() const
{
    if (m_signerForgetPosted)
        return;
    m_signerForgetPosted = true;
    QTimer::singleShot(0, this, [this] {
        m_signerForgetPosted = false;
        m_signerLists = {};
    });
}

bool AppController::isCoreBusy() const
{
    return m_core && m_core->isBusy();
}

QString AppController::statusText() const
{
    return agentStatusText(m_core ? static_cast<int>(m_core->state()) : 0);
}

QString AppController::state() const
{
    return agentStateName(m_core ? static_cast<int>(m_core->state()) : 0);
}

bool AppController::connected() const
{
    return m_core && m_core->state() == AgentState::Online;
}

bool AppController::paired() const
{
    return m_core && !m_core->token().isEmpty();
}

QString AppController::signerName() const
{
    return m_signer->displayName();
}

QString AppController::signerMissing() const
{
    switch (signerAvailability()) {
    case SignerAvailability::CspMissing:
        return QStringLiteral("cryptopro");
    case SignerAvailability::PluginMissing:
        return QStringLiteral("plugin");
    default:
        return {};
    }
}

QString AppController::signerMissingText() const
{
    return Orv::signerMissingText(signerAvailability());
}

QVariantList AppController::certificates() const
{
    if (!m_signerLists.certificates)
        listStore();
    return *m_signerLists.certificates;
}

QVariantList AppController::enrollCandidates() const
{
    if (signerAvailability() != SignerAvailability::Ready)
        return {};
    if (!m_signerLists.enrollCandidates)
        listStore();
    return *m_signerLists.enrollCandidates;
}

QVariantList AppController::organizations() const
{
    if (!m_core)
        return {};
    // The core keeps its list as long as the heartbeat brings the same organisations.
    const QList<OrganizationLink> source = m_core->organizations();
    if (!m_coreLists.organizations || !source.isSharedWith(m_coreLists.organizationSource)) {
        m_coreLists.organizationSource = source;
        m_coreLists.organizations = organizationRows(source);
    }
    return *m_coreLists.organizations;
}

QVariantList AppController::utms() const
{
    if (!m_coreLists.utms)
        m_coreLists.utms = m_core ? utmRows(m_core->utmStatuses()) : QVariantList();
    return *m_coreLists.utms;
}

void AppController::setLastMessage(const QString &text)
{
    m_lastMessage = text;
    notifyChanged();
}

void AppController::pair(const QString &code)
{
    if (!m_core)
        return;
    setLastMessage(QStringLiteral("Подключение…"));
    m_core->pair(code);
}

void AppController::enroll(const QString &inn, const QString &thumbprint)
{
    if (m_core)
        m_core->enrollOrganization(inn, thumbprint);
}

void AppController::openCabinet(const QString &inn)
{
    if (m_core)
        m_core->requestSignupLink(inn);
}

void AppController::unpair()
{
    const bool removed = m_tokenStore.clear();
    m_settings.remove(kOrganizationNameKey);
    m_organization.clear();
    if (removed) {
        setLastMessage(QStringLiteral("Регистрация удалена. Введите новый код подключения"));
    } else {
        // The file would bring the old registration back at the next start: the user must know.
        const QString path = deviceTokenPath();
        logItems(Warn, QStringLiteral("не удалось удалить файл токена:"), path);
        setLastMessage(QStringLiteral("Регистрация удалена, но файл токена %1 удалить не удалось. "
                                      "Удалите его вручную, иначе при следующем запуске агент "
                                      "подключится со старым токеном")
                           .arg(path));
    }
    // Never from the file: a token that could not be removed must not come back now.
    rebuildCore(StoredToken::Ignore);
}

void AppController::refreshCertificates()
{
    notifyChanged();
}

void AppController::checkUtm()
{
    if (m_core)
        m_core->checkUtm();
}

QStringList AppController::utmEndpoints() const
{
    return readUtmEndpoints(m_settings);
}

bool AppController::addUtm(const QString &endpoint)
{
    const QString normal = normalizeUtmEndpoint(endpoint);
    if (normal.isEmpty())
        return false;
    QStringList endpoints = utmEndpoints();
    if (endpoints.contains(normal)) {
        setLastMessage(QStringLiteral("УТМ %1 уже есть в списке").arg(normal));
        return false;
    }
    endpoints.append(normal);
    storeUtmList(endpoints);
    return true;
}

void AppController::removeUtm(const QString &endpoint)
{
    QStringList endpoints = utmEndpoints();
    if (endpoints.removeAll(endpoint) == 0)
        return;
    storeUtmList(endpoints);
}

void AppController::setUtmListed(const QString &endpoint, bool listed)
{
    const QString normal = normalizeUtmEndpoint(endpoint);
    QStringList endpoints = utmEndpoints();
    if (normal.isEmpty() || endpoints.contains(normal) == listed)
        return;
    if (listed)
        endpoints.append(normal);
    else
        endpoints.removeAll(normal);
    storeUtmList(endpoints);
}

void AppController::storeUtmList(const QStringList &endpoints)
{
    storeUtmEndpoints(m_settings, endpoints);
    syncUtmClients();
    notifyChanged();
}

// Clients of addresses still listed are kept, so their probes keep what they know; the others
// are deleted only after the core has let go of them.
void AppController::syncUtmClients()
{
    if (!m_core)
        return;
    std::vector<std::unique_ptr<UtmHttpClient>> clients;
    QList<IUtmClient *> pointers;
    for (const QString &address : utmEndpoints()) {
        const auto found = std::find_if(m_utmClients.begin(), m_utmClients.end(),
                                        [&address](const std::unique_ptr<UtmHttpClient> &c) {
                                            return c && c->baseUrl() == address;
                                        });
        clients.push_back(found != m_utmClients.end() ? std::move(*found)
                                                      : std::make_unique<UtmHttpClient>(address));
        pointers.append(clients.back().get());
    }
    m_core->setUtmClients(pointers);
    m_utmClients = std::move(clients);
}

bool AppController::autostart() const
{
    return hasAutostartEntry(kRunValueName);
}

void AppController::setAutostart(bool on)
{
    if (on)
        writeAutostartEntry(
            kRunValueName,
            QStringLiteral("\"%1\" %2").arg(executablePath(), autostartArguments().join(u' ')));
    else
        removeAutostartEntry(kRunValueName);
    notifyChanged();
}

QStringList AppController::autostartArguments() const
{
    return QStringList{QStringLiteral("--tray")} + m_extraAutostartArgs;
}

void AppController::setAutostartArgs(const QStringList &arguments)
{
    m_extraAutostartArgs = arguments;
    if (arguments.isEmpty())
        return;
    // Only our own entry is brought up to date; setting options never turns autostart on.
    if (autostartEntry(kRunValueName).contains(executablePath(), Qt::CaseInsensitive))
        setAutostart(true);
}

} // namespace Orv
