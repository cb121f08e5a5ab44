#include "utmhost/hostcontroller.h"

#include "app/appcontroller.h"
#include "core/util.h"
#include "utmhost/distrofiles.h"
#include "utmhost/utmhost.h"

#include <QDesktopServices>
#include <QHash>
#include <QUrl>

namespace Orv {
namespace {

// The size text of the page, or empty for nothing measured.
QString sizeIfAny(qint64 bytes)
{
    return bytes > 0 ? UtmHost::formatSize(bytes) : QString();
}

} // namespace

QString phaseName(int phase)
{
    static const QStringList names{QStringLiteral("checking"),     QStringLiteral("nowsl"),
                                   QStringLiteral("notinstalled"), QStringLiteral("installing"),
                                   QStringLiteral("starting"),     QStringLiteral("running"),
                                   QStringLiteral("error")};
    return names.value(phase, names.constFirst());
}

QString vmStateName(int state)
{
    static const QStringList names{QStringLiteral("running"), QStringLiteral("starting"),
                                   QStringLiteral("stopped"), QStringLiteral("notoken"),
                                   QStringLiteral("failing")};
    return names.value(state, names.constLast());
}

double shareOf(qint64 used, qint64 total)
{
    return total < 1 ? -1.0 : double(used) / double(total);
}

QString runtimeImageTag(const QStringList &images)
{
    return lastImageUnder(images, kRuntimeImagePrefix).mid(kRuntimeImagePrefix.size());
}

bool setupNeeded(const UtmHostStatus &status)
{
    return status.phase == UtmHost::NoWsl || status.phase == UtmHost::NotInstalled ||
           (status.phase == UtmHost::Running && runtimeImageTag(status.images).isEmpty()) ||
           status.setupNeedsAdmin;
}

QString setupReason(const UtmHostStatus &status)
{
    if (status.rebootPending || status.setupNeedsAdmin)
        return status.setupReason;
    if (status.phase == UtmHost::NotInstalled) {
        // The download host of the built-in address, even when another address was given.
        return QStringLiteral("VM ещё не установлены — загрузим их с %1, несколько сотен мегабайт")
            .arg(QUrl(UtmHostConfig().manifestUrl).host());
    }
    if (status.phase == UtmHost::Running && runtimeImageTag(status.images).isEmpty())
        return QStringLiteral("УТМ для VM ещё не загружен");
    return {};
}

QVariantList vmRows(const UtmHostStatus &status, const QVariantList &organizations,
                    const QVariantList &utms)
{
    QHash<QString, QString> names; // by INN; a later organisation wins
    for (const QVariant &entry : organizations) {
        const QVariantMap organization = entry.toMap();
        names.insert(organization.value(QStringLiteral("inn")).toString(),
                     organization.value(QStringLiteral("name")).toString());
    }
    QHash<QString, QVariantMap> answers; // by address; a later status wins
    for (const QVariant &entry : utms) {
        const QVariantMap utm = entry.toMap();
        answers.insert(utm.value(QStringLiteral("endpoint")).toString(), utm);
    }
    QVariantList rows;
    for (const UtmVm &vm : status.vms) {
        const QString endpoint = utmBaseUrl(vm);
        const QVariantMap utm = answers.value(endpoint);
        QString tokenName;
        for (const HostToken &token : status.tokens) {
            if (!vm.tokenSerial.isEmpty() && token.serial == vm.tokenSerial)
                tokenName = token.description;
        }
        const QString fsrarId = utm.value(QStringLiteral("fsrarId")).toString();
        const QString inn = utm.value(QStringLiteral("inn")).toString();
        rows << QVariantMap{
            {QStringLiteral("number"), vm.number},
            {QStringLiteral("name"), vm.name},
            {QStringLiteral("health"), vmStateName(vmRunState(vm))},
            {QStringLiteral("online"), vm.online},
            {QStringLiteral("enabled"), vm.enabled},
            {QStringLiteral("endpoint"), endpoint},
            {QStringLiteral("port"), utmWebPort(vm)},
            {QStringLiteral("tokenSerial"), vm.tokenSerial},
            {QStringLiteral("tokenName"), tokenName},
            {QStringLiteral("tokenProblem"), vm.tokenProblem},
            {QStringLiteral("memory"), sizeIfAny(vm.memory)},
            {QStringLiteral("restarts"), vm.restarts},
            {QStringLiteral("fsrarId"), fsrarId.isEmpty() ? vm.testFsrarId : fsrarId},
            {QStringLiteral("test"), vm.test},
            {QStringLiteral("inn"), inn},
            {QStringLiteral("organization"), names.value(inn)},
            {QStringLiteral("answers"), utm.value(QStringLiteral("reachable")).toBool()},
        };
    }
    return rows;
}

QVariantList tokenRows(const UtmHostStatus &status)
{
    QVariantList rows;
    for (const HostToken &token : status.tokens) {
        if (!token.isToken)
            continue;
        int owner = 0; // a later VM wins
        for (const UtmVm &vm : status.vms) {
            if (!token.serial.isEmpty() && vm.tokenSerial == token.serial)
                owner = vm.number;
        }
        rows << QVariantMap{
            {QStringLiteral("busId"), token.busId},
            {QStringLiteral("description"), token.description},
            {QStringLiteral("serial"), token.serial},
            {QStringLiteral("hardwareId"),
             token.vid.isEmpty() ? QString() : token.vid + QLatin1Char(':') + token.pid},
            {QStringLiteral("bound"), token.bound},
            {QStringLiteral("attached"), token.attached},
            {QStringLiteral("present"), !token.busId.isEmpty()},
            {QStringLiteral("owner"), owner},
        };
    }
    return rows;
}

QVariantMap resourceMap(const HostResources &resources, const HostCapacity &capacity)
{
    const qint64 memoryUsed = resources.memoryTotal - resources.memoryAvailable;
    const qint64 wslUsed = resources.wslTotal - resources.wslAvailable;
    return {
        {QStringLiteral("cpuLoad"), resources.cpuLoad},
        {QStringLiteral("cpuName"), resources.cpuName},
        {QStringLiteral("logicalCpus"), resources.logicalCpus},
        {QStringLiteral("memoryShare"), shareOf(memoryUsed, resources.memoryTotal)},
        {QStringLiteral("memoryUsed"), UtmHost::formatSize(memoryUsed)},
        {QStringLiteral("memoryTotal"), UtmHost::formatSize(resources.memoryTotal)},
        {QStringLiteral("memoryFree"), UtmHost::formatSize(resources.memoryAvailable)},
        {QStringLiteral("distroRunning"), resources.distroRunning},
        {QStringLiteral("wslShare"),
         resources.distroRunning ? shareOf(wslUsed, resources.wslTotal) : -1.0},
        {QStringLiteral("wslUsed"), UtmHost::formatSize(wslUsed)},
        {QStringLiteral("wslTotal"),
         UtmHost::formatSize(resources.distroRunning ? resources.wslTotal : resources.wslLimit)},
        {QStringLiteral("wslConfigured"), resources.wslConfigured},
        {QStringLiteral("vmsMemory"), sizeIfAny(resources.vmsMemory)},
        {QStringLiteral("diskFree"), sizeIfAny(resources.diskFree)},
        {QStringLiteral("more"), capacity.more},
        {QStringLiteral("capacityText"), UtmHost::memoryText(capacity, resources)},
    };
}

HostController::HostController(AppController *app, const QString &payloadSource, QObject *parent)
    : QObject(parent)
    , m_app(app)
{
    UtmHostConfig config;
    config.dataDir = dataDir() + QStringLiteral("/utmhost");
    if (!payloadSource.isEmpty())
        config.manifestUrl = payloadSource;
    m_host = std::make_unique<UtmHost>(config, &m_shell);

    connect(m_host.get(), &UtmHost::statusChanged, this, &HostController::changed);
    connect(m_host.get(), &UtmHost::resourcesChanged, this, &HostController::resourcesChanged);
    connect(m_host.get(), &UtmHost::operationFinished, this,
            [this](bool, const QString &message) { m_app->showMessage(message); });
    // A hosted УТМ is probed and announced like any other once it is in the agent's list.
    connect(
        m_host.get(), &UtmHost::vmOnlineChanged, this,
        [this](const QString &endpoint, bool online) { m_app->setUtmListed(endpoint, online); });
    connect(m_host.get(), &UtmHost::logsReady, this, &HostController::setLogs);
    // The VM rows show what the agent's organisations and УТМ statuses say.
    connect(m_app, &AppController::changed, this, &HostController::changed);
}

// Members go in reverse order: the host before the runner it uses. The host is shut down here,
// while this controller is whole: its own destructor would report the change of phase into a
// controller already half gone.
HostController::~HostController()
{
    shutdown();
}

void HostController::start()
{
    m_host->start();
}

void HostController::shutdown()
{
    m_host->shutdown();
}

QString HostController::phase() const
{
    return phaseName(m_host->status().phase);
}

QString HostController::problem() const
{
    return m_host->status().problem;
}

QString HostController::wslVersion() const
{
    return m_host->status().wslVersion;
}

bool HostController::busy() const
{
    return !m_host->busyText().isEmpty();
}

QString HostController::busyText() const
{
    return m_host->busyText();
}

QString HostController::installStep() const
{
    return m_host->status().installStep;
}

double HostController::installProgress() const
{
    return m_host->status().installProgress;
}

QString HostController::image() const
{
    return runtimeImageTag(m_host->status().images);
}

bool HostController::usbipdFound() const
{
    return m_host->status().usbipdFound;
}

bool HostController::setupNeeded() const
{
    return Orv::setupNeeded(m_host->status());
}

bool HostController::rebootPending() const
{
    return m_host->status().rebootPending;
}

QString HostController::setupReason() const
{
    return Orv::setupReason(m_host->status());
}

bool HostController::setupNeedsAdmin() const
{
    return m_host->status().setupNeedsAdmin;
}

QVariantList HostController::vms() const
{
    return vmRows(m_host->status(), m_app->organizations(), m_app->utms());
}

QVariantList HostController::tokens() const
{
    return tokenRows(m_host->status());
}

QVariantMap HostController::resources() const
{
    return resourceMap(m_host->resources(), m_host->capacity());
}

void HostController::setWatching(bool watching)
{
    if (watching == m_watching)
        return;
    m_watching = watching;
    m_host->setWatching(watching);
    emit changed();
}

void HostController::refresh()
{
    m_host->refresh();
}

void HostController::setup()
{
    m_host->setup();
}

void HostController::install()
{
    m_host->install();
}

void HostController::updateImage()
{
    m_host->updateImage();
}

void HostController::removeHost()
{
    m_host->removeHost();
}

void HostController::createVm(const QString &name)
{
    m_host->createVm(name);
}

void HostController::createTestVm(const QString &name, const QString &inn)
{
    m_host->createTestVm(name, inn);
}

void HostController::startVm(int number)
{
    m_host->startVm(number);
}

void HostController::stopVm(int number)
{
    m_host->stopVm(number);
}

void HostController::removeVm(int number)
{
    m_host->removeVm(number);
}

void HostController::renameVm(int number, const QString &name)
{
    m_host->renameVm(number, name);
}

void HostController::setOnline(int number, bool online)
{
    m_host->setVmOnline(number, online);
}

void HostController::assignToken(int number, const QString &busId)
{
    m_host->assignToken(number, busId);
}

void HostController::releaseToken(int number)
{
    m_host->releaseToken(number);
}

void HostController::loadLogs(int number)
{
    setLogs(number, QString());
    m_host->loadLogs(number);
}

void HostController::openUtm(int number)
{
    UtmVm vm;
    vm.number = number;
    QDesktopServices::openUrl(QUrl(utmBaseUrl(vm), QUrl::TolerantMode));
}

void HostController::setLogs(int number, const QString &text)
{
    m_logNumber = number;
    m_logText = text;
    emit logsChanged();
}

} // namespace Orv
