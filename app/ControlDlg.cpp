#include "app/ControlDlg.h"

#include "app/MaintenanceCommands.h"
#include "app/Program.h"
#include "app/TrayIcon.h"
#include "resource.h"
#include "runtime/Config.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "runtime/ThreadCancelation.h"
#include "services/PanelService.h"

#include <memory>

namespace {

// Timer ticks since the tray icon was last refreshed by the timer.
int tickCount = 0;

constexpr DWORD stateQueryEndTimeoutMs = 1000;

// What a balloon says of a service that stopped on its own: its display name, how it ended
// and when.
std::wstring stopEventText(const service::StatusChange& change)
{
    std::wstring name = change.name;
    try {
        if (const std::wstring display = service::serviceDisplayName(change.name); !display.empty())
            name = display;
    } catch (const vexception&) {
        // The key name then.
    }
    const SERVICE_STATUS_PROCESS& status = change.status;
    const std::wstring how = status.dwWin32ExitCode == NO_ERROR ? std::wstring(L"stopped unexpectedly")
        : status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
            ? formatString(L"failed with service-specific exit code %lu", status.dwServiceSpecificExitCode)
            : formatString(L"failed with exit code %lu", status.dwWin32ExitCode);
    SYSTEMTIME now;
    GetLocalTime(&now);
    return formatString(L"%s %s at %02u:%02u:%02u", name, how, now.wHour, now.wMinute, now.wSecond);
}

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
    case WM_ENDSESSION:
        onEndSession(wParam != FALSE);
        return 0;
    case workerMessage:
        runPosted();
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
    {IDC_REFRESH, &ControlDlg::refreshTree, true},
    {IDC_SELECT_ALL, &ControlDlg::checkAll},
    {IDC_CLEAR_ALL, &ControlDlg::uncheckAll},
    {IDC_DELETE_SESSIONS, &ControlDlg::deleteSessions, true},
    {IDC_START_WEBSITE, &ControlDlg::startWebsite, true},
    {IDC_STOP_WEBSITE, &ControlDlg::stopWebsite, true},
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
            // Refused, not queued: a Refresh comes at the command's end anyway.
            if (!(command.refusedWhileRunning && commandRunning_))
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
    case NIN_BALLOONUSERCLICK:
        showControlPanel();
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
        refreshTrayState();
    }
}

void ControlDlg::onEndSession(bool ending)
{
    // The session's end gives a program a few seconds at most.
    if (ending)
        endCommands(commandEndTimeoutMs);
}

void ControlDlg::onShowWindow(bool shown)
{
    SetTimer(window(), timerId, shown ? timerPeriodMs : hiddenTimerPeriodMs, nullptr);
    watchServices(shown);
}

LRESULT ControlDlg::onInitDialog()
{
    // Where the program has not added the icon yet; its state follows from the state worker.
    trayIcon_->add();
    stateWorker_.post([this] {
        watch_ = std::make_unique<service::ServiceWatch>([this](const service::StatusChange& change) {
            onWatched(change);
        });
    });
    refreshTrayState(true);
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
    const UINT state = MF_BYCOMMAND | (commandRunning_ ? MF_GRAYED : MF_ENABLED);
    for (const Command& command : commands_)
        if (command.refusedWhileRunning)
            EnableMenuItem(popup, static_cast<UINT>(command.id), state);
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
    runServices(IDC_START, [](ServiceRun& run) { run.run(true, false, nullptr); });
}

void ControlDlg::stopChecked()
{
    runServices(IDC_STOP, [](ServiceRun& run) { run.run(false, false, nullptr); });
}

void ControlDlg::restartChecked()
{
    runServices(IDC_RESTART, [](ServiceRun& run) {
        service::NameList stopped;
        run.run(false, false, &stopped);
        run.run(true, false, &stopped);
    });
}

// The menu's runs take every listed service, checked or not; each ends with a refresh of the
// tree, which also refreshes the tray icon.
void ControlDlg::startAll()
{
    runServices(ID_MENU_START, [](ServiceRun& run) { run.run(true, true, nullptr); });
}

void ControlDlg::stopAll()
{
    runServices(ID_MENU_STOP, [](ServiceRun& run) { run.run(false, true, nullptr); });
}

void ControlDlg::restartAll()
{
    runServices(ID_MENU_RESTART, [](ServiceRun& run) {
        run.run(false, true, nullptr);
        run.run(true, true, nullptr);
    });
}

void ControlDlg::deleteSessions()
{
    startCommand(IDC_DELETE_SESSIONS, [this] { maintenance::deleteSessions(bridge_); });
}

void ControlDlg::startWebsite()
{
    startCommand(IDC_START_WEBSITE, [this] { maintenance::startWebsite(bridge_); });
}

void ControlDlg::stopWebsite()
{
    startCommand(IDC_STOP_WEBSITE, [this] { maintenance::stopWebsite(bridge_); });
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

void ControlDlg::restoreTrayIcon()
{
    trayIcon_->restore();
    refreshTrayState(true);
}

void ControlDlg::refreshTree()
{
    worker_.post([this] { runJob(IDC_REFRESH, [this] { bridge_.refreshTree(); }); });
}

void ControlDlg::runServices(WPARAM id, std::function<void(ServiceRun&)> runs)
{
    startCommand(id, [this, runs = std::move(runs), services = choices()] {
        ServiceRun run(bridge_, services);
        runs(run);
    });
}

void ControlDlg::startCommand(WPARAM id, std::function<void()> job)
{
    commandRunning_ = true;
    enableCommands(false);
    worker_.post([this, id, job = std::move(job)] {
        runJob(id, job);
        post([this] { finishCommand(); });
    });
}

void ControlDlg::finishCommand()
{
    commandRunning_ = false;
    commandEndedAt_ = GetTickCount64();
    progressText_.clear();
    enableCommands(true);
}

void ControlDlg::enableCommands(bool enabled)
{
    for (const Command& command : commands_)
        if (command.refusedWhileRunning)
            if (const HWND button = GetDlgItem(window(), static_cast<int>(command.id)))
                EnableWindow(button, enabled);
}

void ControlDlg::runJob(WPARAM id, const std::function<void()>& job)
{
    try {
        guarded({"ControlDlg::runJob", __LINE__}, job, L"Unable to call runJob(%d)", static_cast<int>(id));
    } catch (const VCanceledException& canceled) {
        LogManager::instance().log(LOG_WARNING, canceled);
    } catch (const vexception& error) {
        LogManager::instance().log(LOG_ERROR, error);
        post([this, error] { guard::report(window(), error); });
    }
}

bool ControlDlg::busy() const
{
    const std::lock_guard<std::mutex> hold(postedLock_);
    return worker_.busy() || stateWorker_.busy() || !posted_.empty();
}

bool ControlDlg::endCommands(DWORD timeoutMs)
{
    // Both are asked at once; a state query takes a moment at most.
    stateWorker_.stop(0);
    const bool ended = worker_.stop(timeoutMs);
    if (!stateWorker_.stop(stateQueryEndTimeoutMs))
        return false;
    // Its thread has ended, so no notification can come: the watch lets go of the services
    // before the process ends, or a manager may keep a deleted one for the dead registration.
    watch_.reset();
    return ended;
}

void ControlDlg::post(std::function<void()> call)
{
    {
        const std::lock_guard<std::mutex> hold(postedLock_);
        posted_.push_back(std::move(call));
    }
    PostMessageW(window(), workerMessage, 0, 0);
}

void ControlDlg::runPosted()
{
    // One call at a time: a call that shows a box lets the calls after it run from the box's
    // own loop, in order.
    for (;;) {
        std::function<void()> call;
        {
            const std::lock_guard<std::mutex> hold(postedLock_);
            if (posted_.empty())
                return;
            call = std::move(posted_.front());
            posted_.pop_front();
        }
        call();
    }
}

void ControlDlg::refreshTrayState(bool ask)
{
    if (trayStateAsked_)
        return;
    trayStateAsked_ = true;
    stateWorker_.post([this, ask] {
        // Installed or installed anew since the last try, it can be watched now.
        const bool watched = watch_->watching(panelServiceName);
        if (!watch_->watch(panelServiceName) || !watched || ask) {
            const unsigned state = queryPanelServiceState();
            post([this, state] { showTrayState(state); });
        }
        post([this] { trayStateAsked_ = false; });
    });
}

void ControlDlg::showTrayState(unsigned state)
{
    // A command's progress stays in the tooltip until the command ends.
    trayIcon_->update(state, progressText_.empty() ? stateWord(state) : progressText_);
}

void ControlDlg::showProgress(const std::wstring& text, unsigned trayState)
{
    progressText_ = text;
    SetDlgItemTextW(window(), IDC_STATUS, text.c_str());
    trayIcon_->update(trayState, text);
}

void ControlDlg::showRefreshed(ServiceGroupList groups, unsigned trayState)
{
    showGroups(std::move(groups));
    SetDlgItemTextW(window(), IDC_STATUS, L"");
    progressText_.clear();
    trayIcon_->update(trayState, stateWord(trayState));
    watchServices(IsWindowVisible(window()) != FALSE);
}

void ControlDlg::watchServices(bool shown)
{
    std::set<std::wstring> names;
    for (const auto& group : groups_)
        for (const auto& service : group->services)
            names.insert(service->name);
    // A refresh mostly lists the same services again.
    if (watchAsked_ && names == watchAskedNames_ && shown == watchAskedShown_)
        return;
    watchAsked_ = true;
    watchAskedNames_ = names;
    watchAskedShown_ = shown;
    stateWorker_.post([this, names, shown] {
        // Hidden, only what a balloon can tell of: each watch costs the manager (under Wine a
        // thread and a connection of each side).
        std::set<std::wstring> watched = {panelServiceName};
        for (const std::wstring& name : names)
            if (shown || service::startsAutomatically(name))
                watched.insert(name);
        watch_->keepOnly(watched);
        for (const std::wstring& name : watched)
            watch_->watch(name);
    });
}

void ControlDlg::onWatched(const service::StatusChange& change)
{
    const unsigned status = service::statusInState(change.name, change.status.dwCurrentState);
    std::wstring event;
    if (change.stoppedAfterRunning && (change.name == panelServiceName || service::startsAutomatically(change.name)) &&
        serviceStopBalloonsEnabled())
        event = stopEventText(change);
    post([this, name = change.name, status, event] { showServiceState(name, status, event); });
}

void ControlDlg::showServiceState(const std::wstring& name, unsigned status, const std::wstring& stopEvent)
{
    if (name == panelServiceName)
        showTrayState(status);
    for (const auto& group : groups_)
        for (const auto& service : group->services)
            if (service->name == name) {
                service->status = static_cast<service::EffectiveStatus>(status);
                setImage(service->treeItem, static_cast<int>(status));
            }
    const bool ours = commandRunning_ || GetTickCount64() - commandEndedAt_ < ownStopGraceMs;
    if (!stopEvent.empty() && !ours)
        announceStop(stopEvent);
}

void ControlDlg::announceStop(const std::wstring& event)
{
    LogManager::instance().log(LOG_WARNING, event);
    const ULONGLONG now = GetTickCount64();
    balloonText_ = balloonAt_ && now - balloonAt_ < balloonMergeMs ? balloonText_ + L"\n" + event : event;
    balloonAt_ = now;
    trayIcon_->showBalloon(L"Tarvo Services Monitor", balloonText_);
}

void ControlDlg::Bridge::progress(const std::wstring& text)
{
    const unsigned state = queryPanelServiceState();
    dialog_.post([this, text, state] { dialog_.showProgress(text, state); });
}

int ControlDlg::Bridge::ask(const std::wstring& text, const std::wstring& caption, UINT style)
{
    ThreadCancelation::throwIfCanceled();
    struct Answer {
        int button = 0;
        UniqueHandle given{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    };
    const auto answer = std::make_shared<Answer>();
    if (!answer->given)
        WL_THROW_LAST_ERROR(L"CreateEvent");
    dialog_.post([this, answer, text, caption, style] {
        answer->button = MessageBoxW(dialog_.window(), text.c_str(), caption.c_str(), style);
        SetEvent(answer->given.get());
    });
    ThreadCancelation::wait(answer->given.get(), INFINITE);
    return answer->button;
}

void ControlDlg::Bridge::refreshTree()
{
    ServiceGroupList groups;
    unsigned state = service::statusDisabled;
    try {
        groups = WardenLight::AllServices(&state);
    } catch (...) {
        // The tree is emptied as it was about to be rebuilt; the status line and the icon stay.
        dialog_.post([this] { dialog_.showGroups({}); });
        throw;
    }
    auto shared = std::make_shared<ServiceGroupList>(std::move(groups));
    dialog_.post([this, shared, state] { dialog_.showRefreshed(std::move(*shared), state); });
}
