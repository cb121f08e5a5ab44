#pragma once

#include <QString>

#include <cstdint>

namespace Orv::ComStandIn {

// What tells one version of a file (or folder) from the next without reading it, so that the
// stand-in can keep what it read from a file until the file changes. A file replaced by renaming
// another over it (as QSaveFile does) gets a new inode; one rewritten in place within one tick
// of the file system's clock keeps its times, so a stamp taken that soon after a change vouches
// for nothing.
struct FileStamp
{
    bool exists = false;
    bool settled = false; // last changed well before the stamp was taken
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
};

FileStamp fileStamp(const QString &path);
// The stamp of the file `name` in the folder open as `folder` (a descriptor): for the many
// files of one folder, without walking the folder's path each time.
FileStamp fileStamp(int folder, const QByteArray &name);

// Whether what was read when `before` was taken still holds for a file stamped `now`.
bool unchangedSince(const FileStamp &before, const FileStamp &now);

} // namespace Orv::ComStandIn
