#pragma once
// The control dialog created in the test's own process as the program creates it, with a
// tray icon whose shell calls are recorded instead of made, and its tree read through TVM_*
// messages as another program would.
#include "app/ControlDlg.h"
#include "app/TrayIcon.h"

struct TrayRecord {
    DWORD message; // NIM_ADD, NIM_MODIFY, NIM_DELETE
    NOTIFYICONDATAW data;
};

class DialogHarness {
public:
    // Creating the dialog refreshes the tree: a failing catalogue shows a box, so answer it.
    // The dialog's timer ticks only while a loop runs (a message box's, for example).
    DialogHarness();
    // Destroys the window, then the objects; the shell calls go back to the shell.
    ~DialogHarness();

    ControlDlg& dialog() { return *dialog_; }
    HWND window() const { return dialog_->window(); }
    HWND tree() const { return dialog_->treeWindow(); }
    // The icon's own window, which the shell's callbacks reach first.
    HWND iconWindow() const { return trayIcon_.window(); }
    void tick() const { send(WM_TIMER, ControlDlg::timerId); }
    // Sends the message, then lets the dialog's loop run until the work it started has ended.
    void send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    void command(WPARAM id) const { send(WM_COMMAND, id); }
    // Runs the loop until the worker and the dialog have nothing left to do (2 min at most:
    // the bound only turns a hang into a failure).
    void settle() const;
    // Runs the loop until done() holds or boundMs has passed; whether it came. The dialog's
    // own timer ticks are dropped: tests tick when they mean to.
    bool runUntil(const std::function<bool()>& done, DWORD boundMs = 30000) const;

    // Every tree node in display order as "group" or "group/child", followed by " <image>"
    // when withImages; only the checked ones when checkedOnly.
    std::vector<std::wstring> paths(bool withImages = false, bool checkedOnly = false) const;

    // What tray icons asked of the shell; the tests clear it when they like.
    static inline std::vector<TrayRecord> trayRecords;
    // The recording stand-in for the shell; the dialog's icon uses it from construction on.
    static BOOL WINAPI recordShellCall(DWORD message, PNOTIFYICONDATAW data);

private:
    TrayIconApi saved_;
    TrayIcon trayIcon_;
    std::unique_ptr<ControlDlg> dialog_;
};
