// The control dialog as the program's resources make it, driven with the messages that the
// user, the shell and other instances send.
#include "app/Program.h"
#include "resource.h"
#include "support/DialogHarness.h"
#include "support/TestCatalogue.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(ControlDialog, AnswersTheUserTheShellAndOtherInstances)
{
    const TestCatalogue catalogue; // for the refreshes
    DialogHarness harness;
    // A command's notification code must be 0; a left click on the icon (whose window hands it to
    // the dialog) shows the dialog and posts a Refresh, as the menu's "Control panel" does.
    // message, wParam, lParam; then whether the dialog is shown, a Refresh posted, the loop ended.
    const std::tuple<UINT, WPARAM, LPARAM, bool, bool, bool> steps[] = {
        {TrayIcon::callbackMessage, 0, WM_LBUTTONDBLCLK, false, false, false},
        {TrayIcon::callbackMessage, 0, WM_LBUTTONUP, true, true, false},
        {WM_COMMAND, MAKEWPARAM(IDC_HIDE, BN_SETFOCUS), 0, true, false, false},
        {WM_COMMAND, IDC_HIDE, 0, false, false, false}, {WM_COMMAND, ID_MENU_CONTROL_PANEL, 0, true, true, false},
        {WM_CLOSE, 0, 0, false, false, false}, {exitMessage(), 0, 0, false, false, true}};
    for (const auto& [message, wParam, lParam, shown, refreshPosted, quit] : steps) {
        SCOPED_TRACE(std::to_string(message) + " " + std::to_string(wParam) + " " + std::to_string(lParam));
        SendMessageW(message == TrayIcon::callbackMessage ? harness.iconWindow() : harness.window(), message, wParam,
                     lParam);
        EXPECT_EQ(IsWindowVisible(harness.window()) != FALSE, shown);
        MSG queued = {};
        PeekMessageW(&queued, harness.window(), WM_COMMAND, WM_COMMAND, PM_REMOVE);
        EXPECT_EQ(queued.wParam == IDC_REFRESH, refreshPosted);
        // The quit message comes only after everything else posted.
        while (PeekMessageW(&queued, nullptr, 0, 0, PM_REMOVE | PM_QS_POSTMESSAGE) && queued.message != WM_QUIT)
            DispatchMessageW(&queued);
        EXPECT_EQ(queued.message == WM_QUIT, quit);
    }

    // A restarted shell has lost the icon: it is added again to its window and brought up to date.
    DialogHarness::trayRecords.clear();
    harness.send(TrayIcon::taskbarCreatedMessage());
    ASSERT_EQ(DialogHarness::trayRecords.size(), 2u);
    EXPECT_EQ(DialogHarness::trayRecords[0].message, DWORD(NIM_ADD));
    EXPECT_EQ(DialogHarness::trayRecords[0].data.hWnd, harness.iconWindow());
}

} // namespace
