#pragma once
// The notification-area icon that shows the state of the panel's management service
// "tarvosrv".
#include "app/Window.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

class VDlg;

// The icon belongs to a hidden window of its own, which hands its callbacks to the dialog: so the
// icon can show before the dialog and its controls are made. From then on the window also answers
// the exit message, which an instance without its dialog yet would miss.
class TrayIcon : public VWnd {
public:
    static constexpr UINT iconId = 1;
    // Sent to the icon's window, and from there to the dialog, with the mouse message
    // (WM_LBUTTONUP, WM_RBUTTONUP, ...) in lParam.
    static constexpr UINT callbackMessage = WM_USER + 1;

    explicit TrayIcon(VDlg* dialog = nullptr);
    // Deletes the icon once a dialog is set, then destroys the icon's window.
    ~TrayIcon();

    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

    // The dialog that receives callbackMessage.
    void setDialog(VDlg* dialog) { dialog_ = dialog; }
    VDlg* dialog() const { return dialog_; }

    // True when the icon is (or already was) in the notification area.
    bool add();
    // Picture for state, tooltip "Tarvo - <text>" cut to the shell's field. False when the
    // icon cannot be added or the shell refuses the change.
    bool update(unsigned state, const std::wstring& text);
    // A warning balloon from the icon; a later one replaces it. Texts are cut to the shell's
    // fields.
    bool showBalloon(const std::wstring& title, const std::wstring& text);
    // update with the current state and a progress text.
    bool updateText(const std::wstring& text);
    // update with the current state and its word.
    bool refresh();

    // The shell announces with this registered message ("TaskbarCreated") that it has
    // restarted and lost every icon; the dialog answers it with restore.
    static UINT taskbarCreatedMessage();
    // Adds the icon again even though it was added before; the caller then refreshes it.
    void restore();
    // Takes the icon away.
    void remove();

private:
    NOTIFYICONDATAW record(UINT flags) const;
    bool addIcon();

    VDlg* dialog_;
};

// The shell call behind TrayIcon. Tests replace it to see the records, which the shell
// cannot give back; holds Shell_NotifyIconW unless replaced.
struct TrayIconApi {
    BOOL(WINAPI* shellNotifyIcon)(DWORD message, PNOTIFYICONDATAW data);
};
TrayIconApi& trayIconApi();
const TrayIconApi& platformTrayIconApi();
// The icon-added flag is process-wide and never cleared by the program; a test that makes a
// new owner window clears it to see the first add again.
void resetTrayIconAdded();
