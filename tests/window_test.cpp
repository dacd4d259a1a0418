#include "app/Window.h"
#include "runtime/Exception.h"
#include "support/MessageBoxAnswerer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    // Always answers result.
    explicit ScriptedDlg(LRESULT result) : script_([result](UINT, WPARAM, bool&) { return result; }) {}

    LRESULT handleMessage(HWND, UINT message, WPARAM wParam, LPARAM, bool& handled) override
    {
        seen.push_back(message);
        handled = static_cast<bool>(script_);
        return script_ ? script_(message, wParam, handled) : 0;
    }

    bool saw(UINT message) const { return std::find(seen.begin(), seen.end(), message) != seen.end(); }

    std::vector<UINT> seen;

private:
    Script script_;
};

// A plain window that no object knows about.
HWND plainWindow()
{
    return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

LRESULT route(HWND window, UINT message, bool& handled)
{
    handled = false;
    return routeMessage(window, message, 0, 0, handled);
}

TEST(WindowRegistry, ObjectsAreAskedInOrderUntilOneHandles)
{
    const HWND window = plainWindow();
    bool handled = true;
    SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
    EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_COMMAND, 1, 0)) << "no entry";
    EXPECT_EQ(0, route(window, WM_COMMAND, handled));
    EXPECT_FALSE(handled);

    ScriptedDlg first([](UINT message, WPARAM, bool& handled) -> LRESULT {
        handled = message == WM_USER;
        return 5;
    });
    ScriptedDlg second(7);
    registerWindow(window, &first);
    registerWindow(window, &second);
    EXPECT_EQ(5, route(window, WM_USER, handled));
    EXPECT_TRUE(handled);
    EXPECT_TRUE(second.seen.empty());
    EXPECT_EQ(7, route(window, WM_USER + 1, handled));
    EXPECT_EQ(std::vector<UINT>{WM_USER + 1}, second.seen);

    // At the front, an object is asked before the others.
    ScriptedDlg front(9);
    registerWindow(window, &front, true);
    EXPECT_EQ(9, route(window, WM_USER, handled));
    EXPECT_EQ(2u, first.seen.size());

    // An object leaves with its destructor, however often it was registered.
    unregisterWindow(&front);
    unregisterWindow(&first);
    unregisterWindow(&second);
    {
        ScriptedDlg temporary(1);
        registerWindow(window, &temporary);
        registerWindow(window, &temporary);
    }
    route(window, WM_USER, handled);
    EXPECT_FALSE(handled);
    DestroyWindow(window);
}

TEST(WindowRegistry, RegistrationDuringAWalkCountsFromTheNextMessage)
{
    const HWND window = plainWindow();
    ScriptedDlg late(3), last(4);
    ScriptedDlg registrar([&](UINT, WPARAM, bool& handled) -> LRESULT {
        for (int i = 0; i < 64; ++i) // enough to make the list reallocate under a live walk
            registerWindow(window, &late, true);
        handled = false;
        return 0;
    });
    registerWindow(window, &registrar);
    registerWindow(window, &last);
    bool handled = false;
    EXPECT_EQ(4, route(window, WM_USER, handled));
    EXPECT_TRUE(late.seen.empty());
    EXPECT_EQ(3, route(window, WM_USER, handled));
    for (VWnd* object : std::initializer_list<VWnd*>{&late, &registrar, &last})
        unregisterWindow(object);
    DestroyWindow(window);
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

TEST_F(DialogTest, ResultsFollowTheDialogManagersRules)
{
    script = [](UINT message, WPARAM, bool& handled) -> LRESULT {
        handled = message == WM_INITDIALOG || message == WM_COMMAND || message == WM_CTLCOLORSTATIC;
        return message == WM_COMMAND            ? 0x4321
               : message == WM_CTLCOLORSTATIC ? reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH))
                                                : 0;
    };
    const HWND window = create();
    EXPECT_EQ(window, dialog.window());
    EXPECT_TRUE(dialog.owned());
    // The dialog manager's WM_SETFONT came before the object was registered.
    ASSERT_FALSE(dialog.seen.empty());
    EXPECT_EQ(UINT(WM_INITDIALOG), dialog.seen.front());
    EXPECT_FALSE(dialog.saw(WM_SETFONT));

    SetWindowLongPtrW(window, DWLP_MSGRESULT, 77);
    EXPECT_EQ(0, VDlg::DialogProc(window, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&dialog)));
    EXPECT_EQ(window, dialog.window()) << "attaching its own window again must keep it";
    EXPECT_EQ(reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH)),
              VDlg::DialogProc(window, WM_CTLCOLORSTATIC, 0, 0));
    EXPECT_EQ(77, GetWindowLongPtrW(window, DWLP_MSGRESULT));

    EXPECT_EQ(TRUE, VDlg::DialogProc(window, WM_COMMAND, 1001, 0));
    EXPECT_EQ(0x4321, GetWindowLongPtrW(window, DWLP_MSGRESULT));
    EXPECT_EQ(0x4321, SendMessageW(window, WM_COMMAND, 1001, 0));

    SetWindowLongPtrW(window, DWLP_MSGRESULT, 77);
    EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_USER + 5, 0, 0));
    EXPECT_EQ(77, GetWindowLongPtrW(window, DWLP_MSGRESULT));

    // WM_DESTROY erases the entry even when unhandled; the object lives on, registered nowhere.
    DestroyWindow(window);
    EXPECT_TRUE(dialog.saw(WM_DESTROY));
    dialog.seen.clear();
    bool handled = true;
    route(window, WM_USER, handled);
    EXPECT_FALSE(handled);
    EXPECT_TRUE(dialog.seen.empty());
}

TEST_F(DialogTest, AFailingHandlerShowsOneRuntimeErrorBoxAndTheDialogGoesOn)
{
    script = [](UINT message, WPARAM wParam, bool& handled) -> LRESULT {
        if (message == WM_COMMAND && wParam == 501)
            throw std::runtime_error("disk on fire");
        if (message == WM_COMMAND && wParam == 502)
            throwOSError(L"OpenThing", ERROR_ACCESS_DENIED, {L"", "Thing::open", 12});
        if (message == WM_COMMAND && wParam == 503) {
            volatile int* volatile target = nullptr;
            *target = 1;
        }
        handled = message == WM_COMMAND;
        return 11;
    };
    const HWND window = create();
    const std::wregex lastLineIsDialogProc(
        L"[^]*\n   at Unable to call DialogProc\\(273\\)\\(VDlg::DialogProc line [0-9]+\\)");
    const struct {
        WPARAM command;
        std::wstring start; // the trail up to the dialog's context, which comes last
    } cases[] = {
        {501, L"disk on fire\n   at Unable to call DialogProc(273)"},
        {502, osErrorMessage(ERROR_ACCESS_DENIED, L"OpenThing") +
                  L"\n   at (Thing::open line 12)\n   at Unable to call DialogProc(273)"},
        {503, L"C structured exception: 0xc0000005\n   at Unable to call DialogProc(273)"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.command);
        MessageBoxAnswerer answerer;
        EXPECT_EQ(FALSE, VDlg::DialogProc(window, WM_COMMAND, failure.command, 0));
        ASSERT_EQ(1u, answerer.boxes().size());
        const MessageBoxAnswerer::Box& box = answerer.boxes()[0];
        EXPECT_EQ(L"Runtime error", box.caption);
        EXPECT_EQ(UINT(MB_ICONERROR | MB_OK), box.style);
        EXPECT_EQ(window, box.owner);
        EXPECT_EQ(0u, box.text.find(failure.start)) << box.text;
        EXPECT_TRUE(std::regex_match(box.text, lastLineIsDialogProc)) << box.text;

        EXPECT_EQ(11, SendMessageW(window, WM_COMMAND, 1001, 0));
        EXPECT_EQ(1u, answerer.boxes().size());
    }
}

TEST(VWnd, AttachDestroysOnlyAnOwnedWindow)
{
    const HWND first = plainWindow(), second = plainWindow(), third = plainWindow();
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
