#pragma once

#include "tests/support/wslstandin.h"

#include <QString>
#include <QTemporaryDir>

namespace Orv::Test {

// Every outside program of host mode played on this machine, for the whole test process: the
// stand-in wsl, speaking as on a Russian Windows, with no distribution yet, usbipd with one token
// plugged in, PowerShell under a SystemRoot of its own, and the payload served from a local
// folder. The home folder, and with it the agent's data and settings, is a temporary one. Exports
// all of it into this process.
class HostStandIns
{
public:
    HostStandIns();

    // False when something of it could not be made; say why with `error`.
    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    const WslStandIn &wsl() const { return m_wsl; }
    QString home() const { return m_home.path(); }

    // A result of the set-up script as it writes it, allowing the token models the usbipd
    // stand-in has plugged in; `reboot` "true" or "false", `firewall` the outcome of the firewall
    // step, `at` the time of the run ("@now": when the PowerShell stand-in plays it).
    static QByteArray setupResult(const char *reboot, const char *firewall,
                                  const QString &at = QStringLiteral("@now"));

    // Puts a payload whose УТМ image is `tag` in the payload folder.
    bool servePayload(const QString &tag) const;
    // The file address of its manifest.
    QString manifestUrl() const;

private:
    QTemporaryDir m_home;
    WslStandIn m_wsl;
    QString m_error;
};

} // namespace Orv::Test
