#include "services/Service.h"

#include "runtime/Exception.h"
#include "runtime/Handle.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestBed.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using service::NameList;
using Calls = std::vector<std::pair<int, std::wstring>>;

DWORD CALLBACK recordProgress(int phase, const wchar_t* name, void* calls)
{
    static_cast<Calls*>(calls)->emplace_back(phase, name);
    return 0;
}

// What an expected failure of class E carried; an exception of another class fails the test.
struct Thrown {
    DWORD code = 0;
    std::wstring message, text;
    std::vector<ExceptionContext> contexts;
};

template <class E = vosexception, class Call>
Thrown thrown(Call call)
{
    try {
        call();
    } catch (const E& e) {
        return {e.errorCode(), e.message(), withoutLines(e.fullText()), e.contexts()};
    }
    ADD_FAILURE() << "the call did not fail";
    return {};
}

bool before(const NameList& names, const std::wstring& first, const std::wstring& second)
{
    const auto a = std::find(names.begin(), names.end(), first);
    return a != names.end() && std::find(a, names.end(), second) != names.end();
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceJournal journal;
};

// Start and stop wait while the checkpoint advances.
TEST_F(ServiceTest, QueriesFollowAStartAndStopThatTakeTime)
{
    TestService slow(testServiceName(L"Slow"), L"Slow test service",
                     L"--start-delay 1500 --stop-delay 1500 --wait-hint 400 " + journal.option());
    TestService disabled(testServiceName(L"Disabled"), L"Disabled test service", L"", {}, SERVICE_DISABLED);
    TestService unnamed(testServiceName(L"Unnamed"), L"", L"");

    SERVICE_STATUS status = {};
    EXPECT_EQ(0u, service::queryStatusService(status, slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
    EXPECT_FALSE(service::isActive(slow.c_name()));
    EXPECT_EQ(service::statusStopped, service::effStatus(slow.c_name()));
    EXPECT_EQ(service::statusDisabled, service::effStatus(disabled.c_name()));
    EXPECT_EQ(DWORD(SERVICE_DEMAND_START), service::serviceStartupType(slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_DISABLED), service::serviceStartupType(disabled.c_name()));
    EXPECT_EQ(L"Slow test service", service::serviceDisplayName(slow.c_name(), nullptr, nullptr));
    EXPECT_EQ(L"", service::serviceDisplayName(unnamed.name()));
    EXPECT_FALSE(service::exist(testServiceName(L"Missing").c_str()));

    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_TRUE(service::isActive(slow.c_name()));
    EXPECT_EQ(service::statusStarted, service::effStatus(slow.c_name()));
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), slow.state());
    EXPECT_EQ(NameList{slow.name()}, journal.namesOf(L"start"));
    EXPECT_EQ(NameList{slow.name()}, journal.namesOf(L"stop"));
}

TEST_F(ServiceTest, QueriesOfAMissingServiceFailWithTheOpenServiceText)
{
    const std::wstring missing = testServiceName(L"Missing");
    const wchar_t* name = missing.c_str();
    SERVICE_STATUS status = {};
    NameList names;
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"service::queryStatusService", [&] { service::queryStatusService(status, name); }},
        {"service::serviceStartupType", [&] { service::serviceStartupType(name); }},
        {"service::serviceDependencies", [&] { service::serviceDependencies(names, name); }},
        {"service::dependentServices", [&] { service::dependentServices(names, name, SERVICE_ACTIVE); }},
        {"service::controlService", [&] { service::controlService(SERVICE_CONTROL_PAUSE, name); }},
        // Before anything else, startStopService asks whether the service is active.
        {"service::queryStatusService", [&] { service::startStopService(name, true, nullptr, nullptr); }},
        {"service::queryStatusService", [&] { service::startStopService(name, false, nullptr, nullptr); }},
    };
    for (const auto& [function, call] : calls) {
        SCOPED_TRACE(function);
        const Thrown e = thrown<VServiceDoesNotExistException>(call);
        EXPECT_EQ(1060u, e.code);
        EXPECT_NE(std::wstring::npos, e.message.find(L" (Error code 1060) at OpenService '" + missing + L"'"));
        ASSERT_EQ(1u, e.contexts.size());
        EXPECT_EQ(function, e.contexts[0].function);
    }
    // Nothing to stop.
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, name));

    // Machine and database go to the manager unchanged.
    const Thrown e = thrown([&] { service::effStatus(name, nullptr, L"NoSuchDatabase"); });
    EXPECT_NE(std::wstring::npos, e.message.find(L") at OpenSCManager"));
    ASSERT_EQ(1u, e.contexts.size());
    EXPECT_EQ("`anonymous-namespace'::servicemanager::servicemanager", e.contexts[0].function);
}

// Already in the wanted state: nothing happens. Paused counts as stopped and is continued;
// a stop the service refuses counts as done.
TEST_F(ServiceTest, ServiceInTheWantedStateIsLeftAloneAndAPausedOneContinued)
{
    TestService steady(testServiceName(L"Steady"), L"Steady test service", journal.option());
    TestService paused(testServiceName(L"Pausable"), L"Pausable test service", L"--pausable " + journal.option());
    TestService stubborn(testServiceName(L"Refuse"), L"Stubborn test service", L"--refuse-stop " + journal.option());
    Calls calls;
    service::startStopService(steady.c_name(), false, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, steady.c_name()));
    for (const TestService* svc : {&steady, &paused, &stubborn})
        svc->startAndWait();
    service::startStopService(steady.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(0u, service::startService(steady.c_name()));
    EXPECT_TRUE(calls.empty());

    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, stubborn.c_name()));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), stubborn.state());

    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_PAUSE, paused.c_name()));
    EXPECT_EQ(DWORD(SERVICE_PAUSED), paused.state());
    EXPECT_FALSE(service::isActive(paused.c_name()));
    EXPECT_EQ(service::statusStopped, service::effStatus(paused.c_name()));
    service::startStopService(paused.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), paused.state());
    EXPECT_EQ((Calls{{0, paused.name()}, {1, paused.name()}}), calls);

    // Nothing started a second time, nothing stopped.
    EXPECT_EQ((NameList{steady.name(), paused.name(), stubborn.name()}), journal.namesOf(L"start"));
    EXPECT_EQ(NameList{paused.name()}, journal.namesOf(L"continue"));
    EXPECT_TRUE(journal.namesOf(L"stop").empty());
}

// A start that ends yields the exit code, the service-specific code or the state. The system
// texts are those of the test bed (Wine, English).
TEST_F(ServiceTest, FailuresYieldTheirCodesAndComposeTheTextsUsersSee)
{
    TestService win32(testServiceName(L"FailWin32"), L"Failing test service 1", L"--fail-start 1064");
    TestService specific(testServiceName(L"FailSpecific"), L"Failing test service 2", L"--fail-specific 4242");
    ServiceJournal quitting;
    quitting.requestQuit();
    // Reports START_PENDING, then STOPPED with exit code 0.
    TestService silent(testServiceName(L"FailSilent"), L"Failing test service 3", L"--hang-start " + quitting.option());
    EXPECT_EQ(1064u, service::startService(win32.c_name()));
    EXPECT_EQ(4242u, service::startService(specific.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), service::startService(silent.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), silent.state());

    Thrown e = thrown([&] { service::startStopService(win32.c_name(), true, nullptr, nullptr); });
    EXPECT_EQ(1064u, e.code);
    EXPECT_EQ(L"Exception in service. (Error code 1064) at Start service " + win32.name() +
                  L"\n   at (service::startStopService line #)",
              e.text);

    // startService is guarded: its own context comes last, and the class stays.
    const std::wstring missing = testServiceName(L"Missing");
    e = thrown<VServiceDoesNotExistException>([&] { service::startService(missing.c_str()); });
    EXPECT_EQ(L"Service does not exist. (Error code 1060) at OpenService '" + missing +
                  L"'\n   at (service::startService line #)\n   at Unablr to call startService(" + missing +
                  L")(service::startService line #)",
              e.text);

    // A second stop while the first one hangs is refused by the manager.
    TestService hanging(testServiceName(L"HangStop"), L"Hanging test service", L"--hang-stop " + journal.option());
    hanging.startAndWait();
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle handle(OpenServiceW(manager.get(), hanging.c_name(), SERVICE_STOP));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(handle.get(), SERVICE_CONTROL_STOP, &status));
    e = thrown([&] { service::controlService(SERVICE_CONTROL_STOP, hanging.c_name()); });
    EXPECT_EQ(DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), e.code);
    EXPECT_EQ(L"Service cannot accept control message. (Error code 1061) at ControlService '" + hanging.name() +
                  L"' with code 1\n   at (service::controlService line #)",
              e.text);
}

// A <- B <- C and A <- D: B depends on A, C on B, D on A.
class ServiceDependencyTest : public ServiceTest {
protected:
    RegistryServiceDependencies dependencies;
    TestService a{testServiceName(L"A"), L"Dependency A", journal.option()};
    TestService b{testServiceName(L"B"), L"Dependency B", journal.option(), {a.name()}};
    TestService c{testServiceName(L"C"), L"Dependency C", journal.option(), {b.name()}};
    TestService d{testServiceName(L"D"), L"Dependency D", journal.option(), {a.name()}};
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

TEST_F(ServiceDependencyTest, StartBringsUpDependenciesFirstAndStopTheDependents)
{
    Calls calls;
    service::startStopService(c.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ((NameList{a.name(), b.name(), c.name()}), journal.namesOf(L"start"));
    EXPECT_EQ((Calls{{0, c.name()}, {1, c.name()}}), calls);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), d.state());

    d.startAndWait();
    calls.clear();
    NameList stopped{L"kept"};
    service::startStopService(a.c_name(), false, nullptr, nullptr, recordProgress, &calls, &stopped);
    const NameList stops = journal.namesOf(L"stop");
    ASSERT_EQ(4u, stops.size());
    EXPECT_TRUE(before(stops, c.name(), b.name()));
    EXPECT_EQ(a.name(), stops.back());
    EXPECT_EQ((Calls{{0, a.name()}, {2, a.name()}}), calls);
    // Every dependent once, whatever its depth; never the service itself.
    ASSERT_EQ(4u, stopped.size());
    EXPECT_EQ(L"kept", stopped[0]);
    for (const TestService* svc : {&b, &c, &d})
        EXPECT_EQ(1, std::count(stopped.begin(), stopped.end(), svc->name())) << svc->name();
    for (const TestService* svc : {&a, &b, &c, &d})
        EXPECT_EQ(DWORD(SERVICE_STOPPED), svc->state()) << svc->name();
}

// The group is left to the manager; the long name and four dependencies need a second call.
TEST_F(ServiceDependencyTest, LargeConfigurationIsReadInASecondCallWithItsGroup)
{
    TestService small(testServiceName(L"S"), L"S", L"");
    int calls = RegistryServiceDependencies::configCalls();
    EXPECT_EQ(L"S", service::serviceDisplayName(small.name()));
    EXPECT_EQ(calls + 1, RegistryServiceDependencies::configCalls());

    const std::wstring longName(120, L'x');
    const std::wstring group = std::wstring(1, SC_GROUP_IDENTIFIERW) + testServiceName(L"Group");
    TestService large(testServiceName(L"L"), longName, journal.option(), {a.name(), b.name(), c.name(), group});
    calls = RegistryServiceDependencies::configCalls();
    EXPECT_EQ(longName, service::serviceDisplayName(large.name()));
    EXPECT_EQ(calls + 2, RegistryServiceDependencies::configCalls());
    NameList names;
    service::serviceDependencies(names, large.c_name());
    EXPECT_EQ((NameList{a.name(), b.name(), c.name(), group}), names);
    service::startStopService(large.c_name(), true, nullptr, nullptr);
    EXPECT_EQ((NameList{a.name(), b.name(), c.name(), large.name()}), journal.namesOf(L"start"));
}

} // namespace
