// The Windows side of bench/program_bench.py, which measures the running program from Linux:
//   program_probe catalogue   installs the benchmark catalogue, prints "ready" and keeps it
//                             until its standard input ends
//   program_probe icons N     waits until exactly N tray icons are shown
//   program_probe show        opens the real program's dialog as a click on its icon does
//   program_probe refresh N   sends N Refresh commands to the dialog, each waited for until the
//                             tree it empties first is filled again
//   program_probe close       closes bench/icon_program.exe
// Exit status 0 when it did what was asked, 1 otherwise, 2 on a wrong command line.
#include "app/TrayIcon.h"
#include "bench/BenchCatalogue.h"
#include "bench/Timing.h"
#include "resource.h"
#include "support/ProgramWindows.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>

namespace {

int keepCatalogue()
{
    const BenchCatalogue catalogue;
    if (!catalogue.alone()) {
        std::printf("program_probe: the catalogue holds packages of someone else\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    return 0;
}

int waitForIcons(int expected)
{
    const bool reached = eventually([&] { return trayIcons() == expected; });
    std::printf("program_probe: %d tray icons\n", trayIcons());
    return reached ? 0 : 1;
}

int showDialog()
{
    HWND dialog = nullptr;
    if (!eventually([&] { return (dialog = controlDialog()) != nullptr; }))
        return 1;
    PostMessageW(dialog, TrayIcon::callbackMessage, TrayIcon::iconId, WM_LBUTTONUP);
    if (!eventually([&] { return IsWindowVisible(dialog) != FALSE; }))
        return 1;
    // The click posts a Refresh of its own; this returns once the dialog has got to it.
    SendMessageW(dialog, WM_NULL, 0, 0);
    return 0;
}

int refresh(long count)
{
    const HWND dialog = controlDialog();
    if (!dialog || !IsWindowVisible(dialog))
        return 1;
    // The command only hands the refresh to the program's worker: its end shows when the tree,
    // emptied from here first, has nodes again.
    const HWND tree = GetDlgItem(dialog, IDC_SERVICE_TREE);
    const double start = nowMs();
    for (long index = 0; index < count; ++index) {
        SendMessageW(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
        SendMessageW(dialog, WM_COMMAND, IDC_REFRESH, 0);
        if (!eventually([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) > 0; }, 30000, 1))
            return 1;
    }
    const double elapsed = nowMs() - start;
    std::printf("program_probe: %ld refreshes in %.0f ms, %.2f ms each\n", count, elapsed, elapsed / count);
    return IsWindow(dialog) ? 0 : 1;
}

int closeIconProgram()
{
    const HWND window = FindWindowW(kIconProgramClass, nullptr);
    return window && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const long number = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : -1;
    if (command == L"catalogue")
        return keepCatalogue();
    if (command == L"icons" && number >= 0)
        return waitForIcons(static_cast<int>(number));
    if (command == L"show")
        return showDialog();
    if (command == L"refresh" && number > 0)
        return refresh(number);
    if (command == L"close")
        return closeIconProgram();
    std::fprintf(stderr, "usage: program_probe catalogue | icons N | show | refresh N | close\n");
    return 2;
}
