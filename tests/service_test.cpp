#include "services/Service.h"

#include "runtime/Handle.h"
#include "support/Capture.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using service::NameList;
using testbed::thrown;
using testbed::thrownText;
using Calls = std::vector<std::pair<int, std::wstring>>;

DWORD CALLBACK recordProgress(int phase, const wchar_t* name, void* calls)
{
    static_cast<Calls*>(calls)->emplace_back(phase, name);
    return 0;
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceJournal journal;
};

// Start and stop wait while the checkpoint advances; a service already in the wanted state
// is left alone, a paused one counts as stopped and is continued, a refused stop as done.
TEST_F(ServiceTest, QueriesAndChangesFollowTheManager)
{
    TestService slow(testServiceName(L"Slow"), L"Slow test service",
                     L"--start-delay 1500 --stop-delay 1500 --wait-hint 400 " + journal.option());
    TestService paused(testServiceName(L"Pausable"), L"", L"--pausable " + journal.option());
    TestService stubborn(testServiceName(L"Refuse"), L"Stubborn", L"--refuse-stop " + journal.option(), {},
                         SERVICE_AUTO_START);
    TestService disabled(testServiceName(L"Disabled"), L"Disabled", L"", {}, SERVICE_DISABLED);
    EXPECT_EQ(service::statusStopped, service::effStatus(slow.c_name()));
    EXPECT_EQ(service::statusDisabled, service::effStatus(disabled.c_name()));
    EXPECT_EQ(DWORD(SERVICE_AUTO_START), service::serviceStartupType(stubborn.c_name()));
    EXPECT_EQ(L"Slow test service", service::serviceDisplayName(slow.c_name(), nullptr, nullptr));
    EXPECT_EQ(L"", service::serviceDisplayName(paused.name()));
    EXPECT_FALSE(service::exist(testServiceName(L"Missing").c_str()));

    Calls calls;
    service::startStopService(slow.c_name(), false, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, slow.c_name()));
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_TRUE(service::isActive(slow.c_name()));
    service::startStopService(slow.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), slow.state());

    stubborn.startAndWait();
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, stubborn.c_name()));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), stubborn.state());
    paused.startAndWait();
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_PAUSE, paused.c_name()));
    EXPECT_EQ(service::statusStopped, service::effStatus(paused.c_name()));
    service::startStopService(paused.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), paused.state());
    EXPECT_EQ((Calls{{0, paused.name()}, {1, paused.name()}}), calls);
    EXPECT_EQ((NameList{slow.name(), stubborn.name(), paused.name()}), journal.namesOf(L"start"));
    EXPECT_EQ(NameList{paused.name()}, journal.namesOf(L"continue"));
    EXPECT_EQ(NameList{slow.name()}, journal.namesOf(L"stop"));
}

// The system texts are those of the test bed (Wine, English).
TEST_F(ServiceTest, FailuresYieldTheirCodesAndTheTextsUsersSee)
{
    const std::wstring missing = testServiceName(L"Missing");
    const wchar_t* name = missing.c_str();
    SERVICE_STATUS status = {};
    NameList names;
    const std::function<void()> calls[] = {
        [&] { service::queryStatusService(status, name); }, [&] { service::serviceStartupType(name); },
        [&] { service::serviceDependencies(names, name); },
        [&] { service::dependentServices(names, name, SERVICE_ACTIVE); },
        [&] { service::controlService(SERVICE_CONTROL_PAUSE, name); },
        [&] { service::startStopService(name, true, nullptr, nullptr); },
        [&] { service::startStopService(name, false, nullptr, nullptr); }};
    for (const auto& call : calls) {
        const auto e = thrown<VServiceDoesNotExistException>(call);
        ASSERT_TRUE(e);
        EXPECT_NE(std::wstring::npos, e->message().find(L" (Error code 1060) at OpenService '" + missing + L"'"));
    }
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, name)); // nothing to stop
    EXPECT_NE(std::wstring::npos, thrownText([&] { service::effStatus(name, nullptr, L"NoSuchDatabase"); })
                                      .find(L") at OpenSCManager"));
    EXPECT_EQ(L"Service does not exist. (Error code 1060) at OpenService '" + missing +
                  L"'\n   at (service::startService line #)\n   at Unablr to call startService(" + missing +
                  L")(service::startService line #)",
              thrownText([&] { service::startService(name); }));

    TestService win32(testServiceName(L"FailWin32"), L"Failing 1", L"--fail-start 1064");
    TestService specific(testServiceName(L"FailSpecific"), L"Failing 2", L"--fail-specific 4242");
    ServiceJournal quitting;
    quitting.requestQuit(); // reports START_PENDING, then STOPPED with exit code 0
    TestService silent(testServiceName(L"FailSilent"), L"Failing 3", L"--hang-start " + quitting.option());
    EXPECT_EQ(4242u, service::startService(specific.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), service::startService(silent.c_name()));
    EXPECT_EQ(L"Exception in service. (Error code 1064) at Start service " + win32.name() +
                  L"\n   at (service::startStopService line #)",
              thrownText([&] { service::startStopService(win32.c_name(), true, nullptr, nullptr); }));

    // A second stop while the first one hangs is refused by the manager.
    TestService hanging(testServiceName(L"HangStop"), L"Hanging", L"--hang-stop " + journal.option());
    hanging.startAndWait();
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle handle(OpenServiceW(manager.get(), hanging.c_name(), SERVICE_STOP));
    ASSERT_TRUE(ControlService(handle.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(L"Service cannot accept control message. (Error code 1061) at ControlService '" + hanging.name() +
                  L"' with code 1\n   at (service::controlService line #)",
              thrownText([&] { service::controlService(SERVICE_CONTROL_STOP, hanging.c_name()); }));
}

// A <- B <- C and A <- D: B depends on A, C on B, D on A; L on A, B, C and a group, with a
// name long enough that its configuration needs a second call.
TEST_F(ServiceTest, StartBringsUpDependenciesFirstAndStopTheActiveDependents)
{
    RegistryServiceDependencies dependencies;
    TestService a{testServiceName(L"A"), L"Dependency A", journal.option()};
    TestService b{testServiceName(L"B"), L"Dependency B", journal.option(), {a.name()}};
    TestService c{testServiceName(L"C"), L"Dependency C", journal.option(), {b.name()}};
    TestService d{testServiceName(L"D"), L"Dependency D", journal.option(), {a.name()}};
    const std::wstring group = std::wstring(1, SC_GROUP_IDENTIFIERW) + testServiceName(L"Group");
    TestService large(testServiceName(L"L"), std::wstring(120, L'x'), journal.option(), {a.name(), b.name(), c.name(), group});
    NameList names{L"kept"};
    service::serviceDependencies(names, large.c_name());
    EXPECT_EQ((NameList{L"kept", a.name(), b.name(), c.name(), group}), names);
    EXPECT_EQ(std::wstring(120, L'x'), service::serviceDisplayName(large.name()));
    names.clear();
    service::dependentServices(names, a.c_name(), SERVICE_ACTIVE);
    EXPECT_TRUE(names.empty());

    Calls calls;
    service::startStopService(large.c_name(), true, nullptr, nullptr);
    service::startStopService(c.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ((NameList{a.name(), b.name(), c.name(), large.name()}), journal.namesOf(L"start"));
    EXPECT_TRUE(calls.empty());
    d.startAndWait();
    service::startStopService(a.c_name(), false, nullptr, nullptr, recordProgress, &calls, &names);
    // Each dependent once, after its own dependents; never the service itself.
    const NameList stops = journal.namesOf(L"stop");
    ASSERT_EQ(5u, stops.size());
    EXPECT_EQ(a.name(), stops.back());
    EXPECT_LT(std::find(stops.begin(), stops.end(), c.name()), std::find(stops.begin(), stops.end(), b.name()));
    EXPECT_EQ((Calls{{0, a.name()}, {2, a.name()}}), calls);
    std::sort(names.begin(), names.end());
    NameList dependents{b.name(), c.name(), d.name(), large.name()};
    std::sort(dependents.begin(), dependents.end());
    EXPECT_EQ(dependents, names);
}

} // namespace
