// The panel utility runner and the website commands, against the stand-in hostpivot.exe in a
// product root of this process's own, found through the sandbox management service.
#include "panel/Settings.h"
#include "panel/TarvoUtil.h"
#include "resource.h"
#include "runtime/Config.h"
#include "runtime/Path.h"

#include "support/Capture.h"
#include "support/ChildTest.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/SandboxConsole.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

using Strings = std::vector<std::wstring>;

const std::wstring root = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"wlroot");
const std::wstring bin64 = root + L"\\admin\\bin64", exe = bin64 + L"\\hostpivot.exe";

// One product root for the whole process: the runner asks for it once and keeps it.
class TarvoUtil : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        makeDir(bin64);
        CopyFileW((testbed::binDir() + L"\\hostpivot.exe").c_str(), exe.c_str(), FALSE);
        testbed::SandboxConsole service;
        service.set(L"\\Strings", L"PRODUCT_ROOT_D", root);
        ASSERT_EQ(getAdminBin64Dir(), bin64);
    }

    // execTarvoUtil("hostpivot", arguments) with the stand-in doing what script says.
    static std::wstring run(const wchar_t* script, const std::wstring& arguments = L"--x", int expected = 0,
                            const std::string* input = nullptr)
    {
        SetEnvironmentVariableW(L"HOSTPIVOT", script);
        std::wstring output;
        EXPECT_EQ(expected, execTarvoUtil(L"hostpivot", arguments, &output, false, input, true, INFINITE));
        return output;
    }

    static void release() { SetEvent(UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, L"Local\\hostpivot-release")).get()); }
};

TEST_F(TarvoUtil, FindsQuotesMasksAndReportsFailuresFloodsOfOutputAndInputAndUtilExecRecords)
{
    for (const wchar_t* name : {L"hostpivot", L"hostpivot.EXE", L"HostPivot.exe"})
        EXPECT_EQ(findUtilPath(name, true), bin64 + L"\\" + (name[9] ? name : L"hostpivot.exe"));
    EXPECT_EQ(testbed::thrownText([] { findUtilPath(L"hostpivot", false); }),
              L"Unable to find path of 'hostpivot'\n   at (findUtilPath line #)");
    EXPECT_EQ(-1, execTarvoUtil(L"missing", L"", nullptr, false, nullptr, true, INFINITE));
    const std::pair<const wchar_t*, const wchar_t*> quoted[] = {{L"plain-1.0", L"plain-1.0"}, {L"", L"\"\""},
        {L"a b", L"\"a b\""}, {L"C:\\a b\\", L"\"C:\\a b\\\\\""}, {L"say \"hi\\\"", L"\"say \\\"hi\\\\\\\"\""}, {L"k=v", L"\"k=v\""}};
    for (const auto& [argument, expected] : quoted)
        EXPECT_EQ(quoteArgument(argument), expected);
    const std::pair<const wchar_t*, const wchar_t*> masked[] = {
        {L"--start-tarvo-website", L"--start-tarvo-website "}, {L"password=secret PWD=a=b", L"password=* PWD=*=* "},
        {L"--password=secret /Pwd=s -PassWord=s", L"--password=* /Pwd=* -PassWord=* "},
        {L"--user=admin \"a b\" \"x\\\"y\" C:\\d\\", L"\"--user=admin\" \"a b\" \"x\\\"y\" C:\\d\\ "},
        {L"\"password=two words\"", L"password=* "}};
    for (const auto& [arguments, expected] : masked)
        EXPECT_EQ(maskArguments(arguments), expected);

    // Failures name the command with its output, never the password; large output and input flow without a deadlock.
    LogCapture log;
    EXPECT_EQ(run(L"say=broken exit=3", L"--password=secret", 3), L"broken\n");
    EXPECT_EQ(testbed::thrownText([] { execTarvoUtil(L"hostpivot", L"--password=secret", nullptr, true, nullptr, true,
                                                     INFINITE); }),
              L"Execute hostpivot --password=*  failed with error code 3: broken\n\n"
              L"   at (execTarvoUtil line #)\n   at Unable to execute command: " + exe +
                  L" --password=* (execTarvoUtil line #)\n   at Unable to call execTarvoUtil(hostpivot --password=* )"
                  L"(execTarvoUtil line #)");
    SetEnvironmentVariableW(L"HOSTPIVOT", L"hang");
    std::wstring output = L"stale";
    EXPECT_EQ(-1, execTarvoUtil(L"hostpivot", L"pwd=secret", &output, false, nullptr, true, 300));
    EXPECT_EQ(output, L"");
    EXPECT_EQ(testbed::thrown([] { execTarvoUtil(L"hostpivot", L"pwd=secret", nullptr, true, nullptr, true, 300); })
                  ->message(), L"Execute hostpivot pwd=*  failed due to wait timeout: 300");
    release();
    std::wstring lines;
    for (const auto& [level, line] : log.messages)
        lines += line + L"\n";
    EXPECT_EQ(lines.find(L"secret"), std::wstring::npos) << lines;
    EXPECT_NE(lines.find(L"Execute " + exe + L" --password=* \n"), std::wstring::npos) << lines;

    const std::wstring flood = run(L"out=4194304 err=4194304");
    EXPECT_EQ(flood.size(), 8u << 20);
    EXPECT_EQ(std::count(flood.begin(), flood.end(), L'e'), 4 << 20);
    // More than both pipes hold: written before the output is read, it would never all go.
    const std::string input(4 << 20, 'i');
    EXPECT_EQ(run(L"echo", L"\"a b\" c", 0, &input), L"a b\nc\n" + std::wstring(input.begin(), input.end()));
    // Held until the grandchild ended, the output would end with what it writes then.
    EXPECT_EQ(run(L"say=parent grandchild"), L"parent\n");
    release();

    // Util exec records only when switched on; a failed record is only logged.
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring file = formatString(L"%s\\admin\\logs\\tarvolog_util_exec%04d%02d%02d.log", root, now.wYear,
                                           now.wMonth, now.wDay);
    testreg::ScopedValue enabled(CONFIG_ROOT_KEY, L"log_util_exec_enabled"), productRoot(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D");
    makeDir(root + L"\\admin\\logs");
    log.errors.clear();
    for (DWORD on : {0, 1}) { // switched on, but the logs folder cannot be found
        enabled.setDword(on), productRoot.remove();
        run(L"say=ok", L"--password=secret");
    }
    EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(log.errors.size(), 2u);
    EXPECT_EQ(log.errors[0].second.contexts().back().message, L"Unabale to call writeToUtilExecLog()");
    productRoot.setString(root);
    run(L"say=ok", L"--password=secret");
    std::ifstream in(file.c_str(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const std::wstring records(reinterpret_cast<const wchar_t*>(text.data()), text.size() / 2);
    const std::wstring common = L"\t" + exe + L"\t--password=* \t";
    EXPECT_NE(records.find(L"execUtil(Start)\t" + testbed::ownPath() + common + L"\n\r\n"), std::wstring::npos);
    EXPECT_NE(records.find(L"execUtil(End)\t" + testbed::ownPath() + common), std::wstring::npos);
    EXPECT_EQ(records.find(L"secret"), std::wstring::npos);
}

// Start and Stop Tarvo website through the dialog, with "tarvosrv" and "W3SVC" as test
// services whose journal also gets what the utility saw of them while it ran.
TEST_F(TarvoUtil, WebsiteCommandsKeepTarvosrvAsTheyFoundIt)
{
    if (service::exist(L"tarvosrv") || service::exist(L"W3SVC"))
        GTEST_SKIP() << "tarvosrv or W3SVC is installed already";
    const Strings seen = {L"seen-running tarvosrv", L"seen-running W3SVC"}, startStop = {L"start tarvosrv", seen[0],
                          seen[1], L"stop tarvosrv"};
    const struct { bool tarvosrvRunning, webRunning; WPARAM command; const wchar_t* script; Strings events;
                   std::wstring box; bool refreshed; } cases[] = {
        {false, false, IDC_START_WEBSITE, L"journal", {L"start tarvosrv", L"start W3SVC", seen[0], seen[1],
         L"stop tarvosrv"}, L"successfully started", true},
        {true, true, IDC_START_WEBSITE, L"journal", seen, L"successfully started", true},
        {false, true, IDC_START_WEBSITE, L"journal say=broken exit=3", startStop,
         L"Execute hostpivot --start-tarvo-website  failed with error code 3: broken\n", false},
        {false, true, IDC_STOP_WEBSITE, L"journal", startStop, L"successfully stopped", false},
        {true, false, IDC_STOP_WEBSITE, L"journal", {}, L"successfully stopped", false}};
    TestCatalogue catalogue; // W3SVC in a group of each case's own: a refresh shows it there
    catalogue.package(L"web" + std::to_wstring(GetCurrentProcessId()), L"core");
    ServiceJournal journal;
    TestService tarvosrv(L"tarvosrv", L"Tarvo management stand-in", journal.option());
    TestService web(L"W3SVC", L"Web stand-in", journal.option());
    SetEnvironmentVariableW(L"HOSTPIVOT_JOURNAL", journal.path().c_str());
    MessageBoxAnswerer boxes;
    DialogHarness harness;
    for (const auto& c : cases) {
        for (auto [service, running] : {std::make_pair(&tarvosrv, c.tarvosrvRunning), std::make_pair(&web, c.webRunning)})
            if (running != (service->state() == SERVICE_RUNNING))
                running ? service->startAndWait() : service->stopAndWait();
        const size_t before = journal.events().size();
        SetEnvironmentVariableW(L"HOSTPIVOT", c.script);
        const std::wstring group = L"Case " + std::to_wstring(&c - cases);
        catalogue.service(L"web" + std::to_wstring(GetCurrentProcessId()), L"core", L"W3SVC", group.c_str());
        harness.command(c.command);

        Strings events = journal.events();
        events.erase(events.begin(), events.begin() + before);
        EXPECT_EQ(events, c.events) << c.script;
        ASSERT_EQ(boxes.boxes().size(), size_t(&c - cases) + 1);
        const MessageBoxAnswerer::Box& box = boxes.boxes().back();
        EXPECT_EQ(box.caption, c.command == IDC_START_WEBSITE ? L"Start Tarvo Control Panel website"
                                                              : L"Stop Tarvo Control Panel website");
        EXPECT_NE(box.text.find(c.box), std::wstring::npos) << box.text;
        EXPECT_EQ(box.style, UINT(c.box.rfind(L"Execute", 0) == 0 ? MB_ICONERROR : MB_OK)) << box.text;
        const std::vector<std::wstring> shown = harness.paths();
        EXPECT_EQ(std::count(shown.begin(), shown.end(), group + L"/Web stand-in"), c.refreshed) << group;
    }
}

} // namespace
