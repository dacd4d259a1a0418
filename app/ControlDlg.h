#pragma once
// The program's one window, "Tarvo Services Monitor": a hidden modeless dialog with the
// check-box tree of the monitored services, the command buttons and the status line. It
// owns the timer that spreads group marks and keeps the tray icon current, and answers the
// tray icon's clicks. Whatever may wait on the outside world (services, the database, the
// panel's utility, the management service) runs on the dialog's operation worker, one command
// at a time, so the dialog answers while a command works.
#include "app/Operation.h"
#include "app/ServiceActions.h"
#include "app/ServiceTree.h"
#include "app/Window.h"
#include "runtime/Handle.h"
#include "runtime/Worker.h"
#include "services/ServiceWatch.h"

#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class TrayIcon;

class ControlDlg : public VDlg {
public:
    // Tree timer. Shown, every tick spreads group marks and every 101st refreshes the tray
    // icon. Hidden, nothing can change a mark: the timer then ticks only for the icon, every
    // 101 periods, so an idle program costs next to nothing.
    static constexpr UINT_PTR timerId = 1;
    static constexpr UINT timerPeriodMs = 100;
    static constexpr int ticksPerIconRefresh = 101;
    static constexpr UINT hiddenTimerPeriodMs = timerPeriodMs * ticksPerIconRefresh;
    // Posted to the dialog when the worker has something for its thread to do.
    static constexpr UINT workerMessage = WM_APP + 1;
    // How long the program's end waits for a cancelled command: "exit" waits 10 s for the
    // instances to end.
    static constexpr DWORD commandEndTimeoutMs = 5000;
    // A service that stops this soon after a command ended was stopped by it, not from outside:
    // its notification may arrive after the command's end.
    static constexpr ULONGLONG ownStopGraceMs = 3000;
    // Stops that come this close together share one balloon.
    static constexpr ULONGLONG balloonMergeMs = 2000;

    // trayIcon is never null and outlives the dialog.
    explicit ControlDlg(TrayIcon* trayIcon);

    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

    // WM_INITDIALOG: image list, tree, icons, timer, first refresh. Returns 0 (no default focus).
    LRESULT onInitDialog();
    // Shows the dialog and posts a Refresh for when the loop next runs.
    void showControlPanel();
    // The popup menu at the cursor of the current message; the choice arrives as WM_COMMAND.
    void showTrayMenu();

    // Has the worker read the services afresh; the tree is rebuilt when they arrive, check
    // marks surviving by name, then the status line is cleared and the tray icon refreshed.
    // Left to a running command, which ends with a refresh of its own.
    void refreshTree();
    // Spreads each group mark that changed since the last call to the group's services.
    void syncGroupChecks();
    // Marks (or unmarks) every group and service node.
    void setAllChecks(bool checked);

    // A command is running: the commands that would start another are refused and greyed.
    bool commandRunning() const { return commandRunning_; }
    // The worker has work, or has left some for the dialog's thread.
    bool busy() const;
    // Cancels a running command at its next cancellation point and waits up to timeoutMs for
    // it to end. False when it still runs; what it asked of the outside world stays asked.
    bool endCommands(DWORD timeoutMs);

    HWND treeWindow() const { return tree_.window(); }
    HIMAGELIST imageList() const { return imageList_.get(); }
    // Empty until the first refresh got as far as the catalogue.
    const ServiceGroupList& groups() const { return groups_; }

private:
    struct Command {
        WPARAM id;
        void (ControlDlg::*handler)();
        bool refusedWhileRunning = false;
    };
    static const Command commands_[];

    // The worker's side of the dialog: it carries every report to the dialog's thread.
    class Bridge : public OperationReport {
    public:
        explicit Bridge(ControlDlg& dialog) : dialog_(dialog) {}
        void progress(const std::wstring& text) override;
        int ask(const std::wstring& text, const std::wstring& caption, UINT style) override;
        void refreshTree() override;

    private:
        ControlDlg& dialog_;
    };

    // Runs the command's member; false for an id that is none of the dialog's commands.
    bool onCommand(WPARAM id);
    void onTrayCallback(LPARAM mouseMessage);
    void onTimer();
    void onShowWindow(bool shown);
    void onEndSession(bool ending);
    void hide();
    void exit();
    void checkAll();
    void uncheckAll();
    void startChecked();
    void stopChecked();
    void restartChecked();
    void startAll();
    void stopAll();
    void restartAll();
    void restoreTrayIcon();
    void deleteSessions();
    void startWebsite();
    void stopWebsite();

    // Commands on the worker: greyed buttons until the command has ended.
    void startCommand(WPARAM id, std::function<void()> job);
    void runServices(WPARAM id, std::function<void(ServiceRun&)> runs);
    void finishCommand();
    void enableCommands(bool enabled);
    // On the worker: runs job as a guarded operation; a failure is logged and shown once.
    void runJob(WPARAM id, const std::function<void()>& job);
    // From any thread: runs call on the dialog's thread, after every call posted before it.
    void post(std::function<void()> call);
    void runPosted();

    // The services' states as the manager's notifications tell them: the tray icon, the tree's
    // images and a balloon when a service stops unexpectedly. While the dialog is hidden only
    // "tarvosrv" and the tree's services that start automatically are watched. Where "tarvosrv" cannot be
    // watched, the timer asks for its state instead, and tries the watch again.
    void watchServices(bool shown);
    void onWatched(const service::StatusChange& change);
    void showServiceState(const std::wstring& name, unsigned status, const std::wstring& stopEvent);
    void announceStop(const std::wstring& event);

    // The tray icon's state, off the dialog's thread: a new watch of "tarvosrv" tells it at
    // once and every change after; where there is no watch, or when ask is set, it is asked.
    void refreshTrayState(bool ask = false);
    void showTrayState(unsigned state);
    void showProgress(const std::wstring& text, unsigned trayState);
    void showRefreshed(ServiceGroupList groups, unsigned trayState);

    // Tree helpers.
    void showGroups(ServiceGroupList groups);
    std::vector<ServiceChoice> choices() const;
    void insertGroup(ServiceGroup& group, int image, const std::set<std::wstring>& marked);
    void insertService(MonitoredService& service, const std::set<std::wstring>& marked);
    std::set<std::wstring> markedNames() const;
    bool isChecked(HTREEITEM item) const;
    void setCheck(HTREEITEM item, bool checked) const;
    void setImage(HTREEITEM item, int image) const;
    // The image of the group at position in the list, showing the picture iconId.
    int groupImage(size_t position, UINT iconId);

    VTreeView tree_;
    UniqueImageList imageList_;
    std::vector<UINT> groupIcons_; // the picture in each group image, by group position
    TrayIcon* trayIcon_;
    ServiceGroupList groups_;
    bool commandRunning_ = false;
    std::wstring progressText_; // the running command's last progress text
    ULONGLONG commandEndedAt_ = 0;
    bool trayStateAsked_ = false;
    // What the last watchServices asked the state worker to watch.
    bool watchAsked_ = false;
    std::set<std::wstring> watchAskedNames_;
    bool watchAskedShown_ = false;
    std::wstring balloonText_;
    ULONGLONG balloonAt_ = 0;

    Bridge bridge_{*this};
    mutable std::mutex postedLock_;
    std::deque<std::function<void()>> posted_;
    // Used on the state worker only.
    std::unique_ptr<service::ServiceWatch> watch_;
    // Declared last: destroyed first, so no job outlives what it uses.
    Worker stateWorker_; // the tray icon's state and the services' notifications, never waiting for a command
    Worker worker_;
};
