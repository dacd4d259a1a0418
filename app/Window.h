#pragma once
// A thin object layer over Win32 windows: objects registered for a window handle get its
// messages in registration order, modeless dialogs come from templates, and whatever a
// dialog's handler throws is shown in a "Runtime error" box instead of ending the program.
// Everything here belongs to the GUI thread.
#include <windows.h>

class VWnd {
public:
    static constexpr const wchar_t* hiddenWindowClass = L"WardenlightHiddenWindow";

    VWnd();
    // Leaves the registry; never destroys the window (the dialog manager or attach does).
    ~VWnd();
    VWnd(const VWnd&) = delete;
    VWnd& operator=(const VWnd&) = delete;

    // Sets handled to false for a message the object leaves alone. The base leaves all.
    virtual LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

    // Destroys the current window first when the object owns it; owned decides only about
    // the next replacement.
    void attach(HWND window, bool owned);

    HWND window() const { return window_; }
    bool owned() const { return owned_; }

    // A hidden top-level window of class hiddenWindowClass, attached (owned) and registered to
    // this object before its first message. Null when the window manager refused.
    HWND createHiddenWindow();

private:
    HWND window_ = nullptr;
    bool owned_ = false;
};

class VDlg : public VWnd {
public:
    // A modeless dialog from template templateId of the program's module; parent null makes
    // a top-level dialog. The object is attached (owned) and registered when WM_INITDIALOG
    // arrives. Returns the new window, null when the dialog manager refused.
    HWND create(UINT templateId, HWND parent);

    // The procedure of every dialog made by create (lParam of WM_INITDIALOG: the VDlg).
    // Dialogs created another way may use it with the object as their creation parameter.
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// A child control of a dialog.
class VControl : public VWnd {
};

// The tree-view control, driven with TVM_* messages by its dialog.
class VTreeView : public VControl {
};

// Appends object to the window's list (or puts it first when atFront).
void registerWindow(HWND window, VWnd* object, bool atFront = false);
// Removes every occurrence of object from every window's list.
void unregisterWindow(VWnd* object);
// Offers the message to the window's objects in order until one handles it; WM_DESTROY also
// drops the window's entry. Returns the handler's result, 0 when nothing handled it.
LRESULT routeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
