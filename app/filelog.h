#pragma once

#include <QString>
#include <QtMessageHandler>

namespace Orv {

// The agent's log file in the data folder; its previous generation is the same path plus ".1".
QString logFilePath();

// Process message handler: appends each message's text, unchanged, as one line to the log file,
// moving a file past 5 MiB aside first. The file stays open between messages but nothing is
// buffered, so every line has reached the system when the call returns. Safe to call from any
// thread.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace Orv
