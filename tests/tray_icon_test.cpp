// The notification-area icon, whose window hands its callbacks to the control dialog, with the
// shell's calls recorded.
#include "app/Program.h"
#include "resource.h"
#include "runtime/Config.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/RegistryValues.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>

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
    // Without the management service there is nothing to watch: the timer asks for its state on
    // every 101st tick while the dialog is shown, and on every tick (of 101 periods) while hidden.
    ShowWindow(harness.window(), SW_SHOWNA);
    DialogHarness::trayRecords.clear();
    for (int tick = 0; tick < 101; ++tick)
        harness.tick();
    EXPECT_EQ(DialogHarness::trayRecords.size(), 1u);
    ShowWindow(harness.window(), SW_HIDE);
    ServiceJournal journal;
    {
        // Installed, it is asked once more and watched from then on: changes need no tick, and
        // a start pending counts as started.
        TestService panel(L"tarvosrv", L"Tarvo management service", L"--hang-start " + journal.option());
        harness.tick();
        expectShown(IDI_TRAY_STOPPED, L"Tarvo - Stopped");
        const auto shows = [&](const std::wstring& tip) {
            return harness.runUntil([&] { return DialogHarness::trayRecords.back().data.szTip == tip; });
        };
        panel.startAndWait(SERVICE_START_PENDING);
        EXPECT_TRUE(shows(L"Tarvo - Started"));
        expectShown(IDI_TRAY_STARTED, L"Tarvo - Started");
        DialogHarness::trayRecords.clear();
        harness.tick();
        EXPECT_EQ(DialogHarness::trayRecords.size(), 0u) << "a watched service is not asked";
        // A progress text keeps the picture of the current state; it is never a format.
        EXPECT_TRUE(tray.updateText(L"100% %s %n..."));
        expectShown(IDI_TRAY_STARTED, L"Tarvo - 100% %s %n...");
        panel.stop();
        EXPECT_TRUE(shows(L"Tarvo - Stopped")) << "stopped from outside";
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

// The icon comes before the dialog: an "exit" in between must still end the program, and a click
// then has nothing to reach.
TEST(TrayIconTest, BeforeItsDialogTheIconsWindowAnswersTheExitMessageAndDropsClicks)
{
    const TrayIcon tray;
    SendMessageW(tray.window(), TrayIcon::callbackMessage, 0, WM_LBUTTONUP);
    SendMessageW(tray.window(), exitMessage(), 0, 0);
    MSG queued = {};
    while (PeekMessageW(&queued, nullptr, 0, 0, PM_REMOVE) && queued.message != WM_QUIT)
        DispatchMessageW(&queued);
    EXPECT_EQ(queued.message, UINT(WM_QUIT)) << "the exit message does not end the loop";
}

// Listed services that run automatically and stop without this program asking: one stopped from
// outside, one that crashes with an exit code. Each is told once, in a balloon and a warning, and
// its image follows; no balloon for a stop of our own Stop, nor while the switch is off. A click on
// the balloon opens the dialog.
TEST(TrayIconTest, AServiceThatStopsOnItsOwnIsToldInABalloonAndAWarning)
{
    TestCatalogue catalogue;
    const std::wstring package = testbed::uniqueName(L"balloon");
    catalogue.package(package, L"core");
    ServiceJournal journal;
    TestService steady(testServiceName(L"Steady"), L"Steady", journal.option(), {}, SERVICE_AUTO_START);
    TestService crashing(testServiceName(L"Crash"), L"Crashing", L"--fail-start 1064 --crash-after 1000 " +
                         journal.option(), {}, SERVICE_AUTO_START);
    for (const TestService* svc : {&steady, &crashing})
        catalogue.service(package, L"core", svc->name(), L"Tarvo Run-Time");
    steady.startAndWait();
    testreg::ScopedValue balloons(CONFIG_ROOT_KEY, L"ServiceStopBalloons");
    LogCapture log;
    DialogHarness harness;
    // The nodes of "Tarvo Run-Time": Crashing, then Steady, each with its image.
    const auto shows = [&](const std::wstring& node) {
        const std::vector<std::wstring> paths = harness.paths(true);
        return std::find(paths.begin(), paths.end(), L"Tarvo Run-Time/" + node) != paths.end();
    };
    const auto told = [&](const std::wstring& what) { // the balloons and warnings that tell what
        size_t count = 0;
        for (const TrayRecord& record : DialogHarness::trayRecords)
            count += (record.data.uFlags & NIF_INFO) && std::wstring(record.data.szInfo).find(what) != std::wstring::npos;
        for (const auto& [level, text] : log.messages)
            count += level == LOG_WARNING && text.find(what) != std::wstring::npos;
        return count;
    };
    EXPECT_TRUE(steady.stop());
    EXPECT_TRUE(harness.runUntil([&] { return shows(L"Steady 1") && told(L"Steady stopped unexpectedly at ") == 2; }));
    crashing.startAndWait();
    EXPECT_TRUE(harness.runUntil([&] { return told(L"Crashing failed with exit code 1064 at ") == 2; }));
    EXPECT_TRUE(shows(L"Crashing 1"));
    balloons.setDword(0);
    crashing.startAndWait();
    EXPECT_TRUE(harness.runUntil([&] { return shows(L"Crashing 0"); }) && harness.runUntil([&] { return shows(L"Crashing 1"); }));
    EXPECT_EQ(told(L"Crashing failed"), 2u) << "switched off";
    balloons.remove();
    steady.startAndWait();
    const size_t before = told(L"Steady stopped"); // a balloon may have told it with the crash
    TreeView_SetCheckState(harness.tree(), harness.dialog().groups()[0]->services[1]->treeItem, TRUE);
    harness.command(IDC_STOP);
    harness.runUntil([] { return false; }, 1000); // a notification late for the run would come meanwhile
    EXPECT_EQ(told(L"Steady stopped"), before) << "stopped by our own Stop";

    harness.send(TrayIcon::callbackMessage, 0, NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(IsWindowVisible(harness.window()));
}

} // namespace
