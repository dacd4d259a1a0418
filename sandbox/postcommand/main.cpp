// postcommand.exe TITLE ID: presses a button of a running program's window from outside, as
// the demo does with the dialog's commands when nobody sits at the display. Posts WM_COMMAND
// with ID (notification code 0) to the top-level window titled TITLE and exits 0, or 1 when
// there is no such window.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: postcommand.exe TITLE ID\n");
        return 2;
    }
    const HWND window = FindWindowW(nullptr, argv[1]);
    if (!window || !PostMessageW(window, WM_COMMAND, static_cast<WPARAM>(wcstoul(argv[2], nullptr, 10)), 0)) {
        fwprintf(stderr, L"postcommand: no window titled \"%ls\"\n", argv[1]);
        return 1;
    }
    return 0;
}
