#pragma once

#include "tests/support/scratchhome.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace Orv::Test {

// The stand-in wsl of tests/support/standin over a temporary root of its own: one distribution
// registered (stopped) while the object lives, the stub tools' state reachable from the test.
// Whatever was started through it and still runs is killed with it.
class WslStandIn
{
public:
    explicit WslStandIn(const QString &distro = QStringLiteral("utm-desktop"));
    ~WslStandIn();

    bool isValid() const { return m_root.isValid() && m_home.isValid(); }
    // The folder that holds "wsl"; first on PATH, it is found like the real one.
    static QString folder();
    // Puts the stand-in first on PATH and names its root: all a program needs to find it.
    void addTo(QProcessEnvironment &environment) const;
    // The system environment with the stand-in added, and a home and XDG folders of its own.
    QProcessEnvironment environment() const;
    // Puts `environment` into this process, for code that starts its own processes.
    void exportEnvironment() const;

    struct Run
    {
        int exitCode = -1; // -1 when it did not start or end in time
        QByteArray out;
        QByteArray err;
    };
    // wsl with `arguments` and `input` on standard input, in UTF-8 mode unless `utf8` is false.
    Run run(const QStringList &arguments, const QByteArray &input = {}, bool utf8 = true) const;
    // `script` read by bash as root in the distribution, as the host runs its scripts.
    Run runScript(const QString &script) const;

    // Where the distribution's absolute `path` lies on this machine.
    QString path(const QString &path) const;
    QString readFile(const QString &path) const;
    bool writeFile(const QString &path, const QByteArray &content) const;

    // Makes wsl's own messages those of a Windows in Russian ("ru") or in English (anything else).
    bool setUiLanguage(const QString &language) const;

    // "Running" or "Stopped"; empty while the distribution is not registered.
    QString state() const;
    void setState(const QString &state) const;
    // Lines of the stub tools' call log ("systemctl start ...", "podman image rm ...").
    QStringList calls() const;
    // A unit property as systemctl show reports it; setting it plays the unit's state.
    void setUnitProperty(const QString &unit, const QString &property, const QString &value) const;
    // The images podman lists.
    QStringList images() const;
    void setImages(const QStringList &images) const;
    // Command lines (arguments joined by blanks) of the processes other than this one that run
    // with this stand-in's root in their environment: whatever was started through it and lives.
    QStringList processes() const;

private:
    QString stateFile(const QString &name) const;
    QList<qint64> processIds() const;

    QTemporaryDir m_root;
    ScratchHome m_home;
    QString m_distro;
};

} // namespace Orv::Test
