// Operations on the whole installed host: a new УТМ image for every VM, and the host's removal.
#include "utmhost/utmhost.h"

#include "core/util.h"
#include "utmhost/distrofiles.h"
#include "utmhost/payloaddownloader.h"

#include <QDir>

namespace Orv {
namespace {

constexpr int kRestartTimeoutMs = 120000;
constexpr int kPruneTimeoutMs = 60000;
constexpr int kUnregisterTimeoutMs = 120000;

} // namespace

void UtmHost::updateImage()
{
    if (!vmListCurrent() || !beginOperation(QStringLiteral("Обновляем УТМ")))
        return;
    m_failureTitle = QStringLiteral("УТМ не обновлён");
    fetchManifest([this](const PayloadManifest &manifest) {
        const bool hadImage = m_status.images.contains(manifest.imageRef);
        loadManifestImage(manifest, [this, imageRef = manifest.imageRef, hadImage] {
            QList<UtmVm> remaining;
            for (const UtmVm &vm : std::as_const(m_status.vms)) {
                if (vm.test || vm.image == imageRef)
                    continue;
                remaining.append(vm);
                remaining.last().image = imageRef;
            }
            moveVmsToImage(remaining, imageRef, hadImage);
        });
    });
}

void UtmHost::moveVmsToImage(QList<UtmVm> remaining, const QString &imageRef, bool hadImage)
{
    if (remaining.isEmpty()) {
        pruneOldImages(imageRef, hadImage);
        return;
    }
    const UtmVm vm = remaining.takeFirst();
    setInstallStep(QStringLiteral("Перезапускаем VM %1").arg(vm.number), -1.0);
    // A disabled VM only gets its files rewritten and stays stopped.
    m_shell->run(
        distroScriptCommand(writeVmScript(vm, vm.enabled ? VmApply : VmFilesOnly, false),
                            kRestartTimeoutMs),
        guarded([this, number = vm.number, remaining, imageRef,
                 hadImage](const ShellResult &result) {
            if (result.succeeded()) {
                moveVmsToImage(remaining, imageRef, hadImage);
                return;
            }
            // The VMs not reached yet keep their image, so none of the old ones is pruned.
            m_status.installStep.clear();
            finishOperation(
                false, failureText(QStringLiteral("VM %1 не перезапустилась").arg(number), result));
        }));
}

void UtmHost::pruneOldImages(const QString &imageRef, bool hadImage)
{
    m_status.installStep.clear();
    const QString version = imageRef.section(u':', 1);
    const QString message =
        (hadImage ? QStringLiteral("Новее УТМ нет: %1") : QStringLiteral("УТМ обновлён: %1"))
            .arg(version);
    m_shell->run(distroScriptCommand(pruneImagesScript(imageRef), kPruneTimeoutMs),
                 guarded([this, message](const ShellResult &result) {
                     if (!result.succeeded()) {
                         logItems(Warn, QStringLiteral("хост УТМ: прежние образы не удалены:"),
                                  LogTail{result.failureText()});
                     }
                     finishOperation(true, message);
                 }));
}

void UtmHost::removeHost()
{
    // The online VMs leave the agent's list: the VM list must hold the last change.
    if (refusedWhileBusy() || !vmListCurrent())
        return;
    // The distribution's folder lies in the data folder; without one it would be "/wsl" or a
    // folder beside wherever the program was started.
    if (!QDir::isAbsolutePath(m_config.dataDir)) {
        emit operationFinished(false,
                               QStringLiteral("Папка данных хоста не задана — VM не удалены"));
        return;
    }
    m_busyText = QStringLiteral("Удаляем все VM");
    emit statusChanged();
    for (const UtmVm &vm : std::as_const(m_status.vms)) {
        if (vm.online)
            emit vmOnlineChanged(utmBaseUrl(vm), false);
    }
    m_shell->stopBackground();
    m_shell->run(
        wslCommand({QStringLiteral("--unregister"), m_config.distroName}, kUnregisterTimeoutMs),
        guarded([this](const ShellResult &result) {
            m_busyText.clear();
            if (result.succeeded()) {
                QDir(distroFolder()).removeRecursively();
                m_status.vms.clear();
                m_status.images.clear();
                m_tokenProblems.clear();
                emit operationFinished(true, QStringLiteral("Все VM удалены вместе с базами УТМ"));
            } else {
                emit operationFinished(false, failureText(QStringLiteral("VM не удалены"), result));
            }
            refresh();
        }));
}

} // namespace Orv
