#include "utmhost/hostcontroller.h"

#include "app/appcontroller.h"

namespace Orv {
namespace {

const QString kDefaultManifestUrl = QStringLiteral("https://dl.parvis.ru/utmhost/manifest.json");

} // namespace

HostController::HostController(AppController *agent, const QString &manifestSource, QObject *parent)
    : QObject(parent)
    , m_agent(agent)
    , m_manifestUrl(manifestSource.isEmpty() ? kDefaultManifestUrl : manifestSource)
{
    // The host's rows are joined with the agent's organisations and УТМ, so they change with them.
    connect(m_agent, &AppController::changed, this, &HostController::changed);
}

HostController::~HostController()
{
    shutdown();
}

void HostController::start() {}

void HostController::shutdown() {}

void HostController::setWatching(bool watching)
{
    if (watching == m_watching)
        return;
    m_watching = watching;
    emit changed();
}

} // namespace Orv
