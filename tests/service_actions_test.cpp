// The dialog's Start, Stop and Restart runs over real test services of Wine's Service Control
// Manager, listed in a real catalogue and shown in the control dialog created in this process.
#include "app/ControlDlg.h"

#include "resource.h"
#include "runtime/Handle.h"
#include "runtime/LogManager.h"
#include "services/ServiceApi.h"
#include "support/DialogHarness.h"
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
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    std::wstring current() const
    {
        wchar_t text[256] = {};
        GetWindowTextW(control_, text, 256);
        return text;
    }

    Strings texts;
    std::vector<HCURSOR> cursors;

private:
    static LRESULT CALLBACK record(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR data)
    {
        if (message == WM_SETTEXT) {
            auto* self = reinterpret_cast<StatusRecorder*>(data);
            self->texts.emplace_back(lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
            self->cursors.push_back(GetCursor());
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

class LogCapture : public LogListener {
public:
    LogCapture() { LogManager::instance().settings().listeners.push_back(this); }
    ~LogCapture() override
    {
        auto& listeners = LogManager::instance().settings().listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), this), listeners.end());
    }
    void onException(int level, const vexception& e) override { errors.push_back({level, e}); }
    void onMessage(int, const std::wstring&) override {}

    std::vector<std::pair<int, vexception>> errors;
};

class ServiceActions : public ::testing::Test {
protected:
    ServiceActions() { catalogue_.package(package_, L"core"); }

    void SetUp() override { ASSERT_EQ(catalogue_.foreignPackages(), Strings{}); }

    // Lists name in the catalogue; an empty group is "Other", which comes last in the tree.
    void list(const std::wstring& name, const std::wstring& group = L"")
    {
        if (group.empty())
            catalogue_.service(package_, L"core", name);
        else
            catalogue_.service(package_, L"core", name, group);
    }

    // The dialog, without its timer: only the test's own commands run.
    std::unique_ptr<DialogHarness> openDialog()
    {
        auto harness = std::make_unique<DialogHarness>();
        KillTimer(harness->window(), ControlDlg::timerId);
        return harness;
    }

    static void check(DialogHarness& harness, const std::wstring& name)
    {
        for (const auto& group : *harness.dialog().groups())
            for (const auto& monitored : group->services)
                if (monitored->name == name)
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
    TestService running(serviceName(L"Run"), L"Action runner " + package_, journal_.option());
    TestService stopped(serviceName(L"Stop"), L"Action stopper " + package_, journal_.option());
    list(running.name(), L"Tarvo Run-Time");
    list(stopped.name());
    running.startAndWait();
    auto harness = openDialog();
    StatusRecorder status(harness->window());

    // Nothing checked: a refresh and nothing else.
    DialogHarness::clearTrayRecords();
    harness->command(IDC_START);
    harness->command(IDC_STOP);
    EXPECT_EQ(status.texts, (Strings{L"", L""}));
    EXPECT_EQ(progressTips(), Strings{});
    EXPECT_EQ(DialogHarness::tips().size(), 2u);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), stopped.state());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), running.state());

    // A checked service already running is left alone without a word.
    check(*harness, running.name());
    status.texts.clear();
    harness->command(IDC_START);
    EXPECT_EQ(status.texts, Strings{L""});
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{running.name()});
    EXPECT_EQ(DWORD(SERVICE_STOPPED), stopped.state());

    // The menu's Start takes every service, checked or not, and leaves the marks as they were.
    const Strings marks = checkedPaths(*harness);
    ASSERT_EQ(marks.size(), 1u);
    harness->command(ID_MENU_START);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), stopped.state());
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{running.name(), stopped.name()}));
    EXPECT_EQ(checkedPaths(*harness), marks);
    EXPECT_EQ(status.current(), L"");
}

// Two services that never start, one in the first group and one in the last, and a good one
// in between.
TEST_F(ServiceActions, FailuresAreRetriedSilentlyThenPutToTheUserInTreeOrder)
{
    TestService first(serviceName(L"FailA"), L"Failing first " + package_, L"--fail-start 1064 " + journal_.option());
    TestService good(serviceName(L"Good"), L"Good one " + package_, journal_.option());
    TestService last(serviceName(L"FailB"), L"Failing last " + package_, L"--fail-specific 4242 " + journal_.option());
    list(first.name(), L"Tarvo Run-Time");
    list(good.name(), L"Mail Server");
    list(last.name());
    auto harness = openDialog();
    // The polls of the start waits pass in virtual time; the services still get real time.
    VirtualClock clock(1000000, 50);
    for (const TestService* svc : {&first, &good, &last})
        check(*harness, svc->name());
    const auto attempts = [&](const TestService& svc) {
        const Strings stops = journal_.namesOf(L"stop");
        return std::count(stops.begin(), stops.end(), svc.name());
    };

    {
        // Retry goes straight back to the start; Ignore moves on.
        MessageBoxAnswerer answerer({IDRETRY, IDIGNORE, IDIGNORE});
        harness->command(IDC_START);
        ASSERT_EQ(answerer.boxes().size(), 3u);
        const std::wstring captions[] = {L"Start Failing first " + package_, L"Start Failing first " + package_,
                                         L"Start Failing last " + package_};
        const std::wstring services[] = {first.name(), first.name(), last.name()};
        const DWORD codes[] = {1064, 1064, 4242};
        for (size_t index = 0; index < 3; ++index) {
            const MessageBoxAnswerer::Box& box = answerer.boxes()[index];
            SCOPED_TRACE(index);
            EXPECT_EQ(box.caption, captions[index]);
            EXPECT_EQ(box.text.find(osErrorMessage(codes[index], (L"Start service " + services[index]).c_str())), 0u)
                << box.text;
            EXPECT_NE(box.text.find(L"\n   at (service::startStopService line "), std::wstring::npos) << box.text;
            EXPECT_EQ(box.style, UINT(MB_ABORTRETRYIGNORE | MB_ICONERROR));
            EXPECT_EQ(box.owner, harness->window());
        }
        EXPECT_EQ(attempts(first), 4);
        EXPECT_EQ(attempts(last), 3);
        EXPECT_EQ(journal_.namesOf(L"start"), Strings{good.name()});
    }

    // Abort ends the run at once: the last service gets no third attempt. Marks survived the
    // refreshes.
    MessageBoxAnswerer answerer({IDABORT});
    harness->command(IDC_START);
    ASSERT_EQ(answerer.boxes().size(), 1u);
    EXPECT_EQ(answerer.boxes()[0].caption, L"Start Failing first " + package_);
    EXPECT_EQ(attempts(first), 4 + 3);
    EXPECT_EQ(attempts(last), 3 + 2);
    EXPECT_EQ(checkedPaths(*harness).size(), 3u);
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{good.name()});
}

TEST_F(ServiceActions, DisabledServiceIsSkippedWhenStoppedAndStoppedWhenRunning)
{
    TestService svc(serviceName(L"Disabled"), L"Disabled one " + package_, journal_.option());
    list(svc.name());
    setStartType(svc, SERVICE_DISABLED);
    auto harness = openDialog();
    check(*harness, svc.name());
    StatusRecorder status(harness->window());
    MessageBoxAnswerer answerer;

    harness->command(IDC_START);
    EXPECT_EQ(status.texts, Strings{L""});
    EXPECT_TRUE(answerer.boxes().empty());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), svc.state());

    setStartType(svc, SERVICE_DEMAND_START);
    svc.startAndWait();
    setStartType(svc, SERVICE_DISABLED);
    status.texts.clear();
    harness->command(IDC_STOP);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), svc.state());
    EXPECT_EQ(status.texts, (Strings{L"Build Dependencies for Disabled one " + package_ + L"...",
                                     L"Stopping Disabled one " + package_ + L"...", L""}));
    EXPECT_TRUE(answerer.boxes().empty());
}

// A depends on B; B is checked, A is not. The tree lists A (under its name in capitals) before B.
TEST_F(ServiceActions, RestartStartsAgainTheDependentsItStopped)
{
    TestService b(serviceName(L"B"), L"Restart B " + package_, journal_.option());
    TestService a(serviceName(L"A"), L"Restart A " + package_, journal_.option(), {b.name()});
    TestService bystander(serviceName(L"C"), L"Restart C " + package_, journal_.option());
    list(upper(a.name()), L"Tarvo Run-Time");
    list(b.name());
    list(bystander.name());
    b.startAndWait();
    a.startAndWait();
    auto harness = openDialog();
    check(*harness, b.name());
    StatusRecorder status(harness->window());
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    SetCursor(arrow);
    DialogHarness::clearTrayRecords();

    harness->command(IDC_RESTART);
    EXPECT_EQ(journal_.namesOf(L"stop"), (Strings{a.name(), b.name()}));
    // Starting A brings up B first; B is then found running.
    EXPECT_EQ(journal_.namesOf(L"start"), (Strings{b.name(), a.name(), b.name(), a.name()}));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), a.state());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), bystander.state());

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
    EXPECT_EQ(status.current(), L"");

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
service::ServiceApi savedApi;

SC_HANDLE WINAPI openDenyingStart(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (lstrcmpiW(name, deniedService) == 0 && (access & SERVICE_START)) {
        ++deniedStarts;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return savedApi.openService(manager, name, access);
}

TEST_F(ServiceActions, AccessDeniedIsLoggedNeverShownNorRetried)
{
    TestService denied(serviceName(L"Denied"), L"Denied one " + package_, journal_.option());
    TestService good(serviceName(L"Good"), L"Good one " + package_, journal_.option());
    list(denied.name(), L"Tarvo Run-Time");
    list(good.name());
    auto harness = openDialog();
    check(*harness, denied.name());
    check(*harness, good.name());

    savedApi = service::serviceApi();
    deniedService = denied.c_name();
    deniedStarts = 0;
    service::serviceApi().openService = &openDenyingStart;
    LogCapture log;
    MessageBoxAnswerer answerer;
    harness->command(IDC_START);
    service::serviceApi() = savedApi;

    EXPECT_TRUE(answerer.boxes().empty());
    EXPECT_EQ(deniedStarts, 1);
    EXPECT_EQ(journal_.namesOf(L"start"), Strings{good.name()});
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0].first, LOG_WARNING);
    const vexception& error = log.errors[0].second;
    const std::wstring where = L"OpenService '" + denied.name() + L"'";
    EXPECT_EQ(error.message(), osErrorMessage(ERROR_ACCESS_DENIED, where.c_str())) << error.fullText();
    ASSERT_FALSE(error.contexts().empty());
    EXPECT_EQ(error.contexts().back().message, L"Unable to make Task Scheduler service started.");
    EXPECT_EQ(error.contexts().back().function, "ControlDlg::controlService");
}

} // namespace
