#pragma once

#include <QString>

namespace Orv {

// Keeps the device token across restarts in one file, protected for the current user (DPAPI),
// readable and writable by the owner only. Never logs the token.
class DeviceTokenStore
{
public:
    explicit DeviceTokenStore(const QString &path);

    // The stored token; empty when there is none or it cannot be used (then the agent pairs again).
    QString load() const;
    // Replaces the stored token; on failure the old file stays as it was.
    bool save(const QString &token, QString *error = nullptr);
    // True when no token file remains.
    bool clear();

private:
    QString m_path;
};

} // namespace Orv
