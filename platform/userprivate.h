#pragma once

#include <QFile>
#include <QString>

namespace Orv {

// What belongs to this user alone, out of reach of the other users of the computer. On Windows
// the profile's folders and the session's pipes are private already, and what is made there keeps
// the access they give; elsewhere folders are 0700, files 0600, and local channels live in the
// user's own runtime folder.

// Creates `folder` with its missing parents, each level made here private; true when the folder
// exists afterwards.
bool makePrivatePath(const QString &folder);
// Tightens an existing folder or file to private; a missing one is left alone.
void makePrivate(const QString &path);
// Opens `file`; one that does not exist yet is created private.
bool openPrivate(QFile &file, QIODevice::OpenMode mode);

// The name of this user's local channel `name`, as QLocalServer and QLocalSocket take it; empty
// when the user has no private place for it.
QString userChannel(const QString &name);
// The user's name: the USERNAME variable; elsewhere than Windows the account's own name when the
// variable is unset.
QString userName();

} // namespace Orv
