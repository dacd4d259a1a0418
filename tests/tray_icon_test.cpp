#include "app/Program.h"
#include "app/TrayIcon.h"
#include "services/PanelService.h"
#include "app/Window.h"
#include "resource.h"
#include "services/Service.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// What the program asked of the shell; the real shell gets the calls too when forwarding.
struct ShellLog {
    struct Call {
        DWORD message;
        NOTIFYICONDATAW data;
    };
    static inline std::vector<Call> calls;
    static inline bool refuseAdd = false;
    static inline bool forward = false;

    static BOOL WINAPI notify(DWORD message, PNOTIFYICONDATAW data)
    {
        calls.push_back({message, *data});
        if (message == NIM_ADD && refuseAdd)
            return FALSE;
        return forward ? Shell_NotifyIconW(message, data) : TRUE;
    }

    static std::vector<DWORD> messages()
    {
        std::vector<DWORD> result;
        for (const Call& call : calls)
            result.push_back(call.message);
        return result;
    }
    static const NOTIFYICONDATAW& last() { return calls.back().data; }
};

// The dialog that owns the icon: records the icon's callbacks and answers the shell's
// "TaskbarCreated" the way the program's dialog does.
class OwnerDlg : public VDlg {
public:
    LRESULT handleMessage(HWND, UINT message, WPARAM, LPARAM lParam, bool& handled) override
    {
        handled = message == TrayIcon::callbackMessage || message == TrayIcon::taskbarCreatedMessage();
        if (message == TrayIcon::callbackMessage)
            callbacks.push_back(static_cast<UINT>(lParam));
        else if (handled)
            tray->restore();
        return 0;
    }

    TrayIcon* tray = nullptr;
    std::vector<UINT> callbacks;
};

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ShellLog::calls.clear();
        ShellLog::refuseAdd = ShellLog::forward = false;
        trayIconApi().shellNotifyIcon = &ShellLog::notify;
        resetTrayIconAdded();
        // A hidden dialog from an in-memory template (no caption text, no controls).
        alignas(DWORD) WORD buffer[16] = {};
        auto* layout = reinterpret_cast<DLGTEMPLATE*>(buffer);
        layout->style = WS_POPUP | WS_CAPTION;
        ASSERT_NE(nullptr, CreateDialogIndirectParamW(GetModuleHandleW(nullptr), layout, nullptr, &VDlg::DialogProc,
                                                      reinterpret_cast<LPARAM>(&owner)));
        owner.tray = &tray;
    }

    void TearDown() override
    {
        tray.setDialog(nullptr);
        DestroyWindow(owner.window());
        trayIconApi() = platformTrayIconApi();
    }

    void expectShown(UINT icon, const std::wstring& tip)
    {
        ASSERT_FALSE(ShellLog::calls.empty());
        const NOTIFYICONDATAW& data = ShellLog::last();
        EXPECT_EQ(static_cast<DWORD>(NIM_MODIFY), ShellLog::calls.back().message);
        EXPECT_EQ(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon)), data.hIcon) << "icon " << icon;
        EXPECT_EQ(tip, data.szTip);
        EXPECT_EQ(static_cast<UINT>(NIF_ICON | NIF_TIP), data.uFlags);
        EXPECT_EQ(owner.window(), data.hWnd);
        EXPECT_EQ(1u, data.uID);
    }

    OwnerDlg owner;
    TrayIcon tray{&owner};
};

TEST_F(TrayIconTest, PictureAndTooltipFollowTheManagementService)
{
    ASSERT_FALSE(service::exist(L"tarvosrv")) << "the test prefix must not have tarvosrv yet";
    EXPECT_EQ(2u, queryPanelServiceState());
    EXPECT_TRUE(tray.refresh());
    expectShown(IDI_TRAY_DISABLED, L"Tarvo - Disabled");

    ServiceJournal journal;
    {
        TestService panel(L"tarvosrv", L"Tarvo management service", journal.option());
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_STOPPED, L"Tarvo - Stopped");

        panel.startAndWait();
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Started");

        // A progress text keeps the picture of the current state.
        EXPECT_TRUE(tray.updateText(L"Stopping tarvosrv..."));
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Stopping tarvosrv...");
    }
    {
        TestService panel(L"tarvosrv", L"Tarvo management service", L"--hang-start " + journal.option());
        panel.startAndWait(SERVICE_START_PENDING);
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Started");
    }
    {
        TestService panel(L"tarvosrv", L"Tarvo management service", journal.option(), {}, SERVICE_DISABLED);
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_DISABLED, L"Tarvo - Disabled");
    }
}

TEST_F(TrayIconTest, AddsOnceTriesAgainAfterARefusalAndLeavesWithItsObject)
{
    ShellLog::refuseAdd = true;
    EXPECT_FALSE(tray.add());
    EXPECT_FALSE(tray.update(0, L"Started")) << "nothing is modified while the icon is missing";
    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_ADD}), ShellLog::messages());

    ShellLog::refuseAdd = false;
    ShellLog::calls.clear();
    EXPECT_TRUE(tray.update(1, L"Stopped"));
    ASSERT_EQ((std::vector<DWORD>{NIM_ADD, NIM_MODIFY}), ShellLog::messages());
    const NOTIFYICONDATAW& added = ShellLog::calls[0].data;
    EXPECT_EQ(owner.window(), added.hWnd);
    EXPECT_EQ(1u, added.uID);
    EXPECT_EQ(UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE), added.uFlags);
    EXPECT_EQ(UINT(WM_USER + 1), added.uCallbackMessage);
    expectShown(IDI_TRAY_STOPPED, L"Tarvo - Stopped");

    ShellLog::calls.clear();
    EXPECT_TRUE(tray.add());
    EXPECT_TRUE(ShellLog::calls.empty()) << "a second add adds nothing";

    { TrayIcon unbound; }
    EXPECT_TRUE(ShellLog::calls.empty()) << "no dialog, no icon to delete";
    { TrayIcon bound(&owner); }
    ASSERT_EQ(std::vector<DWORD>{NIM_DELETE}, ShellLog::messages());
    EXPECT_EQ(owner.window(), ShellLog::last().hWnd);
    EXPECT_EQ(1u, ShellLog::last().uID);
}

TEST_F(TrayIconTest, LongTextsAreCutAtTheTooltipField)
{
    const std::wstring text(200, L'x');
    EXPECT_TRUE(tray.update(2, text));
    const std::wstring tip = ShellLog::last().szTip;
    EXPECT_EQ(std::size(ShellLog::last().szTip) - 1, tip.size());
    EXPECT_EQ((L"Tarvo - " + text).substr(0, tip.size()), tip);
    // The text is an argument, never a format.
    EXPECT_TRUE(tray.update(0, L"100% %s %n"));
    EXPECT_EQ(std::wstring(L"Tarvo - 100% %s %n"), ShellLog::last().szTip);
}

TEST(TrayIconHelpers, ExitMessageIsRegisteredOnceAndMissingStringsAreEmpty)
{
    const UINT message = exitMessage();
    EXPECT_GE(message, 0xC000u);
    EXPECT_EQ(message, exitMessage());
    EXPECT_EQ(message, RegisterWindowMessageW(L"TarvoTrayIconExitMsg"));
    EXPECT_EQ(L"", loadResourceString(104));
}

// Wine without a system tray shows the icons as child windows of its own tray window.
std::vector<HWND> trayIconWindows()
{
    std::vector<HWND> windows;
    for (HWND tray = FindWindowExW(nullptr, nullptr, L"__winex11_standalone_tray", nullptr); tray;
         tray = FindWindowExW(nullptr, tray, L"__winex11_standalone_tray", nullptr)) {
        for (HWND icon = GetWindow(tray, GW_CHILD); icon; icon = GetWindow(icon, GW_HWNDNEXT))
            windows.push_back(icon);
    }
    return windows;
}

// The icon windows that were not there before.
std::vector<HWND> newIcons(const std::vector<HWND>& before)
{
    std::vector<HWND> added;
    for (HWND window : trayIconWindows())
        if (std::find(before.begin(), before.end(), window) == before.end())
            added.push_back(window);
    return added;
}

// Serves this thread's messages until done() or ten seconds have passed.
template <typename Done>
bool pumpUntil(Done done)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!done() && GetTickCount64() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return done();
}

TEST_F(TrayIconTest, TheShellShowsTheIconPassesClicksAndGetsItBackAfterARestart)
{
    ShellLog::forward = true;
    const std::vector<HWND> before = trayIconWindows();
    ASSERT_TRUE(tray.add());
    ASSERT_EQ(1u, newIcons(before).size()) << "no icon in Wine's tray window";
    const HWND icon = newIcons(before)[0];
    EXPECT_TRUE(tray.refresh());

    for (const UINT click : {WM_LBUTTONUP, WM_RBUTTONUP}) {
        owner.callbacks.clear();
        PostMessageW(icon, click, 0, MAKELPARAM(4, 4));
        EXPECT_TRUE(pumpUntil([&] {
            return std::find(owner.callbacks.begin(), owner.callbacks.end(), click) != owner.callbacks.end();
        })) << click;
    }

    // A restarted shell has lost the icon; the flag alone would keep it away for good.
    NOTIFYICONDATAW gone = {};
    gone.cbSize = sizeof(gone);
    gone.hWnd = owner.window();
    gone.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
    ASSERT_TRUE(newIcons(before).empty());
    EXPECT_FALSE(tray.refresh());

    ShellLog::calls.clear();
    SendMessageW(owner.window(), TrayIcon::taskbarCreatedMessage(), 0, 0);
    EXPECT_EQ(1u, newIcons(before).size()) << "the icon did not come back";
    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_MODIFY}), ShellLog::messages());
    EXPECT_EQ(L"Tarvo - " + stateWord(queryPanelServiceState()), std::wstring(ShellLog::last().szTip));

    // Announced while the icon is still there, the restart only refreshes it.
    EXPECT_TRUE(tray.restore());
    EXPECT_EQ(1u, newIcons(before).size());
    { TrayIcon last(&owner); }
    EXPECT_TRUE(newIcons(before).empty()) << "the icon outlived its object";
}

} // namespace
