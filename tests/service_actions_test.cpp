// The dialog's Start, Stop and Restart runs over real test services of Wine's Service Control
// Manager, listed in a real catalogue and shown in the control dialog created in this process.
#include "app/ControlDlg.h"

#include "resource.h"
#include "runtime/Handle.h"
#include "services/ServiceApi.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestBed.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"
#include "support/TreeReader.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::wstring>;

std::wstring serviceName(const wchar_t* role)
{
    return testbed::uniqueName(std::wstring(L"wlact") + role);
}

std::wstring upper(std::wstring text)
{
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void setStartType(const TestService& svc, DWORD startType)
{
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle handle(OpenServiceW(manager.get(), svc.c_name(), SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(ChangeServiceConfigW(handle.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// What the status line was set to, and the cursor at that moment.
class StatusRecorder {
public:
    explicit StatusRecorder(HWND dialog) : control_(GetDlgItem(dialog, IDC_STATUS))
    {
        SetWindowSubclass(control_, &record, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    ~StatusRecorder() { RemoveWindowSubclass(control_, &record, 1); }

    std::wstring current() const
    {
        wchar_t text[256] = {};
        GetWindowTextW(control_, text, 256);
        return text;
    }

    Strings texts;
    std::vector<HCURSOR> cursors;

private:
    static LRESULT CALLBACK record(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self)
    {
        if (message == WM_SETTEXT) {
            reinterpret_cast<StatusRecorder*>(self)->texts.emplace_back(
                lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
            reinterpret_cast<StatusRecorder*>(self)->cursors.push_back(GetCursor());
        }
        return DefSubclassProc(window, message, wParam, lParam);
    }

    HWND control_;
};

// The tooltips that carried a progress text, not a state word.
Strings progressTips()
{
    Strings tips;
    for (const std::wstring& tip : DialogHarness::tips())
        if (tip.size() > 3 && tip.compare(tip.size() - 3, 3, L"...") == 0)
            tips.push_back(tip);
    return tips;
}

class ServiceActions : public ::testing::Test {
protected:
    ServiceActions() { catalogue_.package(package_, L"core"); }
    void SetUp() override { ASSERT_EQ(catalogue_.foreignPackages(), Strings{}); }

    // A test service "<display> <package>" listed in group (null: "Other", which comes last in the tree).
    std::unique_ptr<TestService> installed(const wchar_t* role, const std::wstring& display, const wchar_t* group,
                                           const std::wstring& options = L"")
    {
        auto svc = std::make_unique<TestService>(serviceName(role), display + L" " + package_,
                                                 options + journal_.option());
        catalogue_.service(package_, L"core", svc->name(), group);
        return svc;
    }

    // The dialog, without its timer (only the test's own commands run), with services checked.
    std::unique_ptr<DialogHarness> openDialog(std::initializer_list<const TestService*> checked = {})
    {
        auto harness = std::make_unique<DialogHarness>();
        KillTimer(harness->window(), ControlDlg::timerId);
        for (const TestService* svc : checked)
            check(*harness, *svc);
        return harness;
    }

    static void check(DialogHarness& harness, const TestService& svc)
    {
        for (const auto& group : *harness.dialog().groups())
            for (const auto& monitored : group->services)
                if (monitored->name == svc.name())
                    treereader::setStateImage(harness.tree(), monitored->treeItem, 2);
    }

    static Strings checkedPaths(DialogHarness& harness)
    {
        return treereader::checkedPaths(treereader::read(harness.tree()));
    }

    ServiceJournal journal_;
    RegistryServiceDependencies dependencies_;
    TestCatalogue catalogue_;
    const std::wstring package_ = serviceName(L"Package");
};

TEST_F(ServiceActions, ButtonsActOnlyOnCheckedServicesThatNeedItAndTheMenuOnAll)
{
    auto running = installed(L"Run", L"Action runner", L"Tarvo Run-Time");
    auto stopped = installed(L"Stop", L"Action stopper", nullptr);
    running->startAndWait();
    auto harness = openDialog();
    StatusRecorder status(harness->window());

    // Nothing checked: a refresh and nothing else.
    DialogHarness::clearTrayRecords();
    harness->command(IDC_START);
    harness->command(IDC_STOP);
    EXPECT_EQ(status.texts, (Strings{L"", L""}));
    EXPECT_EQ(progressTips(), Strings{});
    EXPECT_EQ(DialogHarness::tips().size(), 2u);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), stopped->state());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), running->state());

    // A checked service already running is left alone without a word.
    check(*harness, *running);
    status.texts.clear();
    harness->command(IDC_START);
    EXPECT_EQ(status.texts, Strings{L""});
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{running->name()});
    EXPECT_EQ(DWORD(SERVICE_STOPPED), stopped->state());

    // The menu's Start takes every service, checked or not, and leaves the marks as they were.
    const Strings marks = checkedPaths(*harness);
    ASSERT_EQ(marks.size(), 1u);
    harness->command(ID_MENU_START);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), stopped->state());
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{running->name(), stopped->name()}));
    EXPECT_EQ(checkedPaths(*harness), marks);
    EXPECT_EQ(status.current(), L"");
}

// Two services that never start, one in the first group and one in the last, and a good one
// in between.
TEST_F(ServiceActions, FailuresAreRetriedSilentlyThenPutToTheUserInTreeOrder)
{
    auto first = installed(L"FailA", L"Failing first", L"Tarvo Run-Time", L"--fail-start 1064 ");
    auto good = installed(L"Good", L"Good one", L"Mail Server");
    auto last = installed(L"FailB", L"Failing last", nullptr, L"--fail-specific 4242 ");
    auto harness = openDialog({first.get(), good.get(), last.get()});
    // The polls of the start waits pass in virtual time; the services still get real time.
    VirtualClock clock(1000000, 50);
    const auto attempts = [&](const TestService& svc) {
        const Strings stops = journal_.namesOf(L"stop");
        return std::count(stops.begin(), stops.end(), svc.name());
    };

    {
        // Retry goes straight back to the start; Ignore moves on.
        MessageBoxAnswerer answerer({IDRETRY, IDIGNORE, IDIGNORE});
        harness->command(IDC_START);
        ASSERT_EQ(answerer.boxes().size(), 3u);
        const struct {
            const TestService* svc;
            const wchar_t* display;
            DWORD code;
        } expected[] = {{first.get(), L"first", 1064}, {first.get(), L"first", 1064}, {last.get(), L"last", 4242}};
        for (size_t index = 0; index < 3; ++index) {
            SCOPED_TRACE(index);
            const MessageBoxAnswerer::Box& box = answerer.boxes()[index];
            EXPECT_EQ(box.caption, L"Start Failing " + std::wstring(expected[index].display) + L" " + package_);
            const std::wstring where = L"Start service " + expected[index].svc->name();
            EXPECT_EQ(box.text.find(osErrorMessage(expected[index].code, where.c_str())), 0u) << box.text;
            EXPECT_NE(box.text.find(L"\n   at (service::startStopService line "), std::wstring::npos) << box.text;
            EXPECT_EQ(box.style, UINT(MB_ABORTRETRYIGNORE | MB_ICONERROR));
            EXPECT_EQ(box.owner, harness->window());
        }
        EXPECT_EQ(attempts(*first), 4);
        EXPECT_EQ(attempts(*last), 3);
        EXPECT_EQ(journal_.namesOf(L"start"), Strings{good->name()});
    }

    // Abort ends the run at once: the last service gets no third attempt. Marks survived the
    // refreshes.
    MessageBoxAnswerer answerer({IDABORT});
    harness->command(IDC_START);
    ASSERT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(answerer.boxes()[0].caption, L"Start Failing first " + package_);
    EXPECT_EQ(attempts(*first), 4 + 3);
    EXPECT_EQ(attempts(*last), 3 + 2);
    EXPECT_EQ(checkedPaths(*harness).size(), 3u);
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{good->name()});
}

TEST_F(ServiceActions, DisabledServiceIsSkippedWhenStoppedAndStoppedWhenRunning)
{
    auto svc = installed(L"Disabled", L"Disabled one", nullptr);
    setStartType(*svc, SERVICE_DISABLED);
    auto harness = openDialog({svc.get()});
    StatusRecorder status(harness->window());
    MessageBoxAnswerer answerer;

    harness->command(IDC_START);
    EXPECT_EQ(status.texts, Strings{L""});
    EXPECT_EQ(DWORD(SERVICE_STOPPED), svc->state());

    setStartType(*svc, SERVICE_DEMAND_START);
    svc->startAndWait();
    setStartType(*svc, SERVICE_DISABLED);
    status.texts.clear();
    harness->command(IDC_STOP);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), svc->state());
    EXPECT_EQ(status.texts, (Strings{L"Build Dependencies for Disabled one " + package_ + L"...",
                                     L"Stopping Disabled one " + package_ + L"...", L""}));
    EXPECT_TRUE(answerer.boxes().empty());
}

// A depends on B; B is checked, A is not. The tree lists A (under its name in capitals) before B.
TEST_F(ServiceActions, RestartStartsAgainTheDependentsItStopped)
{
    auto b = installed(L"B", L"Restart B", nullptr);
    auto bystander = installed(L"C", L"Restart C", nullptr);
    TestService a(serviceName(L"A"), L"Restart A " + package_, journal_.option(), {b->name()});
    catalogue_.service(package_, L"core", upper(a.name()), L"Tarvo Run-Time");
    b->startAndWait();
    a.startAndWait();
    auto harness = openDialog({b.get()});
    StatusRecorder status(harness->window());
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    SetCursor(arrow);
    DialogHarness::clearTrayRecords();

    harness->command(IDC_RESTART);
    EXPECT_EQ(journal_.namesOf(L"stop"), (Strings{a.name(), b->name()}));
    // Starting A brings up B first; B is then found running.
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{b->name(), a.name(), b->name(), a.name()}));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), a.state());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), bystander->state());

    // Progress only for the services the runs picked, each after its dependency text; the
    // status line is cleared by each run's refresh.
    const std::wstring bText = L"Restart B " + package_ + L"...", aText = L"Restart A " + package_ + L"...";
    const Strings progress = {L"Build Dependencies for " + bText, L"Stopping " + bText,
                              L"Build Dependencies for " + aText, L"Starting " + aText};
    EXPECT_EQ(status.texts, (Strings{progress[0], progress[1], L"", progress[2], progress[3], L""}));
    Strings tips;
    for (const std::wstring& text : progress)
        tips.push_back(L"Tarvo - " + text);
    EXPECT_EQ(progressTips(), tips);

    // The wait cursor while the runs worked, the earlier one afterwards.
    ASSERT_EQ(status.cursors.size(), 6u);
    EXPECT_EQ(status.cursors[1], LoadCursorW(nullptr, IDC_WAIT));
    EXPECT_EQ(status.cursors[3], LoadCursorW(nullptr, IDC_WAIT));
    EXPECT_EQ(GetCursor(), arrow);
    EXPECT_EQ(checkedPaths(*harness).size(), 1u);
}

// A service whose security lets the user query it but not start it.
const wchar_t* deniedService = nullptr;
int deniedStarts = 0;

SC_HANDLE WINAPI openDenyingStart(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (lstrcmpiW(name, deniedService) == 0 && (access & SERVICE_START)) {
        ++deniedStarts;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service::platformServiceApi().openService(manager, name, access);
}

TEST_F(ServiceActions, AccessDeniedIsLoggedNeverShownNorRetried)
{
    auto denied = installed(L"Denied", L"Denied one", L"Tarvo Run-Time");
    auto good = installed(L"Good", L"Good one", nullptr);
    auto harness = openDialog({denied.get(), good.get()});

    const service::ServiceApi savedApi = service::serviceApi();
    deniedService = denied->c_name();
    service::serviceApi().openService = &openDenyingStart;
    LogCapture log;
    MessageBoxAnswerer answerer;
    harness->command(IDC_START);
    service::serviceApi() = savedApi;

    EXPECT_TRUE(answerer.boxes().empty());
    EXPECT_EQ(deniedStarts, 1);
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{good->name()});
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0].first, LOG_WARNING);
    const vexception& error = log.errors[0].second;
    const std::wstring where = L"OpenService '" + denied->name() + L"'";
    EXPECT_EQ(error.message(), osErrorMessage(ERROR_ACCESS_DENIED, where.c_str())) << error.fullText();
    ASSERT_FALSE(error.contexts().empty());
    EXPECT_EQ(error.contexts().back().message, L"Unable to make Task Scheduler service started.");
    EXPECT_EQ(error.contexts().back().function, "ControlDlg::controlService");
}

} // namespace
