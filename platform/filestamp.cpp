// Part of the COM stand-in of non-Windows builds: the stamp of a file, from stat(2).

#include "platform/filestamp.h"

#include "platform/comstandin.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace Orv::ComStandIn {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kNsPerMs = 1000000;
std::int64_t settleNs = kSettleMs * kNsPerMs;

std::int64_t nanoseconds(const timespec &time)
{
    return time.tv_sec * kNsPerSecond + time.tv_nsec;
}

} // namespace

FileStamp fileStamp(const QString &path)
{
    return fileStamp(AT_FDCWD, QFile::encodeName(path));
}

FileStamp fileStamp(int folder, const QByteArray &name)
{
    struct stat info = {};
    FileStamp stamp;
    if (::fstatat(folder, name.constData(), &info, 0) != 0)
        return stamp;
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modifiedNs = nanoseconds(info.st_mtim);
    stamp.changedNs = nanoseconds(info.st_ctim);
    stamp.settled = nanoseconds(now) - std::max(stamp.modifiedNs, stamp.changedNs) >= settleNs;
    return stamp;
}

void setSettleTime(int ms)
{
    settleNs = ms * kNsPerMs;
}

bool unchangedSince(const FileStamp &before, const FileStamp &now)
{
    return before.exists && before.settled && now.exists && before.device == now.device &&
           before.inode == now.inode && before.size == now.size &&
           before.modifiedNs == now.modifiedNs && before.changedNs == now.changedNs;
}

} // namespace Orv::ComStandIn
