#pragma once

#include <QString>
#include <QStringList>

// Which forwarded УТМ requests the agent lets through. Every check returns the refusal for the
// user, or an empty text when the request is allowed; all comparisons are exact.
namespace Orv::UtmRequestPolicy {

// The switches a task carries; both off unless it says otherwise.
struct Permissions
{
    bool allowWrite = false;  // documents that change accounting may be sent
    bool allowDelete = false; // documents may be deleted from the outgoing queue
};

QString check(const QString &method, const QString &path, const Permissions &permissions);
QString checkRead(const QString &path);
QString checkSend(const QString &path, bool allowWrite);
QString checkDelete(const QString &path, bool allowDelete);

// The document type of "/opt/in/<type>", or empty when the path is not of that form.
QString inboxType(const QString &path);

const QStringList &chequeTypes();
const QStringList &queryTypes(); // always allowed to send
const QStringList &writeTypes(); // sent only with allowWrite
const QStringList &readOnlyPaths();

} // namespace Orv::UtmRequestPolicy
