// The control dialog and its popup menu as the program's resources make them, driven with
// the messages that the user, the shell and other instances send.
#include "app/ControlDlg.h"

#include "resource.h"
#include "support/DialogHarness.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"
#include "support/TreeReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::wstring>;

// One control of a DLGTEMPLATEEX, as the resource holds it.
struct TemplateItem {
    int id;
    std::wstring className;
    std::wstring text;
    short x, y, cx, cy;
    DWORD style;
    DWORD exStyle;

    bool operator==(const TemplateItem& other) const
    {
        return id == other.id && className == other.className && text == other.text && x == other.x &&
               y == other.y && cx == other.cx && cy == other.cy && style == other.style &&
               exStyle == other.exStyle;
    }
};

std::ostream& operator<<(std::ostream& out, const TemplateItem& item)
{
    char line[256];
    std::snprintf(line, sizeof(line), "{%d %ls \"%ls\" %d,%d,%d,%d style %08lx ex %08lx}", item.id,
                  item.className.c_str(), item.text.c_str(), item.x, item.y, item.cx, item.cy, item.style,
                  item.exStyle);
    return out << line;
}

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, className, caption, font;
    WORD pointSize = 0;
    std::vector<TemplateItem> items;
};

// Reads DLGTEMPLATEEX and its DLGITEMTEMPLATEEX entries.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : at_(data) {}

    template <typename T>
    T read()
    {
        T value;
        std::memcpy(&value, at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    // A string or an ordinal (predefined classes by their atom).
    std::wstring nameOrOrdinal()
    {
        const WORD first = read<WORD>();
        if (first == 0)
            return L"";
        if (first == 0xFFFF) {
            const WORD ordinal = read<WORD>();
            switch (ordinal) {
            case 0x80: return L"BUTTON";
            case 0x81: return L"EDIT";
            case 0x82: return L"STATIC";
            default: return L"#" + std::to_wstring(ordinal);
            }
        }
        at_ -= sizeof(WORD);
        return text();
    }
    std::wstring text()
    {
        std::wstring result;
        for (WCHAR c = read<WCHAR>(); c; c = read<WCHAR>())
            result += c;
        return result;
    }
    void alignDword(const BYTE* base) { at_ += (4 - (at_ - base) % 4) % 4; }

private:
    const BYTE* at_;
};

DialogTemplate loadTemplate(UINT id)
{
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5)); // RT_DIALOG
    if (!resource)
        throw std::runtime_error("no dialog resource");
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    TemplateReader reader(base);
    DialogTemplate result;
    if (reader.read<WORD>() != 1 || reader.read<WORD>() != 0xFFFF)
        throw std::runtime_error("not a DLGTEMPLATEEX");
    reader.read<DWORD>(); // help id
    result.exStyle = reader.read<DWORD>();
    result.style = reader.read<DWORD>();
    const WORD count = reader.read<WORD>();
    result.x = reader.read<short>();
    result.y = reader.read<short>();
    result.cx = reader.read<short>();
    result.cy = reader.read<short>();
    result.menu = reader.nameOrOrdinal();
    result.className = reader.nameOrOrdinal();
    result.caption = reader.text();
    if (result.style & DS_SETFONT) {
        result.pointSize = reader.read<WORD>();
        reader.read<WORD>(); // weight
        reader.read<BYTE>(); // italic
        reader.read<BYTE>(); // character set
        result.font = reader.text();
    }
    for (WORD index = 0; index < count; ++index) {
        reader.alignDword(base);
        TemplateItem item{};
        reader.read<DWORD>(); // help id
        item.exStyle = reader.read<DWORD>();
        item.style = reader.read<DWORD>();
        item.x = reader.read<short>();
        item.y = reader.read<short>();
        item.cx = reader.read<short>();
        item.cy = reader.read<short>();
        item.id = static_cast<int>(reader.read<DWORD>());
        item.className = reader.nameOrOrdinal();
        item.text = reader.nameOrOrdinal();
        const WORD extra = reader.read<WORD>();
        for (WORD skip = 0; skip < extra; ++skip)
            reader.read<BYTE>();
        result.items.push_back(item);
    }
    return result;
}

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

    // Takes the WM_COMMANDs queued for the dialog, runs them and returns their ids.
    std::vector<WPARAM> runQueuedCommands(DialogHarness& harness)
    {
        std::vector<WPARAM> ids;
        MSG message;
        while (PeekMessageW(&message, harness.window(), WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
            ids.push_back(message.wParam);
            DispatchMessageW(&message);
        }
        return ids;
    }

    static bool takeQuit(WPARAM& code)
    {
        MSG message;
        if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            return false;
        code = message.wParam;
        return true;
    }

    TestCatalogue catalogue_;
};

TEST_F(ControlDialog, TemplateIsAsDesigned)
{
    const DialogTemplate dialog = loadTemplate(IDD_CONTROL_DIALOG);
    EXPECT_EQ(dialog.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER |
                                               DS_SETFONT | DS_FIXEDSYS));
    EXPECT_EQ(dialog.exStyle, 0u);
    EXPECT_EQ(dialog.cx, 390);
    EXPECT_EQ(dialog.cy, 247);
    EXPECT_EQ(dialog.caption, L"Tarvo Services Monitor");
    EXPECT_EQ(dialog.font, L"MS Shell Dlg");
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.menu, L"");
    EXPECT_EQ(dialog.className, L"");

    const DWORD button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    const DWORD label = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    const std::vector<TemplateItem> expected = {
        {1007, L"SysTreeView32", L"", 7, 18, 300, 202,
         WS_CHILD | WS_VISIBLE | WS_BORDER | WS_HSCROLL | WS_TABSTOP | TVS_CHECKBOXES | TVS_SHOWSELALWAYS, 0},
        {1001, L"BUTTON", L"Select All", 7, 226, 50, 14, button, 0},
        {1002, L"BUTTON", L"Clear All", 63, 226, 50, 14, button, 0},
        {1010, L"BUTTON", L"Start", 314, 18, 69, 14, button, 0},
        {1009, L"BUTTON", L"Stop", 314, 38, 69, 14, button, 0},
        {1008, L"BUTTON", L"Restart", 314, 59, 69, 14, button, 0},
        {1011, L"BUTTON", L"Refresh", 314, 104, 69, 14, button, 0},
        {1015, L"BUTTON", L"Delete Sessions", 314, 191, 69, 14, button | BS_TOP, 0},
        {1006, L"BUTTON", L"Hide", 314, 226, 69, 14, button, 0},
        {-1, L"STATIC", L"Services:", 7, 7, 30, 8, label, 0},
        {1014, L"STATIC", L"", 120, 226, 187, 14, label, 0},
        {1016, L"BUTTON", L"Start Tarvo website", 314, 148, 69, 14, button | BS_TOP, 0},
        {1017, L"BUTTON", L"Stop Tarvo website", 314, 170, 69, 14, button | BS_TOP, 0},
    };
    ASSERT_EQ(dialog.items.size(), expected.size());
    for (size_t index = 0; index < expected.size(); ++index) {
        // The class may be stored by name or by atom, in any letter case.
        TemplateItem item = dialog.items[index];
        TemplateItem want = expected[index];
        CharUpperBuffW(&item.className[0], static_cast<DWORD>(item.className.size()));
        CharUpperBuffW(&want.className[0], static_cast<DWORD>(want.className.size()));
        EXPECT_EQ(item, want) << "control " << index;
    }
}

TEST_F(ControlDialog, MenuHoldsTheCommandsInOrder)
{
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU));
    ASSERT_NE(menu, nullptr);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    Strings items;
    for (int index = 0; index < GetMenuItemCount(popup); ++index) {
        wchar_t text[64] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 64;
        GetMenuItemInfoW(popup, static_cast<UINT>(index), TRUE, &info);
        items.push_back((info.fType & MFT_SEPARATOR) ? L"-" : std::wstring(text) + L" " + std::to_wstring(info.wID));
    }
    DestroyMenu(menu);
    EXPECT_EQ(items, (Strings{L"Start 32776", L"Stop 32777", L"Restart 32778", L"Start Tarvo website 1016",
                              L"Stop Tarvo website 1017", L"Delete Sessions 1015", L"-", L"Control panel 32775",
                              L"Exit 32780"}));
}

TEST_F(ControlDialog, StartsHiddenWithTimerIconsAndTabOrder)
{
    DialogHarness harness;
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_EQ(windowText(harness.window()), L"Tarvo Services Monitor");
    EXPECT_NE(SendMessageW(harness.window(), WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(harness.window(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_EQ(windowText(GetDlgItem(harness.window(), IDC_STATUS)), L"");
    EXPECT_TRUE(GetWindowLongW(harness.tree(), GWL_STYLE) & TVS_CHECKBOXES);
    EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageW(harness.tree(), TVM_GETIMAGELIST, TVSIL_NORMAL, 0)),
              harness.dialog().imageList());
    EXPECT_TRUE(KillTimer(harness.window(), ControlDlg::timerId));

    // Tab goes through the controls in template order.
    std::vector<int> order;
    HWND first = GetNextDlgTabItem(harness.window(), nullptr, FALSE);
    HWND item = first;
    do {
        order.push_back(GetDlgCtrlID(item));
        item = GetNextDlgTabItem(harness.window(), item, FALSE);
    } while (item && item != first && order.size() < 20);
    EXPECT_EQ(order, (std::vector<int>{1007, 1001, 1002, 1010, 1009, 1008, 1011, 1015, 1006, 1016, 1017}));

    // The first refresh went to the tray icon: added, then its state shown.
    ASSERT_GE(DialogHarness::trayRecords().size(), 2u);
    EXPECT_EQ(DialogHarness::trayRecords()[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(DialogHarness::trayRecords()[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(DialogHarness::trayRecords()[1].window, harness.window());
    EXPECT_EQ(DialogHarness::trayRecords()[1].id, 1u);
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
    EXPECT_TRUE(IsWindowVisible(harness.window()));

    // A command's notification code must be 0: a button that merely gets the focus does nothing.
    SendMessageW(harness.window(), WM_COMMAND, MAKEWPARAM(IDC_HIDE, BN_SETFOCUS), 0);
    EXPECT_TRUE(IsWindowVisible(harness.window()));
    harness.command(IDC_HIDE);
    EXPECT_FALSE(IsWindowVisible(harness.window()));

    ShowWindow(harness.window(), SW_SHOWNORMAL);
    SendMessageW(harness.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_TRUE(IsWindow(harness.window()));
    EXPECT_FALSE(harness.pump());
    EXPECT_TRUE(KillTimer(harness.window(), ControlDlg::timerId));
}

TEST_F(ControlDialog, LeftClickShowsAndRefreshesOnceDoubleClickMessageDoesNothing)
{
    DialogHarness harness;
    SetDlgItemTextW(harness.window(), IDC_STATUS, L"busy");
    harness.trayCallback(WM_LBUTTONDBLCLK);
    harness.trayCallback(WM_MOUSEMOVE);
    harness.trayCallback(WM_LBUTTONDOWN);
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

// While the popup menu is open: notes its default item and closes it with Escape.
struct MenuWatch {
    static LRESULT CALLBACK hook(int code, WPARAM wParam, LPARAM lParam)
    {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && call->message == WM_INITMENUPOPUP) {
            const auto menu = reinterpret_cast<HMENU>(call->wParam);
            defaultItem = GetMenuDefaultItem(menu, FALSE, 0);
            defaultState = GetMenuState(menu, ID_MENU_CONTROL_PANEL, MF_BYCOMMAND);
            items = GetMenuItemCount(menu);
            owner = call->hwnd;
            PostMessageW(call->hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static UINT defaultItem;
    static UINT defaultState;
    static int items;
    static HWND owner;
};
UINT MenuWatch::defaultItem = 0;
UINT MenuWatch::defaultState = 0;
int MenuWatch::items = 0;
HWND MenuWatch::owner = nullptr;

TEST_F(ControlDialog, RightClickOpensTheMenuAndEscapeClosesItWithoutACommand)
{
    DialogHarness harness;
    MenuWatch::items = 0;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &MenuWatch::hook, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    harness.trayCallback(WM_RBUTTONUP); // returns once the menu is closed
    UnhookWindowsHookEx(hook);

    EXPECT_EQ(MenuWatch::items, 9);
    EXPECT_EQ(MenuWatch::owner, harness.window());
    EXPECT_EQ(MenuWatch::defaultItem, static_cast<UINT>(ID_MENU_CONTROL_PANEL));
    EXPECT_TRUE(MenuWatch::defaultState & MFS_DEFAULT);
    EXPECT_EQ(runQueuedCommands(harness), std::vector<WPARAM>{});
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    WPARAM code = 1;
    EXPECT_FALSE(takeQuit(code));
}

TEST_F(ControlDialog, ExitMessageAndMenuExitEndTheLoop)
{
    DialogHarness harness;
    WPARAM code = 1;
    SendMessageW(harness.window(), exitMessage(), 0, 0);
    ASSERT_TRUE(takeQuit(code));
    EXPECT_EQ(code, 0u);

    code = 1;
    harness.command(ID_MENU_EXIT);
    ASSERT_TRUE(takeQuit(code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(IsWindow(harness.window()));
}

TEST_F(ControlDialog, TaskbarCreatedBringsTheIconBack)
{
    DialogHarness harness;
    DialogHarness::clearTrayRecords();
    SendMessageW(harness.window(), TrayIcon::taskbarCreatedMessage(), 0, 0);
    ASSERT_EQ(DialogHarness::trayRecords().size(), 2u);
    EXPECT_EQ(DialogHarness::trayRecords()[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(DialogHarness::trayRecords()[0].window, harness.window());
    EXPECT_EQ(DialogHarness::trayRecords()[1].message, static_cast<DWORD>(NIM_MODIFY));
}

TEST_F(ControlDialog, TooltipFollowsTheManagementServiceWithin101Ticks)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE existing = OpenServiceW(manager, L"tarvosrv", SERVICE_QUERY_STATUS);
    if (existing)
        CloseServiceHandle(existing);
    CloseServiceHandle(manager);
    if (existing)
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
