#pragma once

#include "platform/comstandin.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace Orv::Test {

// The COM stand-in in a folder of its own while the object lives: provider and CAdESCOM classes
// registered, an empty personal store, no faults, the call log on and empty, and what it read
// from a file kept as long as the file stays as it was, however recently it changed.
class StandInSigning
{
public:
    StandInSigning();
    ~StandInSigning();
    StandInSigning(const StandInSigning &) = delete;
    StandInSigning &operator=(const StandInSigning &) = delete;

    bool isValid() const { return m_valid; }

    // Runs `openssl cms -verify -cades -binary` on the base64 signature against the test
    // authority; for a detached signature `data` is the content and must not be inside, for an
    // attached one it must equal what the signature carries. `detail` gets the reason on failure.
    static bool verify(const QByteArray &base64, const QByteArray &data, bool detached,
                       QString *detail);

private:
    QTemporaryDir m_folder;
    QByteArray m_previousConfig;
    bool m_valid = false;
};

} // namespace Orv::Test
