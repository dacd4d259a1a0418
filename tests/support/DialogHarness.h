#pragma once
// The control dialog created in the test's own process as the program creates it (template
// 129, no owner), with a tray icon whose shell calls are recorded instead of made.
#include "app/ControlDlg.h"
#include "app/TrayIcon.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

struct TrayRecord {
    DWORD message = 0; // NIM_ADD, NIM_MODIFY, NIM_DELETE, ...
    HWND window = nullptr;
    UINT id = 0;
    UINT flags = 0;
    std::wstring tip;
};

class DialogHarness {
public:
    // Creating the dialog refreshes the tree: a failing catalogue shows a box, so answer it.
    DialogHarness();
    // Destroys the window, then the objects; the shell calls go back to the shell.
    ~DialogHarness();
    DialogHarness(const DialogHarness&) = delete;
    DialogHarness& operator=(const DialogHarness&) = delete;

    ControlDlg& dialog() { return *dialog_; }
    HWND window() const { return dialog_->window(); }
    HWND tree() const { return dialog_->treeWindow(); }

    // What the tray icon asked of the shell since creation or the last clear.
    static const std::vector<TrayRecord>& trayRecords();
    static void clearTrayRecords();
    // The tooltips of the recorded NIM_MODIFY calls.
    static std::vector<std::wstring> tips();

    // Processes what is queued for this thread as the program's loop would. Returns whether
    // a quit message was among it.
    bool pump();
    // Sends one tick of the dialog's timer.
    void tick() { SendMessageW(window(), WM_TIMER, ControlDlg::timerId, 0); }
    void command(WPARAM id) { SendMessageW(window(), WM_COMMAND, id, 0); }
    void trayCallback(UINT mouseMessage) { SendMessageW(window(), TrayIcon::callbackMessage, 0, mouseMessage); }

private:
    TrayIconApi saved_;
    TrayIcon trayIcon_;
    std::unique_ptr<ControlDlg> dialog_;
};
