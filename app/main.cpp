#include "app/ControlDlg.h"
#include "app/Program.h"
#include "app/TrayIcon.h"
#include "resource.h"
#include "panel/UserInformation.h"
#include "runtime/VSID.h"
#include "services/PanelService.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cwchar>

namespace {

// Membership in the local Administrators group, asked by name so that a translated group
// name is found too. A failing look-up is not caught: the program ends without a window.
bool currentUserIsAdministrator()
{
    const std::shared_ptr<IUserInformation> users = createUserInformation();
    const std::wstring user = VSID::findAccount(VSID::currentUser().get());
    const std::wstring group = VSID::findAccount(VSID::admins().get());
    return users->isGroupMember(group, user);
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
        SendMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
        return 0;
    }
    if (!currentUserIsAdministrator())
        return 0;

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = 0xFF; // every classic control class, the tree view among them
    InitCommonControlsEx(&controls);

    // Its destructor deletes the icon once the loop has ended.
    TrayIcon trayIcon;
    // Lives until the process ends, like its window.
    auto* dialog = new ControlDlg(&trayIcon);
    trayIcon.setDialog(dialog);
    dialog->create(IDD_CONTROL_DIALOG, nullptr);
    trayIcon.add();
    const unsigned state = queryPanelServiceState();
    trayIcon.update(state, stateWord(state));

    runMessageLoop(dialog->window());
    return 0;
}
