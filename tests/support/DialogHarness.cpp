#include "support/DialogHarness.h"

#include "resource.h"

namespace {

std::vector<TrayRecord> records;

BOOL WINAPI recordShellCall(DWORD message, PNOTIFYICONDATAW data)
{
    records.push_back({message, data->hWnd, data->uID, data->uFlags, data->szTip});
    return TRUE;
}

} // namespace

DialogHarness::DialogHarness() : saved_(trayIconApi())
{
    trayIconApi().shellNotifyIcon = &recordShellCall;
    resetTrayIconAdded();
    records.clear();
    dialog_ = std::make_unique<ControlDlg>(&trayIcon_);
    trayIcon_.setDialog(dialog_.get());
    dialog_->create(IDD_CONTROL_DIALOG, nullptr);
}

DialogHarness::~DialogHarness()
{
    DestroyWindow(dialog_->window());
    trayIcon_.setDialog(nullptr);
    dialog_.reset();
    trayIconApi() = saved_;
    resetTrayIconAdded();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

const std::vector<TrayRecord>& DialogHarness::trayRecords()
{
    return records;
}

void DialogHarness::clearTrayRecords()
{
    records.clear();
}

std::vector<std::wstring> DialogHarness::tips()
{
    std::vector<std::wstring> tips;
    for (const TrayRecord& record : records)
        if (record.message == NIM_MODIFY)
            tips.push_back(record.tip);
    return tips;
}

bool DialogHarness::pump()
{
    bool quit = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        quit = quit || message.message == WM_QUIT;
        if (message.message != WM_QUIT && !IsDialogMessageW(window(), &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return quit;
}
