#include "services/Service.h"

#include "runtime/Exception.h"
#include "runtime/Handle.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestBed.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <utility>

namespace {

using service::NameList;

struct ProgressLog {
    std::vector<std::pair<int, std::wstring>> calls;
};

DWORD CALLBACK recordProgress(int phase, const wchar_t* name, void* context)
{
    static_cast<ProgressLog*>(context)->calls.emplace_back(phase, name);
    return 0;
}

using Calls = std::vector<std::pair<int, std::wstring>>;

// Source lines are the code's own; the texts are compared without them.
std::wstring withoutLines(const std::wstring& text)
{
    return std::regex_replace(text, std::wregex(L" line [0-9]+\\)"), L" line #)");
}

std::wstring serviceName(const wchar_t* role)
{
    return testbed::uniqueName(std::wstring(L"wlsvc") + role);
}

// Where `first` comes before `second` in names.
bool before(const NameList& names, const std::wstring& first, const std::wstring& second)
{
    const auto a = std::find(names.begin(), names.end(), first);
    const auto b = std::find(names.begin(), names.end(), second);
    return a != names.end() && b != names.end() && a < b;
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceJournal journal;
};

TEST_F(ServiceTest, QueriesReportStateStartTypeAndDisplayName)
{
    TestService demand(serviceName(L"Demand"), L"Demand test service", journal.option());
    TestService disabled(serviceName(L"Disabled"), L"Disabled test service", L"", {}, SERVICE_DISABLED);
    TestService unnamed(serviceName(L"Unnamed"), L"", L"");

    SERVICE_STATUS status = {};
    EXPECT_EQ(0u, service::queryStatusService(status, demand.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
    EXPECT_FALSE(service::isActive(demand.c_name()));
    EXPECT_EQ(service::statusStopped, service::effStatus(demand.c_name()));
    EXPECT_EQ(service::statusDisabled, service::effStatus(disabled.c_name()));
    EXPECT_EQ(DWORD(SERVICE_DEMAND_START), service::serviceStartupType(demand.c_name()));
    EXPECT_EQ(DWORD(SERVICE_DISABLED), service::serviceStartupType(disabled.c_name()));
    EXPECT_EQ(L"Demand test service", service::serviceDisplayName(demand.c_name(), nullptr, nullptr));
    EXPECT_EQ(L"Disabled test service", service::serviceDisplayName(disabled.name()));
    EXPECT_EQ(L"", service::serviceDisplayName(unnamed.name()));
    EXPECT_TRUE(service::exist(demand.c_name()));
    EXPECT_FALSE(service::exist(serviceName(L"Missing").c_str()));

    demand.startAndWait();
    EXPECT_TRUE(service::isActive(demand.c_name()));
    EXPECT_EQ(service::statusStarted, service::effStatus(demand.c_name()));
}

TEST_F(ServiceTest, QueriesOfAMissingServiceFailWithTheOpenServiceText)
{
    const std::wstring missing = serviceName(L"Missing");
    const auto expectMissing = [&](const char* function, auto call) {
        try {
            call();
            ADD_FAILURE() << function << " did not fail";
        } catch (const VServiceDoesNotExistException& e) {
            EXPECT_EQ(1060u, e.errorCode());
            EXPECT_NE(std::wstring::npos, e.message().find(L" (Error code 1060) at OpenService '" + missing + L"'"));
            ASSERT_EQ(1u, e.contexts().size());
            EXPECT_EQ(function, e.contexts()[0].function);
        }
    };
    SERVICE_STATUS status = {};
    NameList names;
    expectMissing("service::queryStatusService", [&] { service::queryStatusService(status, missing.c_str()); });
    expectMissing("service::serviceStartupType", [&] { service::serviceStartupType(missing.c_str()); });
    expectMissing("service::serviceDependencies", [&] { service::serviceDependencies(names, missing.c_str()); });
    expectMissing("service::dependentServices",
                  [&] { service::dependentServices(names, missing.c_str(), SERVICE_ACTIVE); });
    expectMissing("service::controlService", [&] { service::controlService(SERVICE_CONTROL_PAUSE, missing.c_str()); });
    // Before anything else, startStopService asks whether the service is active.
    expectMissing("service::queryStatusService", [&] { service::startStopService(missing.c_str(), true, nullptr, nullptr); });
    expectMissing("service::queryStatusService", [&] { service::startStopService(missing.c_str(), false, nullptr, nullptr); });
    // Nothing to stop.
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, missing.c_str()));

    // Machine and database go to the manager unchanged.
    try {
        service::effStatus(missing.c_str(), nullptr, L"NoSuchDatabase");
        ADD_FAILURE() << "the connection did not fail";
    } catch (const vosexception& e) {
        EXPECT_NE(std::wstring::npos, e.message().find(L") at OpenSCManager"));
        ASSERT_EQ(1u, e.contexts().size());
        EXPECT_EQ("`anonymous-namespace'::servicemanager::servicemanager", e.contexts()[0].function);
    }
}

TEST_F(ServiceTest, StartAndStopWaitWhileTheCheckpointAdvances)
{
    TestService slow(serviceName(L"Slow"), L"Slow test service",
                     L"--start-delay 1500 --stop-delay 1500 --wait-hint 400 " + journal.option());

    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), slow.state());
    EXPECT_EQ(NameList{slow.name()}, journal.namesOf(L"start"));

    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), slow.state());
    EXPECT_EQ(NameList{slow.name()}, journal.namesOf(L"stop"));
}

TEST_F(ServiceTest, ServiceInTheWantedStateIsLeftAlone)
{
    TestService svc(serviceName(L"Steady"), L"Steady test service", journal.option());
    ProgressLog progress;

    // Stopped: stopping does nothing, and a stop control is not refused.
    service::startStopService(svc.c_name(), false, nullptr, nullptr, recordProgress, &progress);
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, svc.c_name()));

    svc.startAndWait();
    service::startStopService(svc.c_name(), true, nullptr, nullptr, recordProgress, &progress);
    EXPECT_EQ(0u, service::startService(svc.c_name()));
    EXPECT_TRUE(progress.calls.empty());
    EXPECT_EQ(NameList{svc.name()}, journal.namesOf(L"start"));
    EXPECT_TRUE(journal.namesOf(L"stop").empty());
}

TEST_F(ServiceTest, PausedServiceCountsAsStoppedAndStartContinuesIt)
{
    TestService svc(serviceName(L"Pausable"), L"Pausable test service", L"--pausable " + journal.option());
    svc.startAndWait();

    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_PAUSE, svc.c_name()));
    EXPECT_EQ(DWORD(SERVICE_PAUSED), svc.state());
    EXPECT_FALSE(service::isActive(svc.c_name()));
    EXPECT_EQ(service::statusStopped, service::effStatus(svc.c_name()));

    ProgressLog progress;
    service::startStopService(svc.c_name(), true, nullptr, nullptr, recordProgress, &progress);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), svc.state());
    EXPECT_EQ((Calls{{0, svc.name()}, {1, svc.name()}}), progress.calls);
    // Continued, not started a second time.
    EXPECT_EQ(NameList{svc.name()}, journal.namesOf(L"start"));
    EXPECT_EQ(NameList{svc.name()}, journal.namesOf(L"continue"));
}

TEST_F(ServiceTest, StartThatEndsYieldsExitCodeServiceCodeOrState)
{
    TestService win32(serviceName(L"FailWin32"), L"Failing test service 1", L"--fail-start 1064");
    TestService specific(serviceName(L"FailSpecific"), L"Failing test service 2", L"--fail-specific 4242");
    ServiceJournal quitting;
    quitting.requestQuit();
    // Reports START_PENDING, then STOPPED with exit code 0.
    TestService silent(serviceName(L"FailSilent"), L"Failing test service 3", L"--hang-start " + quitting.option());

    EXPECT_EQ(1064u, service::startService(win32.c_name()));
    EXPECT_EQ(4242u, service::startService(specific.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), service::startService(silent.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), silent.state());
}

// The system texts are those of the test bed (Wine, English).
TEST_F(ServiceTest, FailuresComposeTheTextsUsersSee)
{
    TestService failing(serviceName(L"Failing"), L"Failing test service", L"--fail-start 1064");
    try {
        service::startStopService(failing.c_name(), true, nullptr, nullptr);
        ADD_FAILURE() << "the start did not fail";
    } catch (const vosexception& e) {
        EXPECT_EQ(1064u, e.errorCode());
        EXPECT_EQ(L"Exception in service. (Error code 1064) at Start service " + failing.name() +
                      L"\n   at (service::startStopService line #)",
                  withoutLines(e.fullText()));
    }

    // startService is guarded: its own context comes last, and the class stays.
    const std::wstring missing = serviceName(L"Missing");
    try {
        service::startService(missing.c_str());
        ADD_FAILURE() << "the start did not fail";
    } catch (const VServiceDoesNotExistException& e) {
        EXPECT_EQ(L"Service does not exist. (Error code 1060) at OpenService '" + missing +
                  L"'\n   at (service::startService line #)\n   at Unablr to call startService(" + missing +
                  L")(service::startService line #)",
                  withoutLines(e.fullText()));
    }

    // A second stop while the first one hangs is refused by the manager.
    TestService hanging(serviceName(L"HangStop"), L"Hanging test service", L"--hang-stop " + journal.option());
    hanging.startAndWait();
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle handle(OpenServiceW(manager.get(), hanging.c_name(), SERVICE_STOP));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(handle.get(), SERVICE_CONTROL_STOP, &status));
    try {
        service::controlService(SERVICE_CONTROL_STOP, hanging.c_name());
        ADD_FAILURE() << "the stop was not refused";
    } catch (const vosexception& e) {
        EXPECT_EQ(DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), e.errorCode());
        EXPECT_EQ(L"Service cannot accept control message. (Error code 1061) at ControlService '" +
                  hanging.name() + L"' with code 1\n   at (service::controlService line #)",
                  withoutLines(e.fullText()));
    }
}

TEST_F(ServiceTest, RefusedStopCountsAsDone)
{
    TestService stubborn(serviceName(L"Refuse"), L"Stubborn test service", L"--refuse-stop " + journal.option());
    stubborn.startAndWait();
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, stubborn.c_name()));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), stubborn.state());
}

// A <- B <- C and A <- D: B depends on A, C on B, D on A.
class ServiceDependencyTest : public ServiceTest {
protected:
    RegistryServiceDependencies dependencies;
    TestService a{serviceName(L"A"), L"Dependency A", journal.option()};
    TestService b{serviceName(L"B"), L"Dependency B", journal.option(), {a.name()}};
    TestService c{serviceName(L"C"), L"Dependency C", journal.option(), {b.name()}};
    TestService d{serviceName(L"D"), L"Dependency D", journal.option(), {a.name()}};
};

TEST_F(ServiceDependencyTest, ListsDependenciesAndDependentsAsTheManagerDoes)
{
    NameList names{L"kept"};
    service::serviceDependencies(names, c.c_name());
    service::serviceDependencies(names, a.c_name());
    EXPECT_EQ((NameList{L"kept", b.name()}), names);

    // Nothing active: answered by the first call.
    const int callsBefore = RegistryServiceDependencies::enumCalls();
    names.clear();
    service::dependentServices(names, a.c_name(), SERVICE_ACTIVE);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(callsBefore + 1, RegistryServiceDependencies::enumCalls());

    // Every dependent at any depth, each after its own dependents: needs a second call.
    service::dependentServices(names, a.c_name(), SERVICE_STATE_ALL);
    EXPECT_EQ(callsBefore + 3, RegistryServiceDependencies::enumCalls());
    ASSERT_EQ(3u, names.size());
    EXPECT_TRUE(before(names, c.name(), b.name()));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), d.name()));
}

TEST_F(ServiceDependencyTest, StartBringsUpDependenciesFirst)
{
    ProgressLog progress;
    service::startStopService(c.c_name(), true, nullptr, nullptr, recordProgress, &progress);

    EXPECT_EQ((NameList{a.name(), b.name(), c.name()}), journal.namesOf(L"start"));
    EXPECT_EQ((Calls{{0, c.name()}, {1, c.name()}}), progress.calls);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), d.state());
}

TEST_F(ServiceDependencyTest, StopBringsDownEveryActiveDependentFirst)
{
    for (const TestService* svc : {&a, &b, &c, &d})
        svc->startAndWait();
    ProgressLog progress;
    NameList stopped{L"kept"};
    service::startStopService(a.c_name(), false, nullptr, nullptr, recordProgress, &progress, &stopped);

    const NameList stops = journal.namesOf(L"stop");
    ASSERT_EQ(4u, stops.size());
    EXPECT_TRUE(before(stops, c.name(), b.name()));
    EXPECT_EQ(a.name(), stops.back());
    EXPECT_EQ((Calls{{0, a.name()}, {2, a.name()}}), progress.calls);

    // Every dependent once, whatever its depth; never the service itself.
    ASSERT_EQ(4u, stopped.size());
    EXPECT_EQ(L"kept", stopped[0]);
    for (const TestService* svc : {&b, &c, &d})
        EXPECT_EQ(1, std::count(stopped.begin(), stopped.end(), svc->name())) << svc->name();
    for (const TestService* svc : {&a, &b, &c, &d})
        EXPECT_EQ(DWORD(SERVICE_STOPPED), svc->state()) << svc->name();
}

TEST_F(ServiceDependencyTest, GroupDependencyIsLeftToTheManager)
{
    const std::wstring group = std::wstring(1, SC_GROUP_IDENTIFIERW) + serviceName(L"Group");
    TestService e(serviceName(L"E"), L"Dependency E", journal.option(), {a.name(), group});

    NameList names;
    service::serviceDependencies(names, e.c_name());
    EXPECT_EQ((NameList{a.name(), group}), names);

    service::startStopService(e.c_name(), true, nullptr, nullptr);
    EXPECT_EQ((NameList{a.name(), e.name()}), journal.namesOf(L"start"));
}

TEST_F(ServiceDependencyTest, LargeConfigurationIsReadInASecondCall)
{
    // Binary path, account and a short display name fit the first buffer.
    TestService small(serviceName(L"S"), L"S", L"");
    int calls = RegistryServiceDependencies::configCalls();
    EXPECT_EQ(L"S", service::serviceDisplayName(small.name()));
    EXPECT_EQ(calls + 1, RegistryServiceDependencies::configCalls());

    const std::wstring longName(120, L'x');
    TestService large(serviceName(L"L"), longName, L"", {a.name(), b.name(), c.name()});
    calls = RegistryServiceDependencies::configCalls();
    EXPECT_EQ(longName, service::serviceDisplayName(large.name()));
    EXPECT_EQ(calls + 2, RegistryServiceDependencies::configCalls());
    NameList names;
    service::serviceDependencies(names, large.c_name());
    EXPECT_EQ((NameList{a.name(), b.name(), c.name()}), names);
}

} // namespace
