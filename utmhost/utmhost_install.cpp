// Installation: the payload manifest, the distribution's import and start, the УТМ image; and the
// pieces of it that the image update and test VMs share.
#include "utmhost/utmhost.h"

#include "core/util.h"
#include "utmhost/distrofiles.h"
#include "utmhost/payloaddownloader.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>

namespace Orv {
namespace {

constexpr int kImportTimeoutMs = 900000;
constexpr int kWaitSystemdTimeoutMs = 90000;
constexpr int kTerminateTimeoutMs = 60000;
constexpr int kImageLoadTimeoutMs = 1200000;
constexpr int kTagTimeoutMs = 60000;
// Checks of systemd after the first one before the installation gives up.
constexpr int kReadyRetries = 3;
// Room beyond twice the image while podman unpacks it.
constexpr qint64 kImageHeadroomBytes = 536870912;

const QString kInstallTitle = QStringLiteral("Установка не завершена");
const QString kStepManifest = QStringLiteral("Загружаем описание");
const QString kStepRootfs = QStringLiteral("Загружаем VM");
const QString kStepImage = QStringLiteral("Загружаем УТМ");
const QString kStepImport = QStringLiteral("Устанавливаем VM");
const QString kStepStart = QStringLiteral("Запускаем VM");
const QString kStepLoad = QStringLiteral("Устанавливаем УТМ");
const QString kMsgImageNotLoaded = QStringLiteral("УТМ не установился");

// The image podman load names in its output (singular or plural form, the name maybe on the
// next line), else `fallback`.
QString loadedImageName(const ShellResult &result, const QString &fallback)
{
    static const QRegularExpression loaded(QStringLiteral("Loaded image(?:\\(s\\))?:\\s*(\\S+)"));
    const QRegularExpressionMatch match = loaded.match(QString::fromUtf8(result.out + result.err));
    return match.hasMatch() ? match.captured(1) : fallback;
}

// A payload is deleted with the mark that says it is complete.
void removeDownload(const QString &path)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".sha256"));
}

} // namespace

void UtmHost::install()
{
    if (!refusedWhileBusy())
        startInstall({});
}

void UtmHost::startInstall(std::function<void()> then)
{
    const bool fresh = m_status.phase == NotInstalled;
    if (!fresh && m_status.phase != Running) {
        m_busyText.clear();
        emit operationFinished(false, kMsgNotReady);
        return;
    }
    if (!then)
        m_busyText = kStepImport;
    m_failureTitle = kInstallTitle;
    if (fresh) {
        // From here the installation owns the distribution: what a cycle in flight would report
        // is stale, and its phase must not replace this one.
        dropRequestsInFlight();
        setPhase(Installing, QString());
    }
    fetchManifest([this, fresh, then](const PayloadManifest &manifest) {
        m_metrics->sample(&m_resources, m_config.dataDir);
        const qint64 need = 2 * (fresh ? manifest.rootfs.size : 0) +
                            2 * (manifest.image.size + kImageHeadroomBytes);
        if (m_resources.diskFree >= 1 && m_resources.diskFree < need) {
            installFailed(QStringLiteral("на диске свободно %1, а нужно около %2")
                              .arg(formatSize(m_resources.diskFree), formatSize(need)));
            return;
        }
        const auto done = [this, then] {
            installDone(then);
        };
        if (!fresh) {
            loadManifestImage(manifest, done);
            return;
        }
        // Both payloads are on disk before the import starts.
        downloadFile(kStepRootfs, manifest.rootfs, [this, manifest, done] {
            downloadFile(kStepImage, manifest.image,
                         [this, manifest, done] { importDistro(manifest, done); });
        });
    });
}

void UtmHost::installDone(const std::function<void()> &then)
{
    m_status.installStep.clear();
    m_status.installProgress = -1.0;
    setPhase(Running, QString());
    if (!then) {
        finishOperation(true, QStringLiteral("Всё готово — создайте VM"));
        return;
    }
    // The caller's operation goes on once the page has seen the running host.
    m_afterRefresh = then;
    refresh();
}

void UtmHost::fetchManifest(ManifestStep then)
{
    setInstallStep(kStepManifest, -1.0);
    const QUrl url(m_config.manifestUrl);
    m_downloader->fetchManifest(
        url, guarded([this, url, then](bool ok, const QByteArray &body, const QString &error) {
            if (!ok) {
                installFailed(
                    QStringLiteral("описание %1 не загрузилось: %2").arg(url.toString(), error));
                return;
            }
            PayloadManifest manifest;
            QString problem;
            if (!PayloadDownloader::parseManifest(body, url, &manifest, &problem)) {
                installFailed(problem);
                return;
            }
            m_status.manifestImageRef = manifest.imageRef;
            then(manifest);
        }));
}

QString UtmHost::downloadPath(const PayloadFile &file) const
{
    return m_config.dataDir + QStringLiteral("/download/") + file.name;
}

QString UtmHost::distroFolder() const
{
    return m_config.dataDir + QStringLiteral("/wsl");
}

void UtmHost::downloadFile(const QString &step, const PayloadFile &file, std::function<void()> then)
{
    QDir().mkpath(m_config.dataDir + QStringLiteral("/download"));
    setInstallStep(step, 0.0);
    // A file already complete finishes within this call: nothing may follow it here.
    m_downloader->download(file, downloadPath(file),
                           guarded([this, step](qint64 received, qint64 total) {
                               if (total >= 1)
                                   setInstallStep(step, double(received) / double(total));
                           }),
                           guarded([this, then](bool ok, const QString &error) {
                               if (ok)
                                   then();
                               else
                                   installFailed(error);
                           }));
}

void UtmHost::importDistro(const PayloadManifest &manifest, std::function<void()> then)
{
    setInstallStep(kStepImport, -1.0);
    QDir().mkpath(distroFolder());
    const QString rootfs = downloadPath(manifest.rootfs);
    m_shell->run(
        wslCommand({QStringLiteral("--import"), m_config.distroName,
                    QDir::toNativeSeparators(distroFolder()), QDir::toNativeSeparators(rootfs),
                    QStringLiteral("--version"), QStringLiteral("2")},
                   kImportTimeoutMs),
        guarded([this, manifest, rootfs, then](const ShellResult &result) {
            if (!result.succeeded()) {
                installFailed(failureText(QStringLiteral("VM не установилась"), result));
                return;
            }
            removeDownload(rootfs);
            logItems(Info, QStringLiteral("хост УТМ: дистрибуция"), m_config.distroName,
                     QStringLiteral("импортирована, версия"), manifest.version);
            ensureKeepalive();
            waitDistroReady(0, [this, manifest, then] { loadManifestImage(manifest, then); });
        }));
}

void UtmHost::waitDistroReady(int attempt, std::function<void()> then)
{
    setInstallStep(kStepStart, -1.0);
    m_shell->run(
        distroScriptCommand(waitSystemdScript(), kWaitSystemdTimeoutMs),
        guarded([this, attempt, then](const ShellResult &result) {
            // Read whatever came, also from a run that failed or timed out.
            QString pid1;
            QString state;
            for (const QString &line : QString::fromUtf8(result.out).split(u'\n')) {
                const QStringList fields = line.split(u'\t');
                if (fields.size() < 2)
                    continue;
                if (fields[0] == QLatin1String("pid1"))
                    pid1 = fields[1].trimmed();
                else if (fields[0] == QLatin1String("systemd"))
                    state = fields[1].trimmed();
            }
            const bool systemd = pid1 == QLatin1String("systemd");
            if (systemd &&
                (state == QLatin1String("running") || state == QLatin1String("degraded"))) {
                then();
                return;
            }
            if (attempt >= kReadyRetries) {
                logItems(Warn, QStringLiteral("хост УТМ: systemd не поднялся: PID 1 —"), pid1,
                         QStringLiteral("состояние"), state);
                installFailed(QStringLiteral("VM не запустилась. %1").arg(kMsgSeeAgentLog));
                return;
            }
            const auto again =
                guarded([this, attempt, then] { waitDistroReady(attempt + 1, then); });
            if (systemd) {
                // Up but not settled yet: give it time.
                QTimer::singleShot(m_systemdRetryMs, this, [again] { again(); });
                return;
            }
            // Started without systemd as PID 1: a restart of the distribution brings it.
            m_shell->stopBackground();
            m_shell->run(wslCommand({QStringLiteral("--terminate"), m_config.distroName},
                                    kTerminateTimeoutMs),
                         guarded([this, again](const ShellResult &) {
                             ensureKeepalive();
                             again();
                         }));
        }));
}

void UtmHost::loadManifestImage(const PayloadManifest &manifest, std::function<void()> then)
{
    loadImage(manifest.image, manifest.imageRef, std::move(then));
}

void UtmHost::loadImage(const PayloadFile &file, const QString &tag, std::function<void()> then)
{
    if (m_status.images.contains(tag)) {
        then();
        return;
    }
    const QString path = downloadPath(file);
    const auto load = [this, path, tag, then] {
        setInstallStep(kStepLoad, -1.0);
        ShellCommand command =
            wslCommand({QStringLiteral("-d"), m_config.distroName, QStringLiteral("-u"),
                        QStringLiteral("root"), QStringLiteral("--"), QStringLiteral("podman"),
                        QStringLiteral("load")},
                       kImageLoadTimeoutMs);
        command.stdinFile = path;
        m_shell->run(command, guarded([this, path, tag, then](const ShellResult &result) {
                         if (!result.succeeded()) {
                             installFailed(failureText(kMsgImageNotLoaded, result));
                             return;
                         }
                         tagLoadedImage(loadedImageName(result, tag), path, tag, then);
                     }));
    };
    if (PayloadDownloader::isAlreadyDownloaded(file, path))
        load();
    else
        downloadFile(kStepImage, file, load);
}

void UtmHost::tagLoadedImage(const QString &loaded, const QString &path, const QString &tag,
                             std::function<void()> then)
{
    if (!isValidImageRef(loaded)) {
        logItems(Warn, QStringLiteral("хост УТМ: podman load вернул неожиданное имя образа"),
                 loaded);
        installFailed(QStringLiteral("%1. %2").arg(kMsgImageNotLoaded, kMsgSeeAgentLog));
        return;
    }
    m_shell->run(distroScriptCommand(tagImageScript(loaded, tag), kTagTimeoutMs),
                 guarded([this, path, tag, then](const ShellResult &result) {
                     if (!result.succeeded()) {
                         installFailed(failureText(kMsgImageNotLoaded, result));
                         return;
                     }
                     removeDownload(path);
                     // New VMs may take it before the next refresh lists it.
                     m_status.images.append(tag);
                     then();
                 }));
}

void UtmHost::installFailed(const QString &detail)
{
    m_busyText.clear();
    m_status.installStep.clear();
    m_status.installProgress = -1.0;
    if (m_status.phase == Installing)
        setPhase(Checking, QString());
    const QString label = m_failureTitle.isEmpty() ? kInstallTitle : m_failureTitle;
    logItems(Warn, QStringLiteral("хост УТМ:"), label, QStringLiteral(":"), detail);
    emit operationFinished(false, QStringLiteral("%1: %2").arg(label, detail));
    refresh();
}

void UtmHost::setInstallStep(const QString &step, double progress)
{
    const bool same = step == m_status.installStep &&
                      qRound(progress * 100) == qRound(m_status.installProgress * 100);
    m_status.installStep = step;
    m_status.installProgress = progress;
    if (!same)
        emit statusChanged();
}

QString UtmHost::runtimeImageRef() const
{
    if (!m_status.manifestImageRef.isEmpty() && m_status.images.contains(m_status.manifestImageRef))
        return m_status.manifestImageRef;
    return lastImageUnder(m_status.images, kRuntimeImagePrefix);
}

QString UtmHost::mockImageRef() const
{
    return lastImageUnder(m_status.images, kMockImagePrefix);
}

} // namespace Orv
