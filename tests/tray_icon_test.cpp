// The notification-area icon, owned by the control dialog, with the shell's calls recorded.
#include "app/Program.h"
#include "resource.h"
#include "support/DialogHarness.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

namespace {

BOOL WINAPI refusingShell(DWORD, PNOTIFYICONDATAW) { return FALSE; }

TEST(TrayIconTest, PictureAndTooltipFollowTheManagementServiceAndARefusedIconIsAddedAgain)
{
    const TestCatalogue catalogue; // for the dialog's first refresh
    DialogHarness harness;
    TrayIcon tray{&harness.dialog()};
    // The last call changed picture and tooltip of the dialog's icon.
    const auto expectShown = [](UINT picture, const std::wstring& tip) {
        ASSERT_FALSE(DialogHarness::trayRecords.empty());
        const TrayRecord& last = DialogHarness::trayRecords.back();
        EXPECT_EQ(last.message, DWORD(NIM_MODIFY));
        EXPECT_EQ(last.data.hIcon, loadIcon(picture)) << "picture " << picture;
        EXPECT_EQ(last.data.szTip, tip);
    };
    harness.command(IDC_REFRESH);
    expectShown(IDI_TRAY_DISABLED, L"Tarvo - Disabled");
    ServiceJournal journal;
    {
        TestService panel(L"tarvosrv", L"Tarvo management service", journal.option());
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_STOPPED, L"Tarvo - Stopped");
        // The dialog's timer brings the icon up to date on every 101st tick while the dialog
        // is shown, and on every tick (of 101 periods) while it is hidden.
        panel.startAndWait();
        ShowWindow(harness.window(), SW_SHOWNA);
        DialogHarness::trayRecords.clear();
        for (int tick = 0; tick < 101; ++tick)
            harness.tick();
        EXPECT_EQ(DialogHarness::trayRecords.size(), 1u);
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Started");
        ShowWindow(harness.window(), SW_HIDE);
        harness.tick();
        EXPECT_EQ(DialogHarness::trayRecords.size(), 2u);
        // A progress text keeps the picture of the current state; it is never a format.
        EXPECT_TRUE(tray.updateText(L"100% %s %n..."));
        expectShown(IDI_TRAY_STARTED, L"Tarvo - 100% %s %n...");
    }
    {
        TestService panel(L"tarvosrv", L"Tarvo management service", L"--hang-start " + journal.option());
        panel.startAndWait(SERVICE_START_PENDING);
        EXPECT_TRUE(tray.refresh());
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Started");
    }

    // A refused icon is added again by the next update; long texts are cut.
    resetTrayIconAdded();
    DialogHarness::trayRecords.clear();
    trayIconApi().shellNotifyIcon = &refusingShell;
    EXPECT_FALSE(tray.update(0, L"Started")) << "nothing is changed while the icon is missing";
    trayIconApi().shellNotifyIcon = &DialogHarness::recordShellCall;
    const std::wstring text(200, L'x');
    EXPECT_TRUE(tray.update(1, text));
    ASSERT_EQ(DialogHarness::trayRecords.size(), 2u) << "add, modify";
    EXPECT_EQ(DialogHarness::trayRecords[0].data.uFlags, UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE));
    EXPECT_EQ(DialogHarness::trayRecords[0].data.uCallbackMessage, TrayIcon::callbackMessage);
    expectShown(IDI_TRAY_STOPPED, (L"Tarvo - " + text).substr(0, std::size(NOTIFYICONDATAW().szTip) - 1));
    // Windows keeps the icon of an ended program until the pointer passes over it; Wine does not.
    { const TrayIcon ending{&harness.dialog()}; }
    EXPECT_EQ(DialogHarness::trayRecords.back().message, DWORD(NIM_DELETE)) << "the icon outlives its owner";
}

} // namespace
