#include "app/TrayIcon.h"

#include "app/Program.h"
#include "app/Window.h"
#include "resource.h"
#include "runtime/Exception.h"
#include "runtime/Strings.h"
#include "services/PanelService.h"
#include "services/Service.h"

#include <cwchar>
#include <iterator>

namespace {

// Set the first time the shell accepts the icon.
bool iconAdded = false;

UINT iconFor(unsigned state)
{
    switch (state) {
    case service::statusStarted:
        return IDI_TRAY_STARTED;
    case service::statusStopped:
        return IDI_TRAY_STOPPED;
    default:
        return IDI_TRAY_DISABLED;
    }
}

} // namespace

TrayIcon::TrayIcon(VDlg* dialog) : dialog_(dialog)
{
    createHiddenWindow();
}

TrayIcon::~TrayIcon()
{
    if (dialog_)
        remove();
    attach(nullptr, false);
}

LRESULT TrayIcon::handleMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = message == callbackMessage || message == exitMessage();
    if (message == exitMessage())
        PostQuitMessage(0);
    // A click before the dialog exists does nothing.
    else if (handled && dialog_ && dialog_->window())
        SendMessageW(dialog_->window(), message, wParam, lParam);
    return 0;
}

void TrayIcon::remove()
{
    NOTIFYICONDATAW data = record(0);
    trayIconApi().shellNotifyIcon(NIM_DELETE, &data);
}

NOTIFYICONDATAW TrayIcon::record(UINT flags) const
{
    NOTIFYICONDATAW data;
    ZeroMemory(&data, sizeof(data));
    data.cbSize = sizeof(data);
    data.hWnd = window();
    data.uID = iconId;
    data.uFlags = flags;
    return data;
}

bool TrayIcon::addIcon()
{
    NOTIFYICONDATAW data = record(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE);
    data.uCallbackMessage = callbackMessage;
    data.hIcon = loadIcon(IDI_TRAY_STARTED);
    if (!trayIconApi().shellNotifyIcon(NIM_ADD, &data))
        return false;
    iconAdded = true;
    return true;
}

bool TrayIcon::add()
{
    return iconAdded || addIcon();
}

bool TrayIcon::update(unsigned state, const std::wstring& text)
{
    const UINT icon = iconFor(state);
    if (!add())
        return false;
    NOTIFYICONDATAW data = record(NIF_ICON | NIF_TIP);
    data.hIcon = loadIcon(icon);
    const std::wstring tip = formatString(loadResourceString(IDS_TRAY_TIP).c_str(), text);
    const size_t field = sizeof(data.szTip) / sizeof(data.szTip[0]);
    wcsncpy(data.szTip, tip.c_str(), field - 1);
    return trayIconApi().shellNotifyIcon(NIM_MODIFY, &data) != FALSE;
}

bool TrayIcon::showBalloon(const std::wstring& title, const std::wstring& text)
{
    if (!add())
        return false;
    NOTIFYICONDATAW data = record(NIF_INFO);
    wcsncpy(data.szInfoTitle, title.c_str(), std::size(data.szInfoTitle) - 1);
    wcsncpy(data.szInfo, text.c_str(), std::size(data.szInfo) - 1);
    data.dwInfoFlags = NIIF_WARNING;
    return trayIconApi().shellNotifyIcon(NIM_MODIFY, &data) != FALSE;
}

bool TrayIcon::updateText(const std::wstring& text)
{
    return update(queryPanelServiceState(), text);
}

bool TrayIcon::refresh()
{
    const unsigned state = queryPanelServiceState();
    return update(state, stateWord(state));
}

UINT TrayIcon::taskbarCreatedMessage()
{
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

void TrayIcon::restore()
{
    // A restarted shell has forgotten the icon, whatever the flag says. Where the shell still
    // shows it, the add fails and the refresh alone brings it up to date.
    addIcon();
}

const TrayIconApi& platformTrayIconApi()
{
    static const TrayIconApi platform = {&Shell_NotifyIconW};
    return platform;
}

TrayIconApi& trayIconApi()
{
    static TrayIconApi current = platformTrayIconApi();
    return current;
}

void resetTrayIconAdded()
{
    iconAdded = false;
}
