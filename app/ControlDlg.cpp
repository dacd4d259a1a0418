#include "app/ControlDlg.h"

#include "app/Program.h"
#include "app/TrayIcon.h"
#include "resource.h"

namespace {

// Timer ticks since the tray icon was last refreshed by the timer.
int tickCount = 0;

} // namespace

ControlDlg::ControlDlg(TrayIcon* trayIcon) : trayIcon_(trayIcon)
{
}

LRESULT ControlDlg::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = window == this->window();
    if (!handled)
        return 0;
    if (message == exitMessage()) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == TrayIcon::taskbarCreatedMessage()) {
        restoreTrayIcon();
        return 0;
    }
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog();
    case WM_CLOSE:
        hide();
        return 0;
    case WM_SHOWWINDOW:
        onShowWindow(wParam != FALSE);
        handled = false;
        return 0;
    case WM_TIMER:
        onTimer();
        return 0;
    case WM_COMMAND:
        handled = onCommand(wParam);
        return 0;
    case TrayIcon::callbackMessage:
        onTrayCallback(lParam);
        return 0;
    default:
        handled = false;
        return 0;
    }
}

// Clicks and menu choices: their notification code (high word) is 0, so wParam is the id.
const ControlDlg::Command ControlDlg::commands_[] = {
    {IDC_START, &ControlDlg::startChecked, true},
    {IDC_STOP, &ControlDlg::stopChecked, true},
    {IDC_RESTART, &ControlDlg::restartChecked, true},
    {IDC_HIDE, &ControlDlg::hide},
    {IDC_REFRESH, &ControlDlg::refreshTree},
    {IDC_SELECT_ALL, &ControlDlg::checkAll},
    {IDC_CLEAR_ALL, &ControlDlg::uncheckAll},
    {IDC_DELETE_SESSIONS, &ControlDlg::deleteSessions},
    {IDC_START_WEBSITE, &ControlDlg::startWebsite},
    {IDC_STOP_WEBSITE, &ControlDlg::stopWebsite},
    {ID_MENU_CONTROL_PANEL, &ControlDlg::showControlPanel},
    {ID_MENU_START, &ControlDlg::startAll, true},
    {ID_MENU_STOP, &ControlDlg::stopAll, true},
    {ID_MENU_RESTART, &ControlDlg::restartAll, true},
    {ID_MENU_EXIT, &ControlDlg::exit},
};

bool ControlDlg::onCommand(WPARAM id)
{
    for (const Command& command : commands_) {
        if (command.id == id) {
            // A run that waits for the user lets commands through: no second one starts.
            if (!(command.startsRun && running_))
                (this->*command.handler)();
            return true;
        }
    }
    return false;
}

void ControlDlg::onTrayCallback(LPARAM mouseMessage)
{
    switch (mouseMessage) {
    case WM_LBUTTONUP:
        showControlPanel();
        break;
    case WM_RBUTTONUP:
        showTrayMenu();
        break;
    default:
        break;
    }
}

void ControlDlg::onTimer()
{
    const bool shown = IsWindowVisible(window());
    if (shown)
        syncGroupChecks();
    if (!shown || ++tickCount >= ticksPerIconRefresh) {
        tickCount = 0;
        trayIcon_->refresh();
    }
}

void ControlDlg::onShowWindow(bool shown)
{
    SetTimer(window(), timerId, shown ? timerPeriodMs : hiddenTimerPeriodMs, nullptr);
}

LRESULT ControlDlg::onInitDialog()
{
    imageList_.reset(ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                      ILC_COLOR24 | ILC_MASK, 0, 1));
    for (const UINT icon : {IDI_SERVICE_STARTED, IDI_SERVICE_STOPPED, IDI_SERVICE_DISABLED})
        ImageList_ReplaceIcon(imageList_.get(), -1, loadIcon(icon));

    tree_.attach(GetDlgItem(window(), IDC_SERVICE_TREE), false);
    // A tree whose template sets TVS_CHECKBOXES builds its check boxes at the first paint and
    // unchecks every item then. Switching the style off and on builds them now, before any
    // item exists (the control reacts only to a change of the style).
    const LONG style = GetWindowLongW(tree_.window(), GWL_STYLE);
    SetWindowLongW(tree_.window(), GWL_STYLE, style & ~TVS_CHECKBOXES);
    SetWindowLongW(tree_.window(), GWL_STYLE, style | TVS_CHECKBOXES);
    SendMessageW(tree_.window(), TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(imageList_.get()));

    SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(loadIcon(IDI_APPLICATION_ICON)));
    SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(loadIcon(IDI_APPLICATION_ICON)));
    // Before the first refresh, which may fail on a broken catalogue: a later Refresh mends
    // the tree, and group marks must spread from then on. Ticks arrive only through the loop.
    SetTimer(window(), timerId, IsWindowVisible(window()) ? timerPeriodMs : hiddenTimerPeriodMs, nullptr);

    // The icon first: filling the tree walks every service of the catalogue, and the icon
    // would wait for it.
    trayIcon_->refresh();
    refreshTree();
    return 0;
}

void ControlDlg::showControlPanel()
{
    ShowWindow(window(), SW_SHOWNORMAL);
    SetForegroundWindow(window());
    SetActiveWindow(window());
    SetFocus(window());
    PostMessageW(window(), WM_COMMAND, IDC_REFRESH, 0);
}

void ControlDlg::showTrayMenu()
{
    const DWORD position = GetMessagePos();
    const UniqueMenu menu(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
    const HMENU popup = GetSubMenu(menu.get(), 0);
    SetMenuDefaultItem(popup, ID_MENU_CONTROL_PANEL, FALSE);
    // The menu closes on a click elsewhere only when its owner is the foreground window.
    SetForegroundWindow(window());
    SetActiveWindow(window());
    SetFocus(window());
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position)),
                   0, window(), nullptr);
}

void ControlDlg::hide()
{
    ShowWindow(window(), SW_HIDE);
}

void ControlDlg::startChecked()
{
    controlService(true, false, nullptr);
}

void ControlDlg::stopChecked()
{
    controlService(false, false, nullptr);
}

void ControlDlg::checkAll()
{
    setAllChecks(true);
}

void ControlDlg::uncheckAll()
{
    setAllChecks(false);
}

void ControlDlg::exit()
{
    PostQuitMessage(0);
}

void ControlDlg::restartChecked()
{
    service::NameList stopped;
    controlService(false, false, &stopped);
    controlService(true, false, &stopped);
}

void ControlDlg::startAll()
{
    controlService(true, true, nullptr);
    refreshTree();
    trayIcon_->refresh();
}

void ControlDlg::stopAll()
{
    controlService(false, true, nullptr);
    refreshTree();
    trayIcon_->refresh();
}

void ControlDlg::restartAll()
{
    controlService(false, true, nullptr);
    trayIcon_->refresh();
    controlService(true, true, nullptr);
    trayIcon_->refresh();
    refreshTree();
}

void ControlDlg::restoreTrayIcon()
{
    trayIcon_->restore();
}
