// The dialog's Start, Stop and Restart runs over real test services of Wine's Service Control
// Manager, listed in a real catalogue and shown in the control dialog created in this process.
#include "resource.h"
#include "services/ServiceApi.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

using Strings = std::vector<std::wstring>;

// Lets the user query this service but not start it.
std::wstring deniedService;

SC_HANDLE WINAPI openDenyingStart(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (deniedService != name || !(access & SERVICE_START))
        return service::platformServiceApi().openService(manager, name, access);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

class ServiceActions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(catalogue_.foreignPackages(), Strings{});
        catalogue_.package(package_, L"core");
    }

    // A test service "<role> <package>" listed in group (null: "Other", last in the tree).
    std::unique_ptr<TestService> installed(const std::wstring& role, const wchar_t* group,
                                           const std::wstring& options = L"", DWORD startType = SERVICE_DEMAND_START)
    {
        auto svc = std::make_unique<TestService>(testServiceName(role), role + L" " + package_,
                                                 options + journal_.option(), Strings{}, startType);
        catalogue_.service(package_, L"core", svc->name(), group);
        return svc;
    }

    ServiceJournal journal_;
    RegistryServiceDependencies dependencies_;
    TestCatalogue catalogue_;
    const std::wstring package_ = testServiceName(L"Package");
};

// Start takes the checked services that need it: not one that runs already, nor a disabled
// one; a refused start is logged, never shown nor retried. The menu's Start takes every
// service.
TEST_F(ServiceActions, StartTakesTheCheckedServicesThatNeedItAndTheMenuAll)
{
    auto running = installed(L"Runner", L"Tarvo Run-Time");
    auto denied = installed(L"Denied", L"Tarvo Run-Time");
    auto disabled = installed(L"Disabled", L"Mail Server", L"", SERVICE_DISABLED);
    auto stopped = installed(L"Stopper", nullptr);
    running->startAndWait();
    DialogHarness harness;
    harness.command(IDC_SELECT_ALL);
    TreeView_SetCheckState(harness.tree(), harness.dialog().groups().back()->services[0]->treeItem, FALSE);
    deniedService = denied->name();
    service::serviceApi().openService = &openDenyingStart;
    LogCapture log;
    MessageBoxAnswerer answerer;
    harness.command(IDC_START);
    EXPECT_EQ(stopped->state(), DWORD(SERVICE_STOPPED));
    harness.command(ID_MENU_START);
    service::serviceApi().openService = service::platformServiceApi().openService;
    EXPECT_TRUE(answerer.boxes().empty());
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{running->name(), stopped->name()}));
    ASSERT_EQ(log.errors.size(), 2u);
    EXPECT_EQ(log.errors[0].second.contexts().back().message, L"Unable to make Task Scheduler service started.");
}

// Two services that never start, one in the first group and one in the last, a good one in
// between, and one listed but not installed, which is passed over. The boxes let messages
// through: a tray click, Refresh, the menu's Start and a timer tick reach the dialog meanwhile.
// None rebuilds the tree under the run or starts a second run; the run refreshes once at its end.
TEST_F(ServiceActions, FailuresAreRetriedSilentlyThenPutToTheUserAndAbortEndsTheRun)
{
    auto first = installed(L"FailFirst", L"Tarvo Run-Time", L"--fail-start 1064 ");
    auto good = installed(L"Good", L"Mail Server");
    auto last = installed(L"FailLast", nullptr, L"--fail-specific 4242 ");
    catalogue_.service(package_, L"core", testServiceName(L"Missing"), L"Tarvo Run-Time");
    DialogHarness harness;
    // The polls of the start waits pass in virtual time; the services still get real time.
    VirtualClock clock(1000000, 50);
    const std::wstring f = first->name(), l = last->name(); // each attempt ends with a stop
    {
        // Three passes; in the last, Retry goes straight back to the start and Ignore moves on.
        MessageBoxAnswerer answerer({IDRETRY, IDIGNORE, IDIGNORE});
        answerer.onBox = [&] {
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(harness.window(), IDC_START))) << "greyed while the run asks";
            PostMessageW(harness.window(), TrayIcon::callbackMessage, 0, WM_LBUTTONUP);
            for (const WPARAM command : {IDC_REFRESH, ID_MENU_START})
                PostMessageW(harness.window(), WM_COMMAND, command, 0);
            PostMessageW(harness.window(), WM_TIMER, ControlDlg::timerId, 0);
        };
        DialogHarness::trayRecords.clear();
        harness.command(IDC_SELECT_ALL);
        harness.command(IDC_START);
        ASSERT_EQ(answerer.boxes().size(), 3u);
        for (const auto& [index, svc] : {std::pair{0, first.get()}, {1, first.get()}, {2, last.get()}})
            EXPECT_EQ(answerer.boxes()[index].caption, L"Start " + svc->displayName());
        const MessageBoxAnswerer::Box& box = answerer.boxes()[0];
        EXPECT_EQ(box.text.find(osErrorMessage(1064, (L"Start service " + first->name()).c_str())), 0u) << box.text;
        EXPECT_EQ(box.style, UINT(MB_ABORTRETRYIGNORE | MB_ICONERROR));
        EXPECT_EQ(box.owner, harness.window());
        EXPECT_EQ(journal_.namesOf(L"stop"), (Strings{f, l, f, l, f, f, l}));
        EXPECT_EQ(journal_.namesOf(L"start"), Strings{good->name()});
        const std::wregex refreshed(L"Tarvo - (Stopped|Started|Disabled)");
        EXPECT_EQ(1, std::count_if(DialogHarness::trayRecords.begin(), DialogHarness::trayRecords.end(),
                                   [&](const TrayRecord& r) { return std::regex_match(r.data.szTip, refreshed); }));
    }
    // Abort ends the run at once: the last service gets no third attempt.
    MessageBoxAnswerer answerer({IDABORT});
    harness.command(ID_MENU_START);
    EXPECT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(journal_.namesOf(L"stop"), (Strings{f, l, f, l, f, f, l, f, l, f, l, f}));
}

// A depends on B; only B is checked. The catalogue names A in capitals.
TEST_F(ServiceActions, RestartStartsAgainTheDependentsItStopped)
{
    auto b = installed(L"RestartB", nullptr);
    const TestService a(testServiceName(L"RestartA"), L"RestartA", journal_.option(), {b->name()});
    std::wstring upper = a.name();
    catalogue_.service(package_, L"core", CharUpperW(upper.data()), L"Tarvo Run-Time");
    b->startAndWait();
    a.startAndWait();
    DialogHarness harness;
    TreeView_SetCheckState(harness.tree(), harness.dialog().groups().back()->services[0]->treeItem, TRUE);
    DialogHarness::trayRecords.clear();
    harness.command(IDC_RESTART);
    EXPECT_EQ(journal_.namesOf(L"stop"), (Strings{a.name(), b->name()}));
    // Starting A brings up B first; B is then found running.
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{b->name(), a.name(), b->name(), a.name()}));
    // The first progress text of the run.
    ASSERT_FALSE(DialogHarness::trayRecords.empty());
    EXPECT_EQ(DialogHarness::trayRecords[0].data.szTip, L"Tarvo - Build Dependencies for " + b->displayName() + L"...");
}

} // namespace
