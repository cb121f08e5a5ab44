// VMs: creating, changing, removing them and reading their journals.
#include "utmhost/utmhost.h"

#include "utmhost/distrofiles.h"
#include "utmhost/payloaddownloader.h"

#include <QHostAddress>
#include <QRandomGenerator64>
#include <QTcpServer>

namespace Orv {
namespace {

constexpr int kVmScriptTimeoutMs = 120000;
constexpr int kLogsTimeoutMs = 30000;
constexpr int kLogLines = 300;
constexpr quint64 kTestFsrarRange = 100000000;
const QString kJavaOpts = QStringLiteral("-Xmx192m");

bool windowsPortFree(int port)
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, quint16(port));
}

} // namespace

bool UtmHost::vmListCurrent()
{
    // While busy or not running, the operation guard refuses with its own reason.
    if (m_listOperations == m_operationsFinished || !m_busyText.isEmpty() ||
        m_status.phase != Running) {
        return true;
    }
    // Until a refresh that started after the last change has read the VMs back, a new VM could
    // take a number already in use and a change could write a VM as it was before.
    emit operationFinished(false, QStringLiteral("Подождите: обновляем список VM"));
    return false;
}

const UtmVm *UtmHost::vmToChange(int number)
{
    return vmListCurrent() ? findVm(number) : nullptr;
}

bool UtmHost::nextVmNumber(UtmVm &vm, const QString &name)
{
    for (int number = 1; number <= kMaxVmNumber && vm.number == 0; ++number) {
        if (!findVm(number))
            vm.number = number;
    }
    if (vm.number == 0) {
        emit operationFinished(
            false, QStringLiteral("Больше %1 VM на одном компьютере не поместится: кончаются порты")
                       .arg(kMaxVmNumber));
        return false;
    }
    vm.name = name.trimmed();
    if (vm.name.isEmpty())
        vm.name = QStringLiteral("VM %1").arg(vm.number);
    QString error;
    if (!checkPortsFree(vm, error)) {
        emit operationFinished(false, error);
        return false;
    }
    return true;
}

bool UtmHost::checkPortsFree(const UtmVm &vm, QString &error) const
{
    const int base = utmServicePortBase(vm);
    for (int port : {utmWebPort(vm), base, base + 1, base + 2}) {
        const bool free = m_config.portProbe ? m_config.portProbe(port) : windowsPortFree(port);
        if (!free) {
            error = QStringLiteral("Порт 127.0.0.1:%1 на Windows занят другой программой, а он "
                                   "нужен VM %2")
                        .arg(port)
                        .arg(vm.number);
            return false;
        }
    }
    return true;
}

QString UtmHost::mendRecord(UtmVm &vm) const
{
    const QString image = runtimeImageRef();
    if (vm.test || isValidImageRef(vm.image) || image.isEmpty())
        return QString();
    vm.image = image;
    if (vm.javaOpts.isEmpty())
        vm.javaOpts = kJavaOpts;
    return QStringLiteral(". Запись VM %1 была повреждена и восстановлена — проверьте её имя, "
                          "носитель и выход в сеть")
        .arg(vm.number);
}

void UtmHost::writeVm(const UtmVm &vm, int action, const QString &message, bool checkPorts,
                      const std::function<void()> &done)
{
    UtmVm record = vm;
    const QString notice = mendRecord(record);
    m_shell->run(
        distroScriptCommand(writeVmScript(record, action, checkPorts), kVmScriptTimeoutMs),
        guarded([this, number = vm.number, message = message + notice,
                 done](const ShellResult &result) {
            if (!result.succeeded()) {
                finishOperation(
                    false,
                    failureText(QStringLiteral("VM %1: изменение не применилось").arg(number),
                                result));
                return;
            }
            if (done)
                done();
            finishOperation(true, message);
        }));
}

void UtmHost::createVm(const QString &name)
{
    if (m_status.phase != Running) {
        emit operationFinished(false, kMsgNotReady);
        return;
    }
    const QString image = runtimeImageRef();
    if (image.isEmpty()) {
        emit operationFinished(
            false, QStringLiteral("УТМ для VM ещё не загружен — нажмите «Настроить компьютер»"));
        return;
    }
    UtmVm vm;
    if (!vmListCurrent() || !nextVmNumber(vm, name))
        return;
    vm.image = image;
    vm.javaOpts = kJavaOpts;
    if (!beginOperation(QStringLiteral("Создаём VM %1").arg(vm.number)))
        return;
    writeVm(vm, VmApply,
            QStringLiteral("VM %1 создана без выхода в сеть. Передайте ей носитель — без него УТМ "
                           "не запустится")
                .arg(vm.number),
            true, nullptr);
}

void UtmHost::createTestVm(const QString &name, const QString &inn)
{
    if (m_status.phase != Running) {
        emit operationFinished(false, kMsgNotReady);
        return;
    }
    if (!inn.isEmpty() && !isValidInn(inn)) {
        emit operationFinished(false, QStringLiteral("ИНН — 10 или 12 цифр"));
        return;
    }
    UtmVm vm;
    if (!vmListCurrent() || !nextVmNumber(vm, name))
        return;
    vm.test = true;
    vm.online = true;
    vm.testInn = inn;
    vm.testFsrarId = QStringLiteral("9999%1").arg(
        QRandomGenerator64::global()->bounded(kTestFsrarRange), 8, 10, QLatin1Char('0'));
    if (!beginOperation(QStringLiteral("Создаём тестовую VM %1").arg(vm.number)))
        return;
    const QString mock = mockImageRef();
    if (!mock.isEmpty()) {
        writeTestVm(vm, mock);
        return;
    }
    m_failureTitle = QStringLiteral("Тестовая VM не создана");
    fetchManifest([this, vm](const PayloadManifest &manifest) {
        if (manifest.mockRef.isEmpty()) {
            installFailed(QStringLiteral("на сервере TELLVANE ещё нет тестового УТМ"));
            return;
        }
        loadImage(manifest.mock, manifest.mockRef,
                  [this, vm, ref = manifest.mockRef] { writeTestVm(vm, ref); });
    });
}

void UtmHost::writeTestVm(UtmVm vm, const QString &imageRef)
{
    setInstallStep(QString(), -1.0);
    vm.image = imageRef;
    const QString url = utmBaseUrl(vm);
    writeVm(vm, VmApply,
            QStringLiteral("Тестовая VM %1: мок УТМ с FSRAR_ID %2 на %3 — без носителя и без ЕГАИС")
                .arg(QString::number(vm.number), vm.testFsrarId, url),
            true, [this, url] { emit vmOnlineChanged(url, true); });
}

void UtmHost::changeVm(const UtmVm *found, const QString &busyText,
                       const std::function<void(UtmVm &)> &change, int action,
                       const QString &message, const std::function<void()> &done)
{
    if (!found)
        return;
    UtmVm vm = *found;
    if (!beginOperation(busyText))
        return;
    change(vm);
    writeVm(vm, action, message, false, done);
}

void UtmHost::startVm(int number)
{
    changeVm(
        vmToChange(number), QStringLiteral("Запускаем VM %1").arg(number),
        [](UtmVm &vm) { vm.enabled = true; }, VmApply,
        QStringLiteral("VM %1 запущена").arg(number));
}

void UtmHost::stopVm(int number)
{
    changeVm(
        vmToChange(number), QStringLiteral("Останавливаем VM %1").arg(number),
        [](UtmVm &vm) { vm.enabled = false; }, VmStop,
        QStringLiteral("VM %1 остановлена и сама не запустится").arg(number));
}

void UtmHost::renameVm(int number, const QString &name)
{
    const QString trimmed = name.trimmed();
    changeVm(
        trimmed.isEmpty() ? nullptr : vmToChange(number),
        QStringLiteral("Переименовываем VM %1").arg(number),
        [&trimmed](UtmVm &vm) { vm.name = trimmed; }, VmFilesOnly,
        QStringLiteral("VM %1 теперь «%2»").arg(QString::number(number), trimmed));
}

void UtmHost::setVmOnline(int number, bool online)
{
    const UtmVm *found = vmToChange(number);
    if (!found || found->online == online)
        return;
    const QString url = utmBaseUrl(*found);
    const QString text = online ? QStringLiteral("Выпускаем VM %1 в сеть")
                                : QStringLiteral("Отключаем VM %1 от сети");
    const QString message =
        online
            ? QStringLiteral("VM %1 работает здесь: УТМ на %2 видит ЕГАИС, агент забирает его "
                             "документы")
                  .arg(QString::number(number), url)
            : QStringLiteral("VM %1 отключена от сети: до ЕГАИС её УТМ не дотянется").arg(number);
    changeVm(
        found, text.arg(number), [online](UtmVm &vm) { vm.online = online; }, VmApply, message,
        [this, url, online] { emit vmOnlineChanged(url, online); });
}

void UtmHost::removeVm(int number)
{
    const UtmVm *found = vmToChange(number);
    if (!found)
        return;
    const UtmVm vm = *found;
    if (!beginOperation(QStringLiteral("Удаляем VM %1").arg(number)))
        return;
    m_shell->run(
        distroScriptCommand(removeVmScript(number), kVmScriptTimeoutMs),
        guarded([this, vm](const ShellResult &result) {
            if (!result.succeeded()) {
                finishOperation(
                    false, failureText(QStringLiteral("VM %1 не удалена").arg(vm.number), result));
                return;
            }
            if (vm.online)
                emit vmOnlineChanged(utmBaseUrl(vm), false);
            m_tokenProblems.remove(vm.tokenSerial);
            finishOperation(true,
                            QStringLiteral("VM %1 удалена вместе с базой УТМ").arg(vm.number));
        }));
}

void UtmHost::loadLogs(int number)
{
    const quint64 request = ++m_logsRequest;
    m_shell->run(distroScriptCommand(utmLogsScript(number, kLogLines), kLogsTimeoutMs),
                 guarded([this, number, request](const ShellResult &result) {
                     if (request != m_logsRequest)
                         return;
                     QString text;
                     if (!result.succeeded()) {
                         text = failureText(QStringLiteral("Журнал не прочитан"), result);
                     } else {
                         text = QString::fromUtf8(result.out).trimmed();
                         if (text.isEmpty())
                             text = QStringLiteral("Журнал пуст");
                     }
                     emit logsReady(number, text);
                 }));
}

} // namespace Orv
