#include "services/Service.h"

#include "support/Capture.h"
#include "support/RegistryServiceDependencies.h"
#include "support/TestService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

using service::NameList;
using Calls = std::vector<std::pair<int, std::wstring>>;

static DWORD CALLBACK recordProgress(int phase, const wchar_t* name, void* calls)
{
    return static_cast<Calls*>(calls)->emplace_back(phase, name), 0;
}

// Start and stop wait while the checkpoint advances. A running service is left alone, a
// stopping one is started once its stop is done (a second stop would be refused), a paused
// one counts as stopped and is continued, a refused stop counts as done.
TEST(ServiceTest, QueriesChangesFailuresAndDependenciesFollowTheManager)
{
    ServiceJournal journal;
    TestService slow(testServiceName(L"Slow"), L"Slow",
                     L"--start-delay 1500 --stop-delay 5000 --wait-hint 400 " + journal.option());
    TestService paused(testServiceName(L"Pausable"), L"", L"--pausable " + journal.option());
    TestService stubborn(testServiceName(L"Refuse"), L"Stubborn", L"--refuse-stop " + journal.option(), {},
                         SERVICE_AUTO_START);
    EXPECT_EQ(DWORD(SERVICE_AUTO_START), service::serviceStartupType(stubborn.c_name()));
    EXPECT_EQ(L"", service::serviceDisplayName(paused.c_name(), nullptr, nullptr));
    const std::wstring missing = testServiceName(L"Missing");
    EXPECT_FALSE(service::exist(missing.c_str()));

    Calls calls;
    service::startStopService(slow.c_name(), false, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    service::startStopService(slow.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    ASSERT_TRUE(slow.stop());
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), slow.state());
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
    EXPECT_EQ((NameList{slow.name(), slow.name(), stubborn.name(), paused.name()}), journal.namesOf(L"start"));
    EXPECT_EQ(NameList{paused.name()}, journal.namesOf(L"continue"));

    // The system texts are those of the test bed (Wine, English).
    const wchar_t* name = missing.c_str();
    const std::wstring notFound = L" (Error code 1060) at OpenService '" + missing + L"'";
    NameList names;
    const std::function<void()> failing[] = {
        [&] { service::serviceStartupType(name); },
        [&] { SERVICE_STATUS status; service::queryStatusService(status, name); },
        [&] { service::dependentServices(names, name, SERVICE_ACTIVE); },
        [&] { service::controlService(SERVICE_CONTROL_PAUSE, name); },
        [&] { service::startStopService(name, true, nullptr, nullptr); },
    };
    for (const auto& call : failing) {
        const auto e = testbed::thrown<VServiceDoesNotExistException>(call);
        EXPECT_TRUE(e && e->message().find(notFound) != std::wstring::npos);
    }
    EXPECT_EQ(0u, service::controlService(SERVICE_CONTROL_STOP, name)); // nothing to stop
    EXPECT_NE(std::wstring::npos, testbed::thrownText([&] { service::effStatus(name, nullptr, L"NoSuchDatabase"); })
                                      .find(L") at OpenSCManager"));
    EXPECT_EQ(L"Service does not exist." + notFound + L"\n   at (service::startService line #)\n   at Unablr to call "
              L"startService(" + missing + L")(service::startService line #)",
              testbed::thrownText([&] { service::startService(name); }));

    TestService specific(testServiceName(L"FailSpecific"), L"Failing 2", L"--fail-specific 4242");
    ServiceJournal quitting;
    quitting.requestQuit(); // reports START_PENDING, then STOPPED with exit code 0
    TestService silent(testServiceName(L"FailSilent"), L"Failing 3", L"--hang-start " + quitting.option());
    EXPECT_EQ(4242u, service::startService(specific.c_name()));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), service::startService(silent.c_name()));

    // A second stop while the first one hangs is refused by the manager.
    TestService hanging(testServiceName(L"HangStop"), L"Hanging", L"--hang-stop " + journal.option());
    hanging.startAndWait();
    ASSERT_TRUE(hanging.stop());
    EXPECT_EQ(L"Service cannot accept control message. (Error code 1061) at ControlService '" + hanging.name() +
                  L"' with code 1\n   at (service::controlService line #)",
              testbed::thrownText([&] { service::controlService(SERVICE_CONTROL_STOP, hanging.c_name()); }));

    // A <- B <- C and A <- D: B depends on A, C on B, D on A; L on A, B, C and a group, with a
    // name long enough that its configuration needs a second call. A start brings up the
    // dependencies first, a stop takes down the active dependents first, each once and after
    // its own dependents.
    ServiceJournal deps;
    RegistryServiceDependencies dependencies;
    TestService a{testServiceName(L"A"), L"Dependency A", deps.option()};
    TestService b{testServiceName(L"B"), L"Dependency B", deps.option(), {a.name()}};
    TestService c{testServiceName(L"C"), L"Dependency C", deps.option(), {b.name()}};
    TestService d{testServiceName(L"D"), L"Dependency D", deps.option(), {a.name()}};
    const std::wstring group = std::wstring(1, SC_GROUP_IDENTIFIERW) + testServiceName(L"Group");
    TestService large(testServiceName(L"L"), std::wstring(120, L'x'), deps.option(),
                      {a.name(), b.name(), c.name(), group});
    service::serviceDependencies(names = {L"kept"}, large.c_name());
    EXPECT_EQ((NameList{L"kept", a.name(), b.name(), c.name(), group}), names);
    EXPECT_EQ(std::wstring(120, L'x'), service::serviceDisplayName(large.name()));

    calls.clear();
    service::startStopService(large.c_name(), true, nullptr, nullptr);
    service::startStopService(c.c_name(), true, nullptr, nullptr, recordProgress, &calls);
    EXPECT_EQ((NameList{a.name(), b.name(), c.name(), large.name()}), deps.namesOf(L"start"));
    EXPECT_TRUE(calls.empty());
    d.startAndWait();
    names.clear();
    service::startStopService(a.c_name(), false, nullptr, nullptr, recordProgress, &calls, &names);
    EXPECT_EQ((Calls{{0, a.name()}, {2, a.name()}}), calls);
    const NameList stops = deps.namesOf(L"stop");
    ASSERT_EQ(5u, stops.size());
    EXPECT_EQ(a.name(), stops.back());
    EXPECT_LT(std::find(stops.begin(), stops.end(), c.name()), std::find(stops.begin(), stops.end(), b.name()));
    EXPECT_EQ((std::multiset<std::wstring>{b.name(), c.name(), d.name(), large.name()}),
              std::multiset<std::wstring>(names.begin(), names.end()));
}

static std::wstring vanished; // the service that is gone when its configuration is read
static SC_HANDLE WINAPI openVanishing(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (CompareStringOrdinal(name, -1, vanished.c_str(), -1, TRUE) != CSTR_EQUAL)
        return OpenServiceW(manager, name, access);
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

// One listing tells what the per-service queries tell, for names in another case too, also
// after a start type has changed; a service removed between the listing and the reading of its
// start type counts as disabled, as the tree shows a service whose status it cannot read.
TEST(ServiceTest, StatesOfOneListingMatchThePerServiceQueries)
{
    TestService running(testServiceName(L"Run"), L"Running one", L""), stopped(testServiceName(L"Stop"), L"", L"");
    TestService disabled(testServiceName(L"Off"), L"Disabled one", L"", {}, SERVICE_DISABLED);
    TestService gone(testServiceName(L"Gone"), L"Gone one", L"");
    running.startAndWait();
    std::wstring upper = stopped.name();
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    const NameList names{running.name(), upper, disabled.name(), testServiceName(L"Missing"), running.name()};
    const std::vector<service::ServiceState> states = service::queryStates(names);
    ASSERT_EQ(names.size(), states.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const bool installed = service::exist(names[i].c_str());
        EXPECT_EQ(installed, states[i].installed) << names[i];
        if (installed) {
            EXPECT_EQ(service::effStatus(names[i].c_str()), states[i].status) << names[i];
            EXPECT_EQ(service::serviceDisplayName(names[i]), states[i].displayName) << names[i];
        }
    }
    EXPECT_EQ(service::statusDisabled, states[2].status);
    // A start type changed since is read again.
    const UniqueServiceHandle manager(service::openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle config(OpenServiceW(manager.get(), stopped.c_name(), SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(ChangeServiceConfigW(config.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(service::statusDisabled, service::queryStates({stopped.name()})[0].status);

    vanished = gone.name();
    service::serviceApi().openService = &openVanishing;
    const std::vector<service::ServiceState> afterRemoval = service::queryStates({gone.name()});
    service::serviceApi().openService = service::platformServiceApi().openService;
    EXPECT_TRUE(afterRemoval[0].installed);
    EXPECT_EQ(L"Gone one", afterRemoval[0].displayName);
    EXPECT_EQ(service::statusDisabled, afterRemoval[0].status);
}
