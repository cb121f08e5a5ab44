#include "platform/console.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace Orv {
namespace {

// The console's own output code page while ours replaces it; 0 when nothing was changed.
UINT consoleCodePage = 0;

// A file or a pipe the caller chose; the console must not take its place.
bool isRedirected(DWORD stream)
{
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

void restoreCodePage()
{
    if (consoleCodePage != 0)
        SetConsoleOutputCP(consoleCodePage);
    consoleCodePage = 0;
}

} // namespace

void attachParentConsole()
{
    const bool outRedirected = isRedirected(STD_OUTPUT_HANDLE);
    const bool errRedirected = isRedirected(STD_ERROR_HANDLE);
    if ((outRedirected && errRedirected) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    FILE *reopened = nullptr;
    if (!outRedirected)
        freopen_s(&reopened, "CONOUT$", "w", stdout);
    if (!errRedirected)
        freopen_s(&reopened, "CONOUT$", "w", stderr);
    // Qt's command-line parser writes in the ANSI code page, while a console shows the OEM one and
    // would garble the Cyrillic. The console is the caller's: its page comes back when we let it
    // go or when the program ends, which the parser does by itself after help or an error.
    const UINT ownPage = GetConsoleOutputCP();
    if (ownPage != GetACP() && SetConsoleOutputCP(GetACP())) {
        consoleCodePage = ownPage;
        std::atexit(restoreCodePage);
    }
}

void releaseParentConsole()
{
    restoreCodePage();
    FreeConsole();
}

} // namespace Orv
