#include "support/DialogHarness.h"

#include "resource.h"

#include <gtest/gtest.h>

BOOL WINAPI DialogHarness::recordShellCall(DWORD message, PNOTIFYICONDATAW data)
{
    trayRecords.push_back({message, *data});
    return TRUE;
}

DialogHarness::DialogHarness() : saved_(trayIconApi())
{
    trayIconApi().shellNotifyIcon = &recordShellCall;
    resetTrayIconAdded();
    trayRecords.clear();
    dialog_ = std::make_unique<ControlDlg>(&trayIcon_);
    trayIcon_.setDialog(dialog_.get());
    dialog_->create(IDD_CONTROL_DIALOG, nullptr);
    settle();
}

void DialogHarness::send(UINT message, WPARAM wParam, LPARAM lParam) const
{
    SendMessageW(window(), message, wParam, lParam);
    settle();
}

void DialogHarness::settle() const
{
    if (!runUntil([this] { return !dialog_->busy(); }, 120000))
        ADD_FAILURE() << "the dialog's work did not end";
}

bool DialogHarness::runUntil(const std::function<bool()>& done, DWORD boundMs) const
{
    for (const ULONGLONG deadline = GetTickCount64() + boundMs; !done();) {
        if (GetTickCount64() > deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            if (message.message == WM_TIMER && message.hwnd == window())
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

DialogHarness::~DialogHarness()
{
    settle();
    DestroyWindow(window());
    trayIcon_.setDialog(nullptr);
    dialog_.reset();
    trayIconApi() = saved_;
    resetTrayIconAdded();
}

std::vector<std::wstring> DialogHarness::paths(bool withImages, bool checkedOnly) const
{
    // The groups are expanded, so the visible order is the display order.
    std::vector<std::wstring> paths;
    std::wstring group;
    for (HTREEITEM item = TreeView_GetRoot(tree()); item; item = TreeView_GetNextVisible(tree(), item)) {
        wchar_t text[512] = {};
        TVITEMW query = {TVIF_HANDLE | TVIF_TEXT | TVIF_IMAGE, item, 0, 0, text, 512, 0, 0, 0, 0};
        TreeView_GetItem(tree(), &query);
        const std::wstring path = TreeView_GetParent(tree(), item) ? group + L"/" + text : (group = text);
        if (!checkedOnly || TreeView_GetCheckState(tree(), item) == 1)
            paths.push_back(withImages ? path + L" " + std::to_wstring(query.iImage) : path);
    }
    return paths;
}
