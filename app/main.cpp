#include "app/ControlDlg.h"
#include "app/Program.h"
#include "app/TrayIcon.h"
#include "resource.h"
#include "panel/UserInformation.h"
#include "runtime/Guard.h"
#include "runtime/Handle.h"
#include "runtime/LogManager.h"
#include "runtime/VSID.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

// Hung windows must not keep "exit" from returning.
constexpr UINT exitBroadcastTimeoutMs = 5000;
// How long "exit" waits for the instances to end, so that an uninstaller can remove the file.
constexpr DWORD instancesEndTimeoutMs = 10000;

BOOL CALLBACK collectInstance(HWND window, LPARAM context)
{
    // Every instance owns one dialog with the program's caption, and the hidden window of its
    // icon from before the dialog on.
    wchar_t className[32] = {};
    wchar_t caption[64] = {};
    GetClassNameW(window, className, static_cast<int>(sizeof(className) / sizeof(className[0])));
    GetWindowTextW(window, caption, static_cast<int>(sizeof(caption) / sizeof(caption[0])));
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const bool dialog = std::wcscmp(className, L"#32770") == 0 && std::wcscmp(caption, L"Tarvo Services Monitor") == 0;
    if ((dialog || std::wcscmp(className, VWnd::hiddenWindowClass) == 0) && processId != GetCurrentProcessId()) {
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (process)
            reinterpret_cast<std::vector<UniqueHandle>*>(context)->push_back(std::move(process));
    }
    return TRUE;
}

// Asks every running instance to quit and waits until they have ended.
void endRunningInstances()
{
    std::vector<UniqueHandle> instances;
    EnumWindows(&collectInstance, reinterpret_cast<LPARAM>(&instances));
    SendMessageTimeoutW(HWND_BROADCAST, exitMessage(), 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, exitBroadcastTimeoutMs,
                        nullptr);
    const DWORD start = GetTickCount();
    for (const UniqueHandle& instance : instances) {
        const DWORD elapsed = GetTickCount() - start;
        WaitForSingleObject(instance.get(), elapsed < instancesEndTimeoutMs ? instancesEndTimeoutMs - elapsed : 0);
    }
}

// Membership in the local Administrators group, asked by name so that a translated group
// name is found too. A token in which the group is enabled can only be a member's: the
// account lookups, which load the security packages, are left to the other tokens (a
// member's filtered one, say) and to the directory mode, whose answer is the directory's.
bool currentUserIsAdministrator()
{
    return guarded(
        {"currentUserIsAdministrator", __LINE__},
        [] {
            BOOL enabled = FALSE;
            if (!isActiveDirectoryMode() && CheckTokenMembership(nullptr, VSID::admins().get(), &enabled) && enabled)
                return true;
            const std::shared_ptr<IUserInformation> users = createUserInformation();
            const std::wstring user = VSID::findAccount(VSID::currentUser().get());
            const std::wstring group = VSID::findAccount(VSID::admins().get());
            return users->isGroupMember(group, user);
        },
        L"Unable to check the membership of the current user in Administrators");
}

void createControlDialog(ControlDlg& dialog)
{
    if (!dialog.create(IDD_CONTROL_DIALOG, nullptr))
        WL_THROW_LAST_ERROR(L"CreateDialogParam");
}

// A start-up failure leaves no icon to show it by: it is logged and put to the user once.
int failStart(const vexception& error)
{
    LogManager::instance().log(LOG_ERROR, error);
    guard::report(nullptr, error);
    return 1;
}

// Every message goes to the dialog first, hidden or not, so that its keyboard interface works.
void runMessageLoop(HWND dialog)
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        if (IsDialogMessageW(dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (__argc > 1 && std::wcscmp(__wargv[1], L"exit") == 0) {
        endRunningInstances();
        return 0;
    }
    try {
        // A user who cannot be checked is not let in.
        if (!currentUserIsAdministrator())
            return 0;
    } catch (const vexception& error) {
        return failStart(error);
    }

    // The icon first, before anything it does not need; its destructor deletes it once the
    // loop has ended.
    TrayIcon trayIcon;
    trayIcon.add();

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = 0xFF; // every classic control class, the tree view among them
    InitCommonControlsEx(&controls);

    // Lives until the process ends, like its window.
    auto* dialog = new ControlDlg(&trayIcon);
    trayIcon.setDialog(dialog);
    try {
        // Has the workers bring the icon up to date and fill the tree.
        createControlDialog(*dialog);
    } catch (const vexception& error) {
        return failStart(error);
    }

    runMessageLoop(dialog->window());
    if (!dialog->endCommands(ControlDlg::commandEndTimeoutMs)) {
        // A wait that no cancellation reaches (a database exchange, say) must not keep the
        // program: the process ends around it, without its icon.
        LogManager::instance().log(LOG_WARNING, L"A command was still running when the program ended");
        LogManager::instance().flush();
        trayIcon.remove();
        ExitProcess(0);
    }
    return 0;
}
