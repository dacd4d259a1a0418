// The real wardenlight.exe in the test prefix: its icon, the exit broadcast, the menu's Exit,
// and the silent refusal of a user whom the management service does not count among the
// administrators.
#include "app/Program.h"
#include "resource.h"
#include "runtime/Config.h"
#include "runtime/VSID.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestCatalogue.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

namespace {

// The exit code, STILL_ACTIVE when the program does not end by itself.
DWORD exitCode(const testbed::ChildTest& running)
{
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(running.process(), 30000);
    GetExitCodeProcess(running.process(), &code);
    return code;
}

// Without a system tray on the X display, Wine's shell shows each icon as a window inside its
// own tray window.
int trayIcons()
{
    int count = 0;
    for (HWND tray = nullptr; (tray = FindWindowExW(nullptr, tray, L"__winex11_standalone_tray", nullptr));)
        for (HWND icon = nullptr; (icon = FindWindowExW(tray, icon, L"__winex11_tray_icon", nullptr));)
            count += IsWindowVisible(icon) ? 1 : 0;
    return count;
}

TEST(EndToEnd, MenuExitAndTheExitBroadcastEndInstancesAndTakeTheirIconsAway)
{
    const TestCatalogue catalogue;
    const int icons = trayIcons();
    // The gtest filter that ChildTest passes means nothing to the program.
    const std::wstring program = testbed::binDir() + L"\\wardenlight.exe";
    testbed::ChildTest first(L"-", {}, program), second(L"-", {}, program);
    // Both icons come; 30 s only bound a fault, so that it fails the test instead of hanging it.
    for (const ULONGLONG deadline = GetTickCount64() + 30000; trayIcons() < icons + 2 && GetTickCount64() < deadline;)
        Sleep(50);
    ASSERT_EQ(trayIcons(), icons + 2);
    // The menu's Exit ends the instance whose dialog gets it.
    PostMessageW(FindWindowW(L"#32770", L"Tarvo Services Monitor"), WM_COMMAND, ID_MENU_EXIT, 0);
    const HANDLE both[] = {first.process(), second.process()};
    EXPECT_LT(WaitForMultipleObjects(2, both, FALSE, 30000), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(trayIcons(), icons + 1);
    SendMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
    EXPECT_EQ(exitCode(first), 0u);
    EXPECT_EQ(exitCode(second), 0u);
    EXPECT_EQ(trayIcons(), icons);
}

TEST(EndToEnd, DirectoryModeNonMemberIsRefusedSilently)
{
    testreg::ScopedValue mode(CONFIG_ROOT_KEY, L"active_directory_mode");
    mode.setDword(1);
    const std::wstring admins = VSID::findAccount(VSID::admins().get());
    testreg::ScopedValue membership(std::wstring(testbed::sandboxKey) + L"\\Groups\\" + admins,
                                    VSID::findAccount(VSID::currentUser().get()));
    membership.setDword(0);
    testbed::SandboxConsole managementService;
    const TestCatalogue catalogue;
    const int icons = trayIcons();
    const testbed::ChildTest refused(L"-", {}, testbed::binDir() + L"\\wardenlight.exe");
    EXPECT_EQ(exitCode(refused), 0u);
    EXPECT_EQ(trayIcons(), icons);
}

} // namespace
