#include "support/DialogHarness.h"

#include "resource.h"

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
}

DialogHarness::~DialogHarness()
{
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
