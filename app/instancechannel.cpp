#include "app/instancechannel.h"

#include "core/util.h"
#include "platform/userprivate.h"

#include <QCoreApplication>
#include <QLocalSocket>

namespace Orv {
namespace {

constexpr int kWaitMs = 500;

} // namespace

QString localServerName()
{
    return userChannel(QStringLiteral("TellvaneFerrow-") + userName());
}

bool sendShowToRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(localServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    socket.write("show");
    socket.waitForBytesWritten(kWaitMs);
    socket.close();
    return true;
}

InstanceChannel::InstanceChannel(std::function<void()> show, QObject *parent)
    : QObject(parent)
    , m_show(std::move(show))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection())
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        m_show();
    });
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &m_server,
            &QLocalServer::close);
}

void InstanceChannel::listen()
{
    QLocalServer::removeServer(localServerName());
    if (!m_server.listen(localServerName()))
        logItems(Warn, "канал единственного экземпляра не открылся:", m_server.errorString());
}

} // namespace Orv
