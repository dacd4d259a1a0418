// The real wardenlight.exe in the test prefix: its icon, the exit broadcast, the menu's Exit,
// the silent refusal of a user whom the management service does not count among the
// administrators, and its installer.
#include "resource.h"
#include "runtime/Config.h"
#include "runtime/Path.h"
#include "runtime/VSID.h"
#include "support/BusyProgram.h"
#include "support/ChildTest.h"
#include "support/ProgramWindows.h"
#include "support/SandboxConsole.h"
#include "support/TestCatalogue.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>
#include <shlobj.h>


namespace {

// The exit code, STILL_ACTIVE when the program has not ended within waitMs.
DWORD exitCode(const testbed::ChildTest& running, DWORD waitMs = 30000)
{
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(running.process(), waitMs);
    GetExitCodeProcess(running.process(), &code);
    return code;
}

const std::wstring program = testbed::binDir() + L"\\wardenlight.exe";

// Instances end by the menu's Exit, by the exit broadcast, and by their refusal at start-up.
TEST(EndToEnd, MenuExitTheExitBroadcastAndTheDirectoryModeRefusalsEndInstancesAndTakeTheirIconsAway)
{
    const TestCatalogue catalogue;
    const int icons = trayIcons();
    // Only "exit" exactly asks the instances to end: these two start as any other.
    testbed::ChildTest first(L"exits", {}, program), second(L"Exit", {}, program);
    ASSERT_TRUE(eventually([&] { return trayIcons() == icons + 2 && controlDialog(); }));
    // The menu's Exit ends the instance whose dialog gets it.
    PostMessageW(controlDialog(), WM_COMMAND, ID_MENU_EXIT, 0);
    const HANDLE both[] = {first.process(), second.process()};
    EXPECT_LT(WaitForMultipleObjects(2, both, FALSE, 30000), WAIT_OBJECT_0 + 2);
    // Windows of the session that stop answering do not hold "exit" up, however many: this thread answers none of
    // its three while it waits. The uninstaller waits 10 s for "exit", which waits for the instances to end.
    const auto hungWindow = [] { return CreateWindowW(L"STATIC", L"hung", WS_OVERLAPPED, 0, 0, 1, 1, 0, 0, 0, 0); };
    const HWND hung[] = {hungWindow(), hungWindow(), hungWindow()};
    const testbed::ChildTest exit(L"exit", {}, program);
    ASSERT_EQ(exitCode(exit, 10000), 0u) << "\"exit\" outlasted the uninstaller's wait";
    for (HWND window : hung) DestroyWindow(window);
    for (const testbed::ChildTest* instance : {&first, &second}) EXPECT_EQ(exitCode(*instance, 0), 0u) << "not ended";
    EXPECT_EQ(trayIcons(), icons);

    // In directory mode the membership is asked of the management service: when it cannot be
    // reached, the user is not let in and is told why.
    const std::wstring root = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"root");
    makeDir(root + L"\\admin\\logs");
    testreg::ScopedValue productRoot(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), pipe(CONFIG_ROOT_KEY, L"kzopipe"),
        mode(CONFIG_ROOT_KEY, L"active_directory_mode"), tries(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    productRoot.setString(root);
    mode.setDword(1);
    pipe.setString(testbed::uniqueName(L"nobody"));
    tries.setDword(1);
    const testbed::ChildTest failed(L"", {}, program);
    HWND box = nullptr;
    ASSERT_TRUE(eventually([&] { return (box = FindWindowW(L"#32770", L"Runtime error")) != nullptr; }));
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(exitCode(failed), 1u);
    EXPECT_NE(std::wstring(text).find(L"(Error code 2) at Unable to connect to pipe"), std::wstring::npos) << text;
    EXPECT_NE(std::wstring(text).find(L"Unable to check the membership of the current user"), std::wstring::npos);
    // The same text, at level Error, in the day's debug file.
    const std::wstring lines = testbed::debugLog(root);
    EXPECT_NE(lines.find(L"Error: " + std::wstring(text)), std::wstring::npos) << lines;

    // A user whom the management service does not count among the administrators is refused
    // silently.
    testreg::ScopedValue membership(testbed::sandboxKey + (L"\\Groups\\" + VSID::findAccount(VSID::admins().get())),
                                    VSID::findAccount(VSID::currentUser().get()));
    membership.setDword(0);
    testbed::SandboxConsole managementService;
    const testbed::ChildTest refused(L"", {}, program);
    EXPECT_EQ(exitCode(refused), 0u);
    EXPECT_EQ(trayIcons(), icons);
}

// While a command waits on a service, the panel utility or a database server that stays
// silent, the dialog answers (a frozen one would miss the bound by seconds), and "exit" ends
// the program within the time the installer waits for it: the command is cancelled, and the
// management service is left as the command found it.
TEST(EndToEnd, TheDialogAnswersWhileACommandWaitsAndExitCancelsTheCommand)
{
    constexpr DWORD frozenMs = 2000;
    for (const BusyProgram::Wait wait : BusyProgram::waits) {
        const BusyProgram busy(wait);
        ASSERT_TRUE(busy.dialog()) << BusyProgram::name(wait);
        for (const ULONGLONG end = GetTickCount64() + 2000; GetTickCount64() < end; Sleep(50)) {
            DWORD_PTR result = 0;
            ASSERT_TRUE(SendMessageTimeoutW(busy.dialog(), WM_NULL, 0, 0, SMTO_NORMAL, frozenMs, &result))
                << BusyProgram::name(wait);
        }
        EXPECT_EQ(exitCode(testbed::ChildTest(L"exit", {}, program)), 0u) << BusyProgram::name(wait);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(busy.process(), &code);
        EXPECT_EQ(code, 0u) << BusyProgram::name(wait);
        if (wait == BusyProgram::utility) {
            EXPECT_TRUE(eventually([&] { return busy.tarvosrv()->state() == SERVICE_STOPPED; }));
            EXPECT_NE(testbed::debugLog(busy.root()).find(L"hostpivot.exe is left running"), std::wstring::npos);
        }
    }
}

// The MSI as an administrator deploys it: installed silently, the program starts from its log-on
// entry and shows its icon; removed silently, the running instance ends and nothing stays behind.
TEST(EndToEnd, SilentInstallStartsAtLogOnAndSilentUninstallEndsTheProgramAndLeavesNothing)
{
    const TestCatalogue catalogue;
    const std::wstring msiexec = L"C:\\windows\\system32\\msiexec.exe";
    const std::wstring package = L"\"" + testbed::binDir() + L"\\..\\" WARDENLIGHT_MSI L"\" /qn";
    wchar_t folder[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\Tarvo Services Monitor", folder, MAX_PATH);
    const auto inMenu = [](int menuFolder) {
        wchar_t menu[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, menuFolder, nullptr, 0, menu);
        const std::wstring shortcut = menu + std::wstring(L"\\Tarvo Services Monitor.lnk");
        return GetFileAttributesW(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    const auto logOnEntry = [] {
        wchar_t command[MAX_PATH] = {};
        DWORD size = sizeof(command);
        RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                     L"Tarvo Services Monitor", RRF_RT_REG_SZ, nullptr, command, &size);
        return std::wstring(command);
    };
    ASSERT_EQ(exitCode(testbed::ChildTest(L"/i " + package, {}, msiexec)), 0u);
    std::wstring command = logOnEntry();
    EXPECT_EQ(command, L"\"" + std::wstring(folder) + L"\\wardenlight.exe\"");
    EXPECT_NE(inMenu(CSIDL_COMMON_PROGRAMS), inMenu(CSIDL_PROGRAMS)); // Wine puts it in the user's menu
    const int icons = trayIcons();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &started));
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    EXPECT_TRUE(eventually([&] { return trayIcons() == icons + 1; }));

    EXPECT_EQ(exitCode(testbed::ChildTest(L"/x " + package, {}, msiexec)), 0u);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(trayIcons(), icons);
    EXPECT_EQ(GetFileAttributesW(folder), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(logOnEntry(), L"");
    EXPECT_FALSE(inMenu(CSIDL_COMMON_PROGRAMS) || inMenu(CSIDL_PROGRAMS));
    // A program the uninstall left running would hold the test's output open.
    TerminateProcess(process.get(), 1);
}

} // namespace
