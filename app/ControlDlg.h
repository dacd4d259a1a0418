#pragma once
// The program's one window, "Tarvo Services Monitor": a hidden modeless dialog with the
// check-box tree of the monitored services, the command buttons and the status line. It
// owns the timer that spreads group marks and keeps the tray icon current, and answers the
// tray icon's clicks.
#include "app/ServiceTree.h"
#include "app/Window.h"
#include "runtime/Handle.h"
#include "services/Service.h"

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

    // trayIcon is never null and outlives the dialog.
    explicit ControlDlg(TrayIcon* trayIcon);

    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

    // WM_INITDIALOG: image list, tree, icons, timer, first refresh. Returns 0 (no default focus).
    LRESULT onInitDialog();
    // Shows the dialog and posts a Refresh for when the loop next runs.
    void showControlPanel();
    // The popup menu at the cursor of the current message; the choice arrives as WM_COMMAND.
    void showTrayMenu();

    // Rebuilds the groups and the tree; check marks survive by name, then the status line is
    // cleared and the tray icon refreshed.
    void refreshTree();
    // Spreads each group mark that changed since the last call to the group's services.
    void syncGroupChecks();
    // Marks (or unmarks) every group and service node.
    void setAllChecks(bool checked);

    // Starts (or stops) every listed service when all is set, otherwise the checked ones;
    // names carries the services a restart's stop pass stopped to its start pass. The run
    // keeps to what was selected when it began; while it runs, no second run starts and a
    // refresh is left to the run's own at its end.
    void controlService(bool start, bool all, service::NameList* names);
    // One service of a run: true when it is done with (started or stopped, skipped, or failed
    // and ignored), false when the run should try it again in a later pass, or end (Abort).
    bool controlService(const std::wstring& name, bool start, bool lastPass, service::NameList* names);
    // Shows startStopService's progress in the status line and the tray tooltip; context is
    // the dialog. Returns 0.
    static DWORD CALLBACK onServiceProgress(int phase, const wchar_t* name, void* context);

    HWND treeWindow() const { return tree_.window(); }
    HIMAGELIST imageList() const { return imageList_.get(); }
    // Null until the first refresh got as far as the catalogue.
    ServiceGroupList* groups() const { return groups_; }

private:
    enum class PassResult { done, failed, aborted };

    struct Command {
        WPARAM id;
        void (ControlDlg::*handler)();
        bool startsRun = false;
    };
    static const Command commands_[];

    // Runs the command's member; false for an id that is none of the dialog's commands.
    bool onCommand(WPARAM id);
    PassResult runPass(const std::vector<std::wstring>& selected, bool start, bool lastPass,
                       service::NameList* names);
    void onTrayCallback(LPARAM mouseMessage);
    void onTimer();
    void onShowWindow(bool shown);
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

    // Tree helpers.
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
    ServiceGroupList* groups_ = nullptr;
    bool running_ = false;
};
