#pragma once
// What the tests and benchmarks that run a program in the bed look for: its tray icon and its
// window.
#include <windows.h>

// The window class of the benchmarks' least tray program, which ends on WM_CLOSE.
constexpr wchar_t kIconProgramClass[] = L"wardenlight_bench_icon";

// Without a system tray on the X display, Wine's shell shows each icon as a window inside its
// own tray window.
inline int trayIcons()
{
    int count = 0;
    for (HWND tray = nullptr; (tray = FindWindowExW(nullptr, tray, L"__winex11_standalone_tray", nullptr));)
        for (HWND icon = nullptr; (icon = FindWindowExW(tray, icon, L"__winex11_tray_icon", nullptr));)
            count += IsWindowVisible(icon) ? 1 : 0;
    return count;
}

// The real program's dialog; null when no instance runs or its icon has come but not yet the dialog.
inline HWND controlDialog()
{
    return FindWindowW(L"#32770", L"Tarvo Services Monitor");
}

// Waits until found() holds, for at most timeoutMs, polling every pollMs.
template <typename Found>
bool eventually(Found found, DWORD timeoutMs = 30000, DWORD pollMs = 20)
{
    for (const ULONGLONG deadline = GetTickCount64() + timeoutMs; !found();) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(pollMs);
    }
    return true;
}
