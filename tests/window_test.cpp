#include "app/Window.h"
#include "runtime/Exception.h"
#include "support/MessageBoxAnswerer.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr UINT kTestDialog = 901; // tests/window_test.rc

// An object whose answers the test scripts; records every message it is offered.
class ScriptedDlg : public VDlg {
public:
    using Script = std::function<LRESULT(UINT message, WPARAM wParam, bool& handled)>;

    explicit ScriptedDlg(Script script = nullptr) : script_(std::move(script)) {}

    LRESULT handleMessage(HWND, UINT message, WPARAM wParam, LPARAM, bool& handled) override
    {
        seen.push_back(message);
        if (!script_) {
            handled = false;
            return 0;
        }
        return script_(message, wParam, handled);
    }

    bool saw(UINT message) const { return std::find(seen.begin(), seen.end(), message) != seen.end(); }

    std::vector<UINT> seen;

private:
    Script script_;
};

// A plain child-less window that no object knows about.
HWND plainWindow()
{
    return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

// The dialog of tests/window_test.rc made through VDlg::create; destroyed with the fixture.
class DialogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (IsWindow(dialog.window()))
            DestroyWindow(dialog.window());
    }

    HWND create()
    {
        const HWND window = dialog.create(kTestDialog, nullptr);
        EXPECT_NE(nullptr, window) << GetLastError();
        return window;
    }

    ScriptedDlg dialog{[this](UINT message, WPARAM wParam, bool& handled) { return script(message, wParam, handled); }};
    ScriptedDlg::Script script = [](UINT, WPARAM, bool& handled) -> LRESULT {
        handled = false;
        return 0;
    };
};

const std::wregex lastLineIsDialogProc(L"[^]*\n   at Unable to call DialogProc\\(273\\)\\(VDlg::DialogProc line [0-9]+\\)");

TEST_F(DialogTest, CreateAttachesAndRegistersAtInitDialog)
{
    const HWND window = create();
    EXPECT_EQ(window, dialog.window());
    EXPECT_TRUE(dialog.owned());
    ASSERT_FALSE(dialog.seen.empty());
    // WM_SETFONT came first, before the object was registered.
    EXPECT_EQ(static_cast<UINT>(WM_INITDIALOG), dialog.seen.front());
    EXPECT_FALSE(dialog.saw(WM_SETFONT));

    dialog.seen.clear();
    SendMessageW(window, WM_COMMAND, 1001, 0);
    EXPECT_TRUE(dialog.saw(WM_COMMAND));
}

TEST(WindowRegistry, WindowWithoutObjectsIsNotHandled)
{
    const HWND window = plainWindow();
    SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
    EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_COMMAND, 1, 0));

    bool handled = true;
    EXPECT_EQ(0, routeMessage(window, WM_COMMAND, 1, 0, handled));
    EXPECT_FALSE(handled);
    DestroyWindow(window);
}

TEST(WindowRegistry, LaterObjectsSeeOnlyWhatEarlierOnesLeave)
{
    const HWND window = plainWindow();
    ScriptedDlg first([](UINT message, WPARAM, bool& handled) -> LRESULT {
        handled = message == WM_USER;
        return 5;
    });
    ScriptedDlg second([](UINT, WPARAM, bool&) -> LRESULT { return 7; });
    registerWindow(window, &first);
    registerWindow(window, &second);

    bool handled = false;
    EXPECT_EQ(5, routeMessage(window, WM_USER, 0, 0, handled));
    EXPECT_TRUE(handled);
    EXPECT_TRUE(second.seen.empty());

    EXPECT_EQ(7, routeMessage(window, WM_USER + 1, 0, 0, handled));
    EXPECT_TRUE(handled);
    EXPECT_EQ(std::vector<UINT>{WM_USER + 1}, second.seen);

    // At the front, an object is asked before the others.
    ScriptedDlg front([](UINT, WPARAM, bool&) -> LRESULT { return 9; });
    registerWindow(window, &front, true);
    EXPECT_EQ(9, routeMessage(window, WM_USER, 0, 0, handled));
    EXPECT_EQ(2u, first.seen.size());

    unregisterWindow(&front);
    unregisterWindow(&first);
    unregisterWindow(&second);
    DestroyWindow(window);
}

TEST(WindowRegistry, RegistrationDuringAWalkCountsFromTheNextMessage)
{
    const HWND window = plainWindow();
    ScriptedDlg late([](UINT, WPARAM, bool&) -> LRESULT { return 3; });
    ScriptedDlg registrar([&](UINT, WPARAM, bool& handled) -> LRESULT {
        for (int i = 0; i < 64; ++i) // enough to make the list reallocate under a live walk
            registerWindow(window, &late, true);
        handled = false;
        return 0;
    });
    ScriptedDlg last([](UINT, WPARAM, bool&) -> LRESULT { return 4; });
    registerWindow(window, &registrar);
    registerWindow(window, &last);

    bool handled = false;
    EXPECT_EQ(4, routeMessage(window, WM_USER, 0, 0, handled));
    EXPECT_TRUE(late.seen.empty());
    EXPECT_EQ(3, routeMessage(window, WM_USER, 0, 0, handled));

    unregisterWindow(&late);
    unregisterWindow(&registrar);
    unregisterWindow(&last);
    DestroyWindow(window);
}

TEST(WindowRegistry, ObjectsLeaveWithTheirDestructor)
{
    const HWND window = plainWindow();
    {
        ScriptedDlg temporary([](UINT, WPARAM, bool&) -> LRESULT { return 1; });
        registerWindow(window, &temporary);
        registerWindow(window, &temporary);
    }
    bool handled = true;
    EXPECT_EQ(0, routeMessage(window, WM_USER, 0, 0, handled));
    EXPECT_FALSE(handled);
    DestroyWindow(window);
}

TEST_F(DialogTest, DestroyErasesTheEntryEvenWhenUnhandled)
{
    const HWND window = create();
    DestroyWindow(window);
    EXPECT_TRUE(dialog.saw(WM_DESTROY));

    // The object is still alive and registered nowhere: the handle's entry is gone.
    dialog.seen.clear();
    bool handled = true;
    routeMessage(window, WM_USER, 0, 0, handled);
    EXPECT_FALSE(handled);
    EXPECT_TRUE(dialog.seen.empty());
}

TEST_F(DialogTest, ResultsFollowTheDialogManagersRules)
{
    script = [](UINT message, WPARAM, bool& handled) -> LRESULT {
        switch (message) {
        case WM_INITDIALOG:
            return 0;
        case WM_COMMAND:
            return 0x4321;
        case WM_CTLCOLORSTATIC:
            return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
        default:
            handled = false;
            return 0;
        }
    };
    const HWND window = create();

    SetWindowLongPtrW(window, DWLP_MSGRESULT, 77);
    EXPECT_EQ(0, VDlg::DialogProc(window, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&dialog)));
    EXPECT_EQ(77, GetWindowLongPtrW(window, DWLP_MSGRESULT));
    EXPECT_EQ(window, dialog.window()) << "attaching its own window again must keep it";
    EXPECT_TRUE(IsWindow(window));

    EXPECT_EQ(reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH)),
              VDlg::DialogProc(window, WM_CTLCOLORSTATIC, 0, 0));
    EXPECT_EQ(77, GetWindowLongPtrW(window, DWLP_MSGRESULT));

    EXPECT_EQ(TRUE, VDlg::DialogProc(window, WM_COMMAND, 1001, 0));
    EXPECT_EQ(0x4321, GetWindowLongPtrW(window, DWLP_MSGRESULT));
    // The dialog manager hands the stored result to the sender.
    EXPECT_EQ(0x4321, SendMessageW(window, WM_COMMAND, 1001, 0));

    SetWindowLongPtrW(window, DWLP_MSGRESULT, 77);
    EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_USER + 5, 0, 0));
    EXPECT_EQ(77, GetWindowLongPtrW(window, DWLP_MSGRESULT));
}

TEST_F(DialogTest, AThrowingHandlerShowsOneRuntimeErrorBoxAndTheDialogGoesOn)
{
    int failures = 0;
    script = [&](UINT message, WPARAM wParam, bool& handled) -> LRESULT {
        if (message == WM_COMMAND && wParam == 501) {
            ++failures;
            throw std::runtime_error("disk on fire");
        }
        if (message == WM_COMMAND && wParam == 502) {
            ++failures;
            throwOSError(L"OpenThing", ERROR_ACCESS_DENIED, {L"", "Thing::open", 12});
        }
        handled = message == WM_COMMAND;
        return 11;
    };
    const HWND window = create();

    MessageBoxAnswerer answerer;
    EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_COMMAND, 501, 0));
    ASSERT_EQ(1u, answerer.boxes().size());
    const MessageBoxAnswerer::Box& box = answerer.boxes()[0];
    EXPECT_EQ(L"Runtime error", box.caption);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), box.style & MB_ICONMASK);
    EXPECT_EQ(static_cast<UINT>(MB_OK), box.style & MB_TYPEMASK);
    EXPECT_EQ(window, box.owner);
    EXPECT_EQ(0u, box.text.find(L"disk on fire\n   at Unable to call DialogProc(273)(VDlg::DialogProc line "))
        << box.text;
    EXPECT_TRUE(std::regex_match(box.text, lastLineIsDialogProc)) << box.text;

    // A system error keeps its own trail; the dialog's context comes last.
    SendMessageW(window, WM_COMMAND, 502, 0);
    ASSERT_EQ(2u, answerer.boxes().size());
    const std::wstring osText = answerer.boxes()[1].text;
    EXPECT_EQ(0u, osText.find(osErrorMessage(ERROR_ACCESS_DENIED, L"OpenThing") +
                              L"\n   at (Thing::open line 12)\n   at Unable to call DialogProc(273)"))
        << osText;
    EXPECT_TRUE(std::regex_match(osText, lastLineIsDialogProc)) << osText;

    EXPECT_EQ(2, failures);
    EXPECT_EQ(11, SendMessageW(window, WM_COMMAND, 1001, 0));
    EXPECT_EQ(2u, answerer.boxes().size());
}

TEST_F(DialogTest, AnAccessViolationInAHandlerIsReportedAndTheDialogGoesOn)
{
    script = [&](UINT message, WPARAM wParam, bool& handled) -> LRESULT {
        if (message == WM_COMMAND && wParam == 501) {
            volatile int* volatile target = nullptr;
            *target = 1;
        }
        handled = message == WM_COMMAND;
        return 12;
    };
    const HWND window = create();

    MessageBoxAnswerer answerer;
    EXPECT_EQ(0, SendMessageW(window, WM_COMMAND, 501, 0));
    ASSERT_EQ(1u, answerer.boxes().size());
    const std::wstring& text = answerer.boxes()[0].text;
    EXPECT_EQ(0u, text.find(L"C structured exception: 0xc0000005\n   at Unable to call DialogProc(273)")) << text;
    EXPECT_TRUE(std::regex_match(text, lastLineIsDialogProc)) << text;

    EXPECT_EQ(12, SendMessageW(window, WM_COMMAND, 1001, 0));
    EXPECT_EQ(1u, answerer.boxes().size());
}

TEST(VWnd, AttachDestroysOnlyAnOwnedWindow)
{
    const HWND first = plainWindow();
    const HWND second = plainWindow();
    const HWND third = plainWindow();
    VControl control;

    control.attach(first, false);
    control.attach(second, true);
    EXPECT_TRUE(IsWindow(first)) << "a window the object did not own survives";

    control.attach(third, false);
    EXPECT_FALSE(IsWindow(second)) << "the owned window is destroyed when replaced";
    EXPECT_EQ(third, control.window());
    EXPECT_FALSE(control.owned());

    control.attach(nullptr, true);
    EXPECT_TRUE(IsWindow(third)) << "the new owned flag decides only about the next replacement";
    control.attach(first, false); // a null window is never destroyed
    EXPECT_EQ(first, control.window());

    DestroyWindow(first);
    DestroyWindow(third);
}

} // namespace
