#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace Orv {

// One running agent per user: a later start finds the running one through a local channel named
// "TellvaneFerrow-" and the user name, asks it to show its window and ends. The channel is the
// user's own (outside Windows a socket in the user's private runtime folder): another user can
// neither plant one that a start would take for a running agent nor reach this one.
QString localServerName();

// Asks the agent running for this user to show its window, waiting up to 500 ms to connect and as
// long to write; true when one accepted the connection.
bool sendShowToRunningInstance();

// The running agent's end of the channel. Every connection calls `show`, whatever it sends. It
// stops answering as soon as the application is about to quit: an agent started while this one is
// still stopping (the restart after an update) must not take it for a running one and end.
class InstanceChannel : public QObject
{
    Q_OBJECT

public:
    explicit InstanceChannel(std::function<void()> show, QObject *parent = nullptr);

    // Replaces a channel left behind by an agent that died and listens; a failure is logged and
    // the agent runs without the channel.
    void listen();

private:
    QLocalServer m_server;
    std::function<void()> m_show;
};

} // namespace Orv
