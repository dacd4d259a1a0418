#pragma once
// What a command of the dialog does while it runs on the operation worker: it never touches a
// window. It reports through this interface, whose calls the dialog's thread carries out in
// the order they were made.
#include <windows.h>

#include <string>

class OperationReport {
public:
    // A progress text for the status line and the tray tooltip.
    virtual void progress(const std::wstring& text) = 0;
    // A message box owned by the dialog, one at a time; waits for the button the user presses.
    // A cancellation point.
    virtual int ask(const std::wstring& text, const std::wstring& caption, UINT style) = 0;
    // Reads the monitored services afresh and shows them: the tree, an empty status line and
    // the tray icon's state.
    virtual void refreshTree() = 0;

protected:
    ~OperationReport() = default;
};
