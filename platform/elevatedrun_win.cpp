#include "platform/elevatedrun.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <string>

#include <windows.h>

#include <shellapi.h>

namespace Orv {

void startElevated(const QString &program, const QString &parameters, QObject *context,
                   std::function<void(const ElevatedExit &)> done)
{
    const std::wstring file = program.toStdWString();
    const std::wstring arguments = parameters.toStdWString();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // The process handle is what we wait on; NOASYNC because no message loop of the shell's own
    // outlives this call.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = arguments.c_str();
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info) && info.hProcess) {
        HANDLE process = info.hProcess;
        auto *notifier = new QWinEventNotifier(process, context);
        // The handle goes with the notifier, also when the context goes first.
        QObject::connect(notifier, &QObject::destroyed, [process] { CloseHandle(process); });
        QObject::connect(notifier, &QWinEventNotifier::activated, context,
                         [notifier, process, done] {
                             DWORD code = 0;
                             GetExitCodeProcess(process, &code);
                             notifier->setEnabled(false);
                             notifier->deleteLater();
                             done({true, static_cast<int>(code), 0});
                         });
        return;
    }
    const unsigned long error = GetLastError();
    QTimer::singleShot(0, context, [done, error] { done({false, -1, error}); });
}

} // namespace Orv
