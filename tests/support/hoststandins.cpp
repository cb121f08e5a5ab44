#include "tests/support/hoststandins.h"

#include "core/util.h"
#include "tests/support/testdata.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUrl>

namespace Orv::Test {
namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

HostStandIns::HostStandIns()
{
    QStandardPaths::setTestModeEnabled(true);
    qputenv("HOME", m_home.path().toUtf8());
    m_wsl.exportEnvironment();
    const QString usbipd = m_home.filePath(QStringLiteral("usbipd.json"));
    const QString powershell = m_home.filePath(QStringLiteral("System32/WindowsPowerShell/v1.0/"));
    qputenv("USBIPD_STANDIN_STATE", usbipd.toUtf8());
    qputenv("SystemRoot", m_home.path().toUtf8());
    if (!m_home.isValid() || !m_wsl.isValid())
        m_error = QStringLiteral("no temporary folder");
    else if (m_wsl.run({QStringLiteral("--unregister"), QStringLiteral("utm-desktop")}).exitCode)
        m_error = QStringLiteral("the wsl stand-in does not run") +
                  m_wsl.run({QStringLiteral("--unregister"), QStringLiteral("utm-desktop")}).out;
    else if (!m_wsl.setUiLanguage(QStringLiteral("ru")))
        m_error = QStringLiteral("no language for the wsl stand-in");
    else if (!writeFile(usbipd, readTestData(QStringLiteral("usbipd/token-serial.json"))))
        m_error = QStringLiteral("no usbipd state");
    else if (!QDir().mkpath(powershell) ||
             !QFile::link(WslStandIn::folder() + QStringLiteral("/powershell"),
                          powershell + QStringLiteral("powershell.exe")))
        m_error = QStringLiteral("no PowerShell link");
    else if (!servePayload(QStringLiteral("1.9")))
        m_error = QStringLiteral("no payload");
}

QByteArray HostStandIns::setupResult(const char *reboot, const char *firewall, const QString &at)
{
    return QStringLiteral(R"({"format": 1, "at": "%1", "ok": true, "reboot": %2,
                             "firewall": "%3", "autobind": ["0A89:0030", "24DC:0101"]})")
        .arg(at, QLatin1String(reboot), QLatin1String(firewall))
        .toUtf8();
}

bool HostStandIns::servePayload(const QString &tag) const
{
    const QString ref = QStringLiteral("localhost/utm-runtime:") + tag;
    const QByteArray rootfs(10240, '\0'); // an empty tar archive
    const QByteArray image = ref.toUtf8() + '\n';
    const QString entry =
        QStringLiteral(R"({"file": "%1", "sha256": "%2", "size": %3, "ref": "%4"})");
    const QString manifest =
        QStringLiteral(R"({"format": 1, "rootfs": %1, "image": %2})")
            .arg(entry.arg(QStringLiteral("r.tar"), sha256Hex(rootfs),
                           QString::number(rootfs.size()), ref),
                 entry.arg(tag, sha256Hex(image), QString::number(image.size()), ref));
    return writeFile(m_home.filePath(QStringLiteral("r.tar")), rootfs) &&
           writeFile(m_home.filePath(tag), image) &&
           writeFile(m_home.filePath(QStringLiteral("manifest.json")), manifest.toUtf8());
}

QString HostStandIns::manifestUrl() const
{
    return QUrl::fromLocalFile(m_home.filePath(QStringLiteral("manifest.json"))).url();
}

} // namespace Orv::Test
