// The control dialog and its popup menu as the program's resources make them, driven with
// the messages that the user, the shell and other instances send.
#include "app/Program.h"
#include "app/ControlDlg.h"

#include "resource.h"
#include "services/Service.h"
#include "support/DialogHarness.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::wstring>;

std::wstring windowText(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

class ControlDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(catalogue_.foreignPackages(), Strings{}) << "packages of another test are left over";
        catalogue_.package(L"ctl_" + std::to_wstring(GetCurrentProcessId()), L"core");
    }

    // Runs the WM_COMMANDs queued for the dialog and returns their ids.
    static std::vector<WPARAM> runQueuedCommands(DialogHarness& harness)
    {
        std::vector<WPARAM> ids;
        MSG message;
        while (PeekMessageW(&message, harness.window(), WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
            ids.push_back(message.wParam);
            DispatchMessageW(&message);
        }
        return ids;
    }

    // The exit code of a queued WM_QUIT, or -1.
    static long long takeQuit()
    {
        MSG message;
        return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? static_cast<long long>(message.wParam)
                                                                             : -1;
    }

    TestCatalogue catalogue_;
};

TEST_F(ControlDialog, StartsHiddenWithItsControlsIconsAndTimer)
{
    DialogHarness harness;
    const HWND window = harness.window();
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(windowText(window), L"Tarvo Services Monitor");
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_EQ(windowText(GetDlgItem(window, IDC_STATUS)), L"");
    EXPECT_TRUE(GetWindowLongW(harness.tree(), GWL_STYLE) & TVS_CHECKBOXES);
    EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageW(harness.tree(), TVM_GETIMAGELIST, TVSIL_NORMAL, 0)),
              harness.dialog().imageList());
    EXPECT_TRUE(KillTimer(window, ControlDlg::timerId));

    // Tab goes through the controls in the designed order.
    Strings order;
    const HWND first = GetNextDlgTabItem(window, nullptr, FALSE);
    for (HWND item = first; item && order.size() < 20;) {
        order.push_back(std::to_wstring(GetDlgCtrlID(item)) + L" " + windowText(item));
        if ((item = GetNextDlgTabItem(window, item, FALSE)) == first)
            break;
    }
    EXPECT_EQ(order, (Strings{L"1007 ", L"1001 Select All", L"1002 Clear All", L"1010 Start", L"1009 Stop",
                              L"1008 Restart", L"1011 Refresh", L"1015 Delete Sessions", L"1006 Hide",
                              L"1016 Start Tarvo website", L"1017 Stop Tarvo website"}));

    // The first refresh went to the tray icon: added, then its state shown.
    const auto& records = DialogHarness::trayRecords();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].message, DWORD(NIM_ADD));
    EXPECT_EQ(records[1].message, DWORD(NIM_MODIFY));
    EXPECT_EQ(records[1].window, window);
    EXPECT_EQ(records[1].id, 1u);
}

TEST_F(ControlDialog, EnterEscapeCloseAndHideNeverEndTheDialog)
{
    DialogHarness harness;
    ShowWindow(harness.window(), SW_SHOWNORMAL);
    SetFocus(harness.tree());
    for (const WPARAM key : {VK_RETURN, VK_ESCAPE}) {
        PostMessageW(harness.tree(), WM_KEYDOWN, key, 0);
        PostMessageW(harness.tree(), WM_KEYUP, key, 0xC0000001);
        EXPECT_FALSE(harness.pump());
        EXPECT_TRUE(IsWindowVisible(harness.window())) << "key " << key;
    }
    harness.command(IDOK);
    harness.command(IDCANCEL);
    // A command's notification code must be 0: a button that merely gets the focus does nothing.
    SendMessageW(harness.window(), WM_COMMAND, MAKEWPARAM(IDC_HIDE, BN_SETFOCUS), 0);
    EXPECT_TRUE(IsWindowVisible(harness.window()));
    harness.command(IDC_HIDE);
    EXPECT_FALSE(IsWindowVisible(harness.window()));

    ShowWindow(harness.window(), SW_SHOWNORMAL);
    SendMessageW(harness.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_FALSE(harness.pump());
    EXPECT_TRUE(KillTimer(harness.window(), ControlDlg::timerId)) << "the dialog still lives";
}

TEST_F(ControlDialog, LeftClickShowsAndRefreshesOnceDoubleClickMessageDoesNothing)
{
    DialogHarness harness;
    SetDlgItemTextW(harness.window(), IDC_STATUS, L"busy");
    for (const UINT mouse : {WM_LBUTTONDBLCLK, WM_MOUSEMOVE, WM_LBUTTONDOWN})
        harness.trayCallback(mouse);
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_EQ(runQueuedCommands(harness), std::vector<WPARAM>{});

    harness.trayCallback(WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(harness.window()));
    // The refresh is posted, not run at once.
    EXPECT_EQ(windowText(GetDlgItem(harness.window(), IDC_STATUS)), L"busy");
    EXPECT_EQ(runQueuedCommands(harness), std::vector<WPARAM>{IDC_REFRESH});
    EXPECT_EQ(windowText(GetDlgItem(harness.window(), IDC_STATUS)), L"");

    // The menu's "Control panel" does the same.
    harness.command(IDC_HIDE);
    harness.command(ID_MENU_CONTROL_PANEL);
    EXPECT_TRUE(IsWindowVisible(harness.window()));
    EXPECT_EQ(runQueuedCommands(harness), std::vector<WPARAM>{IDC_REFRESH});
}

// While the popup menu is open: notes its items and default item, and closes it with Escape.
struct MenuWatch {
    static LRESULT CALLBACK hook(int code, WPARAM wParam, LPARAM lParam)
    {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && call->message == WM_INITMENUPOPUP) {
            const auto menu = reinterpret_cast<HMENU>(call->wParam);
            defaultItem = GetMenuDefaultItem(menu, FALSE, 0);
            defaultState = GetMenuState(menu, ID_MENU_CONTROL_PANEL, MF_BYCOMMAND);
            items.clear();
            for (int index = 0; index < GetMenuItemCount(menu); ++index) {
                wchar_t text[64] = {};
                GetMenuStringW(menu, static_cast<UINT>(index), text, 64, MF_BYPOSITION);
                const UINT id = GetMenuItemID(menu, index);
                items.push_back(id == 0 ? L"-" : std::wstring(text) + L" " + std::to_wstring(id));
            }
            owner = call->hwnd;
            PostMessageW(call->hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline UINT defaultItem = 0, defaultState = 0;
    static inline Strings items;
    static inline HWND owner = nullptr;
};

TEST_F(ControlDialog, RightClickOpensTheMenuAndEscapeClosesItWithoutACommand)
{
    DialogHarness harness;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &MenuWatch::hook, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    harness.trayCallback(WM_RBUTTONUP); // returns once the menu is closed
    UnhookWindowsHookEx(hook);

    EXPECT_EQ(MenuWatch::items, (Strings{L"Start 32776", L"Stop 32777", L"Restart 32778", L"Start Tarvo website 1016",
                                         L"Stop Tarvo website 1017", L"Delete Sessions 1015", L"-",
                                         L"Control panel 32775", L"Exit 32780"}));
    EXPECT_EQ(MenuWatch::owner, harness.window());
    EXPECT_EQ(MenuWatch::defaultItem, UINT(ID_MENU_CONTROL_PANEL));
    EXPECT_TRUE(MenuWatch::defaultState & MFS_DEFAULT);
    EXPECT_EQ(runQueuedCommands(harness), std::vector<WPARAM>{});
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_EQ(takeQuit(), -1);
}

TEST_F(ControlDialog, ExitMessageAndMenuExitEndTheLoopAndTaskbarCreatedRestoresTheIcon)
{
    DialogHarness harness;
    SendMessageW(harness.window(), exitMessage(), 0, 0);
    EXPECT_EQ(takeQuit(), 0);
    harness.command(ID_MENU_EXIT);
    EXPECT_EQ(takeQuit(), 0);
    EXPECT_TRUE(IsWindow(harness.window()));

    DialogHarness::clearTrayRecords();
    SendMessageW(harness.window(), TrayIcon::taskbarCreatedMessage(), 0, 0);
    const auto& records = DialogHarness::trayRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, DWORD(NIM_ADD));
    EXPECT_EQ(records[0].window, harness.window());
    EXPECT_EQ(records[1].message, DWORD(NIM_MODIFY));
}

TEST_F(ControlDialog, TooltipFollowsTheManagementServiceWithin101Ticks)
{
    if (service::exist(L"tarvosrv"))
        GTEST_SKIP() << "a service tarvosrv is installed already";
    TestService tarvosrv(L"tarvosrv", L"Tarvo management stand-in", L"");
    DialogHarness harness;
    KillTimer(harness.window(), ControlDlg::timerId);
    ASSERT_FALSE(DialogHarness::tips().empty());
    EXPECT_EQ(DialogHarness::tips().back(), L"Tarvo - Stopped");

    tarvosrv.startAndWait();
    DialogHarness::clearTrayRecords();
    for (int tick = 0; tick < 101; ++tick)
        harness.tick();
    EXPECT_EQ(DialogHarness::tips(), Strings{L"Tarvo - Started"});

    // A refresh shows the state at once.
    tarvosrv.stopAndWait();
    DialogHarness::clearTrayRecords();
    harness.command(IDC_REFRESH);
    EXPECT_EQ(DialogHarness::tips(), Strings{L"Tarvo - Stopped"});
}

} // namespace
