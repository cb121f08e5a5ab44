#pragma once

#include <QString>

namespace Orv {

// Where Windows keeps the per-user programs started at logon; each value there is one command
// line.
inline const QString kRunKeyPath =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

// The per-user entries that start a program when the user logs on, each a name and one command
// line. The command line goes in and comes out unchanged. Writes are not confirmed: an entry the
// system refuses is simply not there afterwards.
bool hasAutostartEntry(const QString &name);
// The command line of the entry; empty when there is none.
QString autostartEntry(const QString &name);
void writeAutostartEntry(const QString &name, const QString &commandLine);
void removeAutostartEntry(const QString &name);

} // namespace Orv
