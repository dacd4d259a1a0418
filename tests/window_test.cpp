// The window framework with the dialog of tests/window_test.rc.
#include "app/Window.h"
#include "support/MessageBoxAnswerer.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

// Command 502 writes through a null pointer; every other command is answered 11. Other
// failures take the same guard (see guard_test.cpp).
class TestDlg : public VDlg {
public:
    LRESULT handleMessage(HWND, UINT message, WPARAM wParam, LPARAM, bool& handled) override
    {
        handled = message == WM_COMMAND;
        if (handled && wParam == 502) {
            volatile int* volatile target = nullptr;
            *target = 1;
        }
        return 11;
    }
};

TEST(Window, AFaultShowsOneErrorBoxAndTheEntryEndsWithTheWindow)
{
    TestDlg dialog;
    const HWND window = dialog.create(901, nullptr);
    MessageBoxAnswerer answerer;
    EXPECT_EQ(VDlg::DialogProc(window, WM_COMMAND, 502, 0), FALSE);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 1001, 0), 11) << "the dialog goes on";
    ASSERT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(answerer.boxes()[0].caption, L"Runtime error");
    EXPECT_EQ(answerer.boxes()[0].style, UINT(MB_ICONERROR | MB_OK));
    EXPECT_EQ(answerer.boxes()[0].owner, window);
    EXPECT_EQ(withoutLines(answerer.boxes()[0].text),
              L"C structured exception: 0xc0000005\n   at Unable to call DialogProc(273)(VDlg::DialogProc line #)");

    // WM_DESTROY ends the window's entry: nothing is routed to the object any more.
    DestroyWindow(window);
    EXPECT_EQ(VDlg::DialogProc(window, WM_COMMAND, 1001, 0), FALSE) << "the entry outlived its window";
}
