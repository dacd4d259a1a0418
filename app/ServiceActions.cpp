// The dialog's Start, Stop and Restart runs: the selected services of the tree are started
// after what they depend on, or stopped after their active dependents, in up to three passes;
// what still fails in the last pass is put to the user.
#include "app/ControlDlg.h"

#include "app/TrayIcon.h"
#include "resource.h"
#include "runtime/Exception.h"
#include "runtime/LogManager.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int passCount = 3;

// The wait cursor while a run blocks the dialog; the previous cursor comes back afterwards.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

bool listed(const service::NameList* names, const std::wstring& name)
{
    return names && std::any_of(names->begin(), names->end(), [&](const std::wstring& entry) {
               return CompareStringOrdinal(entry.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
           });
}

std::wstring displayNameOr(const std::wstring& name)
{
    try {
        return service::serviceDisplayName(name);
    } catch (const vexception&) {
        return name;
    }
}

const wchar_t* progressLead(int phase)
{
    switch (phase) {
    case service::progressDependencies:
        return L"Build Dependencies for ";
    case service::progressStarting:
        return L"Starting ";
    default:
        return L"Stopping ";
    }
}

} // namespace

void ControlDlg::controlService(bool start, bool all, service::NameList* names)
{
    // The Abort/Retry/Ignore box lets clicks, menu commands and timer ticks through while a run
    // waits for it: a second run is not started, and refreshes wait for this run's own.
    if (running_)
        return;
    if (!groups_) {
        refreshTree();
        return;
    }
    running_ = true;
    std::vector<std::wstring> selected;
    for (const auto& group : *groups_)
        for (const auto& monitored : group->services)
            if (all || isChecked(monitored->treeItem) || listed(names, monitored->name))
                selected.push_back(monitored->name);
    try {
        for (int pass = 0; pass < passCount; ++pass)
            if (runPass(selected, start, pass == passCount - 1, names) != PassResult::failed)
                break;
    } catch (...) {
        running_ = false;
        throw;
    }
    running_ = false;
    refreshTree();
}

ControlDlg::PassResult ControlDlg::runPass(const std::vector<std::wstring>& selected, bool start, bool lastPass,
                                           service::NameList* names)
{
    bool failed = false;
    for (const std::wstring& name : selected) {
        if (controlService(name, start, lastPass, names))
            continue;
        if (lastPass)
            return PassResult::aborted;
        failed = true;
    }
    return failed ? PassResult::failed : PassResult::done;
}

bool ControlDlg::controlService(const std::wstring& name, bool start, bool lastPass, service::NameList* names)
{
    try {
        if (service::effStatus(name.c_str()) == service::statusDisabled)
            return true;
    } catch (const VServiceDoesNotExistException&) {
        return true;
    }
    for (;;) {
        try {
            service::startStopService(name.c_str(), start, nullptr, nullptr, &ControlDlg::onServiceProgress, this,
                                      names);
            return true;
        } catch (VAccessDeniedException& e) {
            // Not the user's to fix from here, and a retry would only be refused again.
            e.addContext({L"Unable to make Task Scheduler service started.", "ControlDlg::controlService", __LINE__});
            LogManager::instance().log(LOG_WARNING, e);
            return true;
        } catch (const vexception& e) {
            if (!lastPass)
                return false;
            const std::wstring caption = (start ? L"Start " : L"Stop ") + displayNameOr(name);
            switch (MessageBoxW(window(), e.fullText().c_str(), caption.c_str(), MB_ABORTRETRYIGNORE | MB_ICONERROR)) {
            case IDABORT:
                return false;
            case IDRETRY:
                break;
            default:
                return true;
            }
        }
    }
}

DWORD CALLBACK ControlDlg::onServiceProgress(int phase, const wchar_t* name, void* context)
{
    ControlDlg& dialog = *static_cast<ControlDlg*>(context);
    const std::wstring text = progressLead(phase) + displayNameOr(name) + L"...";
    const HWND status = GetDlgItem(dialog.window(), IDC_STATUS);
    SetWindowTextW(status, text.c_str());
    // The loop is blocked for the whole run: paint the line now.
    UpdateWindow(status);
    dialog.trayIcon_->updateText(text);
    return 0;
}
