#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace Orv {

// Replaces the file at `path` (in a folder that exists) with `bytes` in one rename, the new file
// having `permissions`, when given, before it holds a byte. True only when every byte is on disk;
// otherwise the file is as it was, or still absent, nothing of the attempt is left beside it, and
// `error`, when given, says why as the file system told it.
[[nodiscard]] bool replaceFileContents(const QString &path, const QByteArray &bytes,
                                       QFileDevice::Permissions permissions = {},
                                       QString *error = nullptr);

} // namespace Orv
