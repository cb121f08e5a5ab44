// Tokens: usbipd's devices, giving a token to a VM and taking it back, and sharing a VM's token
// with the distribution again when it went missing.
#include "utmhost/utmhost.h"

#include "core/util.h"
#include "utmhost/distrofiles.h"
#include "utmhost/hostparsers.h"
#include "utmhost/tokenprobe.h"

namespace Orv {
namespace {

constexpr int kStateTimeoutMs = 20000;
constexpr int kAttachTimeoutMs = 30000;
constexpr int kVmScriptTimeoutMs = 120000;
constexpr qint64 kReattachPauseSeconds = 60;

const HostToken *deviceWhere(const QList<HostToken> &tokens,
                             const std::function<bool(const HostToken &)> &matches)
{
    for (const HostToken &token : tokens) {
        if (matches(token))
            return &token;
    }
    return nullptr;
}

ShellCommand usbipdCommand(const QString &program, const QStringList &arguments, int timeoutMs)
{
    return ShellCommand{program, arguments, {}, {}, timeoutMs};
}

// Shares the device at `busId` with the distribution.
ShellCommand attachCommand(const QString &program, const QString &distro, const QString &busId)
{
    return usbipdCommand(program,
                         {QStringLiteral("attach"), QStringLiteral("--wsl"), distro,
                          QStringLiteral("--busid"), busId},
                         kAttachTimeoutMs);
}

} // namespace

void UtmHost::readTokens()
{
    const QString usbipd = m_shell->resolveTool(QStringLiteral("usbipd"));
    m_status.usbipdFound = !usbipd.isEmpty();
    if (usbipd.isEmpty()) {
        m_status.tokens.clear();
        refreshDone();
        return;
    }
    m_shell->run(usbipdCommand(usbipd, {QStringLiteral("state")}, kStateTimeoutMs),
                 guarded([this](const ShellResult &result) { tokensRead(result); }));
}

void UtmHost::tokensRead(const ShellResult &result)
{
    if (!result.succeeded()) {
        // The devices of the last good read stay on the page.
        logItems(Warn, QStringLiteral("хост УТМ: usbipd state:"), LogTail{result.failureText()});
    } else {
        QString error;
        m_status.tokens = parseUsbipdState(result.out, &error);
        if (!error.isEmpty())
            logItems(Warn, QStringLiteral("хост УТМ:"), error);
        parseTokens();
        reattachTokens();
    }
    refreshDone();
}

void UtmHost::parseTokens()
{
    bool warned = false;
    for (const HostToken &token : std::as_const(m_status.tokens)) {
        if (!token.isToken || !token.serial.isEmpty() || token.instanceId.isEmpty() ||
            m_warnedTokens.contains(token.instanceId)) {
            continue;
        }
        m_warnedTokens.insert(token.instanceId);
        logItems(Warn, QStringLiteral("хост УТМ: носитель без серийного номера:"),
                 token.description, QStringLiteral("VID:PID"), token.vid + u':' + token.pid,
                 QStringLiteral("InstanceId"), token.instanceId, QStringLiteral("BusId"),
                 token.busId);
        warned = true;
    }
    // What the readers say about the card may tell such tokens apart.
    if (warned)
        checkPcsc();
}

void UtmHost::checkPcsc()
{
    QString error;
    const QList<SmartCard::ReaderInfo> readers =
        m_config.readerScan ? m_config.readerScan(&error) : SmartCard::scanReaders(&error);
    const QString prefix = QStringLiteral("хост УТМ: PC/SC:");
    if (!error.isEmpty()) {
        logItems(Warn, prefix, error);
        return;
    }
    for (const SmartCard::ReaderInfo &reader : readers) {
        const QString key = reader.devicePath.isEmpty() ? reader.readerName : reader.devicePath;
        if (m_loggedReaders.contains(key))
            continue;
        m_loggedReaders.insert(key);
        for (const QString &line : SmartCard::formatTokenReport(reader))
            logItems(Warn, prefix, line);
    }
}

void UtmHost::assignToken(int number, const QString &busId)
{
    if (!vmListCurrent())
        return;
    const UtmVm *found = findVm(number);
    // A device that is not plugged in has no bus id to give.
    const HostToken *token =
        busId.isEmpty() ? nullptr : deviceWhere(m_status.tokens, [&busId](const HostToken &t) {
            return t.busId == busId;
        });
    QString refusal;
    if (!found || !token) {
        refusal = QStringLiteral("Носитель уже вынули — обновите список");
    } else if (found->test) {
        refusal = QStringLiteral("У тестовой VM носителя не бывает: её УТМ — мок");
    } else if (!isValidTokenSerial(token->serial)) {
        // The serial names the device inside the distribution and goes into the VM's script.
        refusal = QStringLiteral("У носителя «%1» нет серийного номера: VM его не закрепить — без "
                                 "номера его не отличить от другого такого же")
                      .arg(token->description);
    } else {
        for (const UtmVm &other : std::as_const(m_status.vms)) {
            if (other.number != number && other.tokenSerial == token->serial)
                refusal = QStringLiteral("Этот носитель уже у VM %1").arg(other.number);
        }
    }
    if (!refusal.isEmpty()) {
        emit operationFinished(false, refusal);
        return;
    }
    UtmVm vm = *found;
    vm.tokenSerial = token->serial;
    vm.tokenVid = token->vid;
    const QString description = token->description;
    const bool attached = token->attached;
    const QString attachBusId = token->busId;
    if (!beginOperation(QStringLiteral("Передаём носитель VM %1").arg(number)))
        return;
    if (attached) {
        onTokenAttached(vm, description);
        return;
    }
    m_shell->run(attachCommand(m_shell->resolveTool(QStringLiteral("usbipd")), m_config.distroName,
                               attachBusId),
                 guarded([this, vm, description](const ShellResult &result) {
                     if (result.succeeded())
                         onTokenAttached(vm, description);
                     else
                         finishOperation(false, failureText(kMsgTokenNotPassed, result));
                 }));
}

void UtmHost::onTokenAttached(const UtmVm &vm, const QString &description)
{
    m_tokenProblems.remove(vm.tokenSerial);
    writeVm(
        vm, VmApply,
        QStringLiteral("Носитель «%1» передан VM %2").arg(description, QString::number(vm.number)),
        false, nullptr);
}

void UtmHost::releaseToken(int number)
{
    if (!vmListCurrent())
        return;
    const UtmVm *found = findVm(number);
    if (!found || found->tokenSerial.isEmpty())
        return;
    UtmVm vm = *found;
    if (!beginOperation(QStringLiteral("Отключаем носитель от VM %1").arg(number)))
        return;
    const QString serial = vm.tokenSerial;
    vm.tokenSerial.clear();
    vm.tokenVid.clear();
    m_tokenProblems.remove(serial);
    const HostToken *shared = deviceWhere(m_status.tokens, [&serial](const HostToken &t) {
        return t.serial == serial && t.attached;
    });
    const QString busId = shared ? shared->busId : QString();
    const QString usbipd = m_shell->resolveTool(QStringLiteral("usbipd"));
    // Detached only once the VM no longer holds the device; the outcome only matters to the log.
    writeVm(vm, VmApply, QStringLiteral("Носитель отключён от VM %1").arg(number), false,
            [this, busId, usbipd] {
                if (busId.isEmpty() || usbipd.isEmpty())
                    return;
                m_shell->run(
                    usbipdCommand(usbipd,
                                  {QStringLiteral("detach"), QStringLiteral("--busid"), busId},
                                  kAttachTimeoutMs),
                    [](const ShellResult &result) {
                        if (!result.succeeded()) {
                            logItems(Warn, QStringLiteral("хост УТМ: usbipd detach:"),
                                     LogTail{result.failureText()});
                        }
                    });
            });
}

void UtmHost::reattachTokens()
{
    if (m_status.phase != Running)
        return;
    const QString usbipd = m_shell->resolveTool(QStringLiteral("usbipd"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (UtmVm &vm : m_status.vms) {
        const QString serial = vm.tokenSerial;
        // A serial the VM's own file holds is trusted no more than one from a device.
        if (!isValidTokenSerial(serial))
            continue;
        if (vm.devicePresent) {
            m_tokenProblems.remove(serial);
            vm.tokenProblem.clear();
            continue;
        }
        const HostToken *device = deviceWhere(
            m_status.tokens, [&serial](const HostToken &t) { return t.serial == serial; });
        if (!device || device->busId.isEmpty()) {
            vm.tokenProblem =
                QStringLiteral("Носитель %1 не вставлен в этот компьютер").arg(serial);
            continue;
        }
        if (device->attached) {
            logItems(Warn, QStringLiteral("хост УТМ: носитель"), serial,
                     QStringLiteral("передан, а /dev/egais не появился"));
            vm.tokenProblem = QStringLiteral("Носитель передан, но VM его не видит");
            continue;
        }
        const QDateTime last = m_reattachTimes.value(serial);
        if (last.isValid() && last.secsTo(now) < kReattachPauseSeconds)
            continue;
        m_reattachTimes.insert(serial, now);
        logItems(Info, QStringLiteral("хост УТМ: возвращаем носитель"), serial,
                 QStringLiteral("VM"), vm.number);
        m_shell->run(attachCommand(usbipd, m_config.distroName, device->busId),
                     guarded([this, vm](const ShellResult &result) { reattachDone(vm, result); }));
    }
}

void UtmHost::reattachDone(const UtmVm &vm, const ShellResult &result)
{
    if (!result.succeeded()) {
        m_tokenProblems.insert(vm.tokenSerial, failureText(kMsgTokenNotPassed, result));
        emit statusChanged();
        return;
    }
    m_tokenProblems.remove(vm.tokenSerial);
    // The VM starts again now that its device can appear.
    m_shell->run(distroScriptCommand(writeVmScript(vm, VmApply, false), kVmScriptTimeoutMs),
                 guarded([this, number = vm.number](const ShellResult &result) {
                     if (!result.succeeded()) {
                         logItems(Warn, QStringLiteral("хост УТМ: VM"), number,
                                  QStringLiteral("с возвращённым носителем не перезапустилась —"),
                                  LogTail{result.failureText()});
                     }
                     refresh();
                 }));
}

} // namespace Orv
