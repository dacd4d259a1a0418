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
    void tick() const { SendMessageW(window(), WM_TIMER, ControlDlg::timerId, 0); }
    void command(WPARAM id) const { SendMessageW(window(), WM_COMMAND, id, 0); }

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
