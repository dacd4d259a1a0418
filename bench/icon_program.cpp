// The least a tray program does: one window and one icon, then nothing until WM_CLOSE. The
// baseline of the benchmarks that start the real program.
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT kIconId = 1;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        NOTIFYICONDATAW data = {};
        data.cbSize = sizeof(data);
        data.hWnd = window;
        data.uID = kIconId;
        Shell_NotifyIconW(NIM_DELETE, &data);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"wardenlight_bench_icon";
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowW(windowClass.lpszClassName, L"icon_program", WS_OVERLAPPED, 0, 0, 100, 100,
                                      nullptr, nullptr, instance, nullptr);
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_APP;
    data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    lstrcpynW(data.szTip, L"icon_program", static_cast<int>(sizeof(data.szTip) / sizeof(data.szTip[0])));
    if (!window || !Shell_NotifyIconW(NIM_ADD, &data))
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
