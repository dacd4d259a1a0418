// The real wardenlight.exe in the test prefix: its icon, its dialog, the "exit" broadcast,
// the menu's Exit, and the silent refusal of a user whom the management service does not
// count among the administrators. Screenshots of the dialog and the menu go to the build
// tree's "screenshots" folder.
#include "app/TrayIcon.h"
#include "runtime/Config.h"
#include "resource.h"
#include "runtime/Handle.h"
#include "runtime/VSID.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 20000;

// Polls condition until it holds or timeoutMs pass; returns its last value.
bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return condition();
        Sleep(50);
    }
    return true;
}

class Program {
public:
    // wardenlight.exe with arguments (the part of the command line after the program).
    explicit Program(const std::wstring& arguments)
    {
        std::wstring command = L"\"" + testbed::binDir() + L"\\wardenlight.exe\"" + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            throw std::runtime_error("cannot start wardenlight.exe");
        CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        id_ = info.dwProcessId;
    }
    ~Program()
    {
        if (running()) {
            TerminateProcess(process_.get(), 99);
            WaitForSingleObject(process_.get(), INFINITE);
        }
    }

    bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // The exit code once the process ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD waitForExit(DWORD timeoutMs = kEndTimeoutMs) const
    {
        WaitForSingleObject(process_.get(), timeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

    // The program's dialog, null while it has none.
    HWND dialog() const
    {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, L"#32770", L"Tarvo Services Monitor"))) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == id_)
                return window;
        }
        return nullptr;
    }
    HWND waitForDialog() const
    {
        waitFor([this] { return dialog() != nullptr || !running(); }, kStartTimeoutMs);
        return dialog();
    }

private:
    UniqueHandle process_;
    DWORD id_ = 0;
};

// Icons in the notification area: without a system tray on the X display, Wine's shell shows
// each as a window inside its own tray window.
int trayIcons()
{
    int count = 0;
    HWND tray = nullptr;
    while ((tray = FindWindowExW(nullptr, tray, L"__winex11_standalone_tray", nullptr)))
        for (HWND icon = nullptr; (icon = FindWindowExW(tray, icon, L"__winex11_tray_icon", nullptr));)
            count += IsWindowVisible(icon) ? 1 : 0;
    return count;
}

// The popup menu window of any process, null when no menu is open.
HWND openMenu()
{
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

// A PNG of the whole X display, taken by ImageMagick's import as a Unix program: Wine starts
// it without waiting, so the file is written under another name and renamed when complete.
bool screenshot(const std::wstring& name)
{
    std::wstring folder = testbed::binDir();
    folder = folder.substr(0, folder.find_last_of(L'\\')) + L"\\screenshots";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring windowsPath = folder + L"\\" + name;
    if (windowsPath.compare(0, 2, L"Z:") != 0 && windowsPath.compare(0, 2, L"z:") != 0)
        return false; // only the root drive maps to Unix paths one to one
    std::wstring unixPath = windowsPath.substr(2);
    for (wchar_t& c : unixPath)
        if (c == L'\\')
            c = L'/';
    DeleteFileW(windowsPath.c_str());
    std::wstring command = L"Z:\\bin\\sh -c \"import -window root 'png:" + unixPath + L".part' && mv '" + unixPath +
                           L".part' '" + unixPath + L"'\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return waitFor([&] { return GetFileAttributesW(windowsPath.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(catalogue_.foreignPackages(), std::vector<std::wstring>{}) << "packages of another test are left";
        ASSERT_EQ(FindWindowW(L"#32770", L"Tarvo Services Monitor"), nullptr) << "another wardenlight.exe is running";
        icons_ = trayIcons();
    }

    // "wardenlight.exe exit" ends every running instance and itself with 0.
    static void broadcastExit()
    {
        Program exit(L" exit");
        EXPECT_EQ(exit.waitForExit(), 0u);
        EXPECT_EQ(exit.dialog(), nullptr);
    }

    TestCatalogue catalogue_;
    int icons_ = 0;
};

TEST_F(EndToEnd, RunsWithItsIconUntilExitIsBroadcast)
{
    // A catalogue worth looking at in the screenshot.
    const std::wstring package = testbed::uniqueName(L"site");
    const std::wstring running = testbed::uniqueName(L"wlweb"), stopped = testbed::uniqueName(L"wlmail"),
                       disabled = testbed::uniqueName(L"wlftp");
    TestService web(running, L"Web Server", L"");
    TestService mail(stopped, L"Mail Transfer", L"");
    TestService ftp(disabled, L"FTP Server", L"", {}, SERVICE_DISABLED);
    web.startAndWait();
    catalogue_.package(package, L"core");
    catalogue_.service(package, L"core", running, L"Tarvo Run-Time");
    catalogue_.service(package, L"core", stopped, L"Mail Server");
    catalogue_.service(package, L"core", disabled, L"Web hosting");

    Program first(L"");
    const HWND dialog = first.waitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(waitFor([&] { return trayIcons() == icons_ + 1; }, kStartTimeoutMs));
    EXPECT_FALSE(IsWindowVisible(dialog));
    Sleep(500);
    EXPECT_TRUE(first.running());

    // A left click on the icon shows the dialog.
    PostMessageW(dialog, TrayIcon::callbackMessage, 0, WM_LBUTTONUP);
    EXPECT_TRUE(waitFor([&] { return IsWindowVisible(dialog) != FALSE; }, kStartTimeoutMs));
    Sleep(1000);
    EXPECT_TRUE(screenshot(L"control_dialog.png"));

    // A right click opens the menu; Escape closes it without a command.
    PostMessageW(dialog, TrayIcon::callbackMessage, 0, WM_RBUTTONUP);
    EXPECT_TRUE(waitFor([] { return openMenu() != nullptr; }, kStartTimeoutMs));
    Sleep(500);
    EXPECT_TRUE(screenshot(L"tray_menu.png"));
    PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(waitFor([] { return openMenu() == nullptr; }, kStartTimeoutMs));
    EXPECT_TRUE(first.running());

    Program second(L"");
    ASSERT_NE(second.waitForDialog(), nullptr);
    EXPECT_TRUE(waitFor([&] { return trayIcons() == icons_ + 2; }, kStartTimeoutMs));

    broadcastExit();
    EXPECT_EQ(first.waitForExit(), 0u);
    EXPECT_EQ(second.waitForExit(), 0u);
    EXPECT_TRUE(waitFor([&] { return trayIcons() == icons_; }, kEndTimeoutMs));
}

TEST_F(EndToEnd, OnlyTheExactWordExitIsTheExitRequestAndMenuExitEndsOne)
{
    broadcastExit(); // with no instance running

    Program upper(L" Exit");
    Program spaced(L" \" exit\"");
    Program longer(L" exit2");
    for (const Program* program : {&upper, &spaced, &longer})
        EXPECT_NE(program->waitForDialog(), nullptr);
    EXPECT_TRUE(waitFor([&] { return trayIcons() == icons_ + 3; }, kStartTimeoutMs));

    // The menu's Exit ends its own instance and takes its icon away.
    PostMessageW(longer.dialog(), WM_COMMAND, ID_MENU_EXIT, 0);
    EXPECT_EQ(longer.waitForExit(), 0u);
    EXPECT_EQ(trayIcons(), icons_ + 2);

    // Further arguments do not matter.
    Program exit(L" exit now");
    EXPECT_EQ(exit.waitForExit(), 0u);
    EXPECT_EQ(upper.waitForExit(), 0u);
    EXPECT_EQ(spaced.waitForExit(), 0u);
}

TEST_F(EndToEnd, DirectoryModeNonMemberGetsNoWindowAndNoIcon)
{
    const std::wstring user = VSID::findAccount(VSID::currentUser().get());
    const std::wstring group = VSID::findAccount(VSID::admins().get());
    testreg::ScopedValue mode(CONFIG_ROOT_KEY, L"active_directory_mode");
    mode.setDword(1);
    testreg::ScopedValue membership(std::wstring(testbed::sandboxKey) + L"\\Groups\\" + group, user);
    membership.setDword(0);
    testbed::SandboxConsole managementService;

    Program refused(L"");
    bool sawWindow = false;
    waitFor([&] {
        sawWindow = sawWindow || refused.dialog() != nullptr;
        return !refused.running();
    }, kStartTimeoutMs);
    EXPECT_EQ(refused.waitForExit(0), 0u);
    EXPECT_FALSE(sawWindow);
    EXPECT_EQ(trayIcons(), icons_);

    // The same user counted as a member gets the program.
    membership.setDword(1);
    Program admitted(L"");
    EXPECT_NE(admitted.waitForDialog(), nullptr);
    broadcastExit();
    EXPECT_EQ(admitted.waitForExit(), 0u);
}

} // namespace
