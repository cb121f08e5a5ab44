#pragma once

#include <QByteArray>
#include <QString>

namespace Orv {

// The current user's data protection (DPAPI on Windows). A blob is opaque, different on every
// call, integrity-checked, carries the description "orvagent device token", and opens only for
// the user who made it; no extra entropy is used.

// The blob of `data`; empty on failure, with the text for the user in `error`.
QByteArray protectData(const QByteArray &data, QString *error = nullptr);
// The data again; empty for damaged or foreign bytes.
QByteArray unprotectData(const QByteArray &blob);

} // namespace Orv
