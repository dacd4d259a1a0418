// The registry-backed settings of the product configuration. The try count's counters and
// the tracing switch are kept for the life of a process, so the tests that need a fresh
// state run this executable again as a child (copied under the module name under test).
#include "runtime/Config.h"

#include "runtime/Guard.h"
#include "runtime/Tracing.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// A folder of its own for one child: a copy of this executable under the given name and,
// when wanted, a provider stand-in as opentracingprovider.dll.
class ChildFolder {
public:
    explicit ChildFolder(const std::wstring& programName, const std::wstring& provider = L"")
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir_ = std::wstring(temp) + testbed::uniqueName(L"wlconfig");
        CreateDirectoryW(dir_.c_str(), nullptr);
        program_ = dir_ + L"\\" + programName;
        EXPECT_TRUE(CopyFileW(testbed::ownPath().c_str(), program_.c_str(), FALSE)) << GetLastError();
        if (!provider.empty()) {
            EXPECT_TRUE(CopyFileW((testbed::binDir() + L"\\" + provider).c_str(),
                                  (dir_ + L"\\opentracingprovider.dll").c_str(), FALSE))
                << GetLastError();
        }
    }
    ~ChildFolder()
    {
        for (const std::wstring& file : {program_, dir_ + L"\\opentracingprovider.dll", dir_ + L"\\trace.log"})
            DeleteFileW(file.c_str());
        RemoveDirectoryW(dir_.c_str());
    }

    bool passes(const std::wstring& test, std::map<std::wstring, std::wstring> variables = {}) const
    {
        variables[L"WL_TRACE_LOG"] = dir_ + L"\\trace.log";
        return testbed::ChildTest(test, variables, program_, dir_).passed();
    }

    // What the provider stand-in recorded.
    std::string traceLog() const
    {
        std::ifstream in((dir_ + L"\\trace.log").c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::wstring dir_;
    std::wstring program_;
};

// ---- child cases, run only by the tests below ----

// WL_EXPECT_TRACING and WL_EXPECT_SPANS ("1" or "0") say what the parent expects.
TEST(DISABLED_ConfigChild, Tracing)
{
    // Spans of guarded operations, failing and succeeding: nothing may break either way.
    EXPECT_EQ(guarded({"Probe::succeed", __LINE__}, [] { return 5; }, L"Unable to call succeed()"), 5);
    try {
        guarded({"Probe::fail", __LINE__}, [] { throw vexception(L"probe failure"); }, L"Unable to call fail(%d)", 7);
        ADD_FAILURE() << "the failure was lost";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"probe failure");
        EXPECT_EQ(e.contexts().size(), 1u);
    }
    EXPECT_EQ(isTracingEnabled(), testbed::env(L"WL_EXPECT_TRACING") == L"1");
    EXPECT_EQ(OpenTracingDriver::StartSpan("Probe::direct", 1, "step")->isActive(),
              testbed::env(L"WL_EXPECT_SPANS") == L"1");
    // A span the provider declines is the inactive kind.
    EXPECT_FALSE(OpenTracingDriver::StartSpan("untraced", 1, "")->isActive());
}

TEST(DISABLED_ConfigChild, WronglyTypedTryCount)
{
    testreg::ScopedValue tryCount(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    tryCount.setDword(5);
    EXPECT_EQ(getPipeConnectTryCount(3), 5); // the first call of the process reads
    tryCount.setString(L"9");
    for (int call = 2; call <= 17; ++call)
        EXPECT_EQ(getPipeConnectTryCount(3), 5) << "call " << call; // the 17th read fails
    tryCount.setDword(8);
    for (int call = 18; call <= 60; ++call)
        ASSERT_EQ(getPipeConnectTryCount(3), 5) << "call " << call << " read the registry again";
}

// ---- in-process cases ----

TEST(Config, MySQLConnectionTimeoutHasAFloorAndADefault)
{
    testreg::ScopedValue timeout(CONFIG_ROOT_KEY, L"MySQLConnectionTimeout");
    timeout.remove();
    EXPECT_EQ(getMySQLConnectionTimeout(), 120u);
    for (const auto& [stored, used] : {std::pair<DWORD, DWORD>{30, 60}, {0, 60}, {61, 61}, {600, 600}}) {
        timeout.setDword(stored);
        EXPECT_EQ(getMySQLConnectionTimeout(), used) << stored;
    }
    timeout.setString(L"90");
    try {
        getMySQLConnectionTimeout();
        ADD_FAILURE() << "a string time-out was accepted";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(),
                  std::wstring(L"RegQueryValueEx invalid type of '") + CONFIG_ROOT_KEY + L"\\MySQLConnectionTimeout'");
        ASSERT_EQ(e.contexts().size(), 2u);
        EXPECT_EQ(e.contexts()[1].message, L"Unable to call getMySQLConnectionTimeout()");
        EXPECT_EQ(e.contexts()[1].function, "getMySQLConnectionTimeout");
    }
}

// Works from wherever earlier calls left the counter: the first call that returns a new
// value is a re-read, and the next one is 16 calls later.
TEST(Config, PipeConnectTryCountIsReReadOnEvery16thCall)
{
    testreg::ScopedValue tryCount(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    const int first = std::max(getPipeConnectTryCount(3), 3) + 7;
    tryCount.setDword(first);
    int calls = 0;
    while (calls < 16 && getPipeConnectTryCount(3) != first)
        ++calls;
    ASSERT_LT(calls, 16) << "the new value was not read within 16 calls";

    tryCount.setDword(first + 1);
    for (int call = 2; call <= 16; ++call)
        ASSERT_EQ(getPipeConnectTryCount(3), first) << "call " << call << " after a re-read";
    EXPECT_EQ(getPipeConnectTryCount(3), first + 1); // the 17th

    // An absent value leaves the count read last; 0 hands back the caller's count.
    tryCount.remove();
    for (int call = 1; call <= 16; ++call)
        ASSERT_EQ(getPipeConnectTryCount(3), first + 1);
    tryCount.setDword(0);
    for (int call = 1; call <= 16; ++call)
        getPipeConnectTryCount(3);
    EXPECT_EQ(getPipeConnectTryCount(3), 3);
    EXPECT_EQ(getPipeConnectTryCount(10), 10);
}

TEST(Config, WronglyTypedTryCountStopsTheReReadsForGood)
{
    testreg::ScopedValue tryCount(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    EXPECT_TRUE(ChildFolder(L"trycount.exe").passes(L"DISABLED_ConfigChild.WronglyTypedTryCount"));
}

TEST(Config, FullInstallationFollowsTheMarker)
{
    testreg::ScopedValue marker(INSTALLER_KEY, INSTALLER_MARKER);
    marker.remove();
    EXPECT_FALSE(isFullInstallation());
    marker.setString(L"C:\\Tarvo");
    EXPECT_TRUE(isFullInstallation());
}

// ---- tracing, one child per state ----

class Tracing : public ::testing::Test {
protected:
    static bool probePasses(const ChildFolder& child, bool tracing, bool spans)
    {
        return child.passes(L"DISABLED_ConfigChild.Tracing",
                            {{L"WL_EXPECT_TRACING", tracing ? L"1" : L"0"}, {L"WL_EXPECT_SPANS", spans ? L"1" : L"0"}});
    }

    testreg::ScopedValue switch_{CONFIG_ROOT_KEY, L"opentracing_enabled"};
};

TEST_F(Tracing, IsOffUnlessSwitchedOnAndNeverOnInTheRepairAndUrlProtectionModules)
{
    ChildFolder probe(L"probe.exe", L"tracingprovider_complete.dll");
    switch_.remove();
    EXPECT_TRUE(probePasses(probe, false, false));
    switch_.setDword(0);
    EXPECT_TRUE(probePasses(probe, false, false));
    EXPECT_EQ(probe.traceLog(), ""); // not even loaded

    switch_.setDword(1);
    for (const wchar_t* name : {L"TarvoRepairModule.dll", L"tarvorepairmodule.DLL", L"TARVOURLPROTECTION.DLL",
                                L"TarvoUrlProtection.dll"}) {
        ChildFolder child(name, L"tracingprovider_complete.dll");
        EXPECT_TRUE(probePasses(child, false, false)) << testing::PrintToString(std::wstring(name));
        EXPECT_EQ(child.traceLog(), "");
    }
    // Only the exact names: a similar one is traced.
    EXPECT_TRUE(probePasses(ChildFolder(L"TarvoRepairModule2.dll"), true, false));
}

TEST_F(Tracing, SpansStayInactiveWithoutACompleteProvider)
{
    switch_.setDword(1);
    EXPECT_TRUE(probePasses(ChildFolder(L"probe.exe"), true, false));
    ChildFolder incomplete(L"probe.exe", L"tracingprovider_incomplete.dll");
    EXPECT_TRUE(probePasses(incomplete, true, false));
    EXPECT_EQ(incomplete.traceLog(), "");
}

TEST_F(Tracing, ProviderBesideTheProgramReceivesTheSpans)
{
    switch_.setDword(1);
    ChildFolder child(L"Probe.exe", L"tracingprovider_complete.dll");
    EXPECT_TRUE(probePasses(child, true, true));
    const std::string log = child.traceLog();
    for (const char* line : {"tracer Probe.exe\n", "start Probe::fail ", "error Unable to call fail(7)\n",
                             "tag vexception=probe failure\n", "finish Probe::fail\n", "start Probe::succeed ",
                             "finish Probe::succeed\n", "start Probe::direct 1 step\n", "finish Probe::direct\n"})
        EXPECT_NE(log.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << log;
    // The tracer is asked for once per process.
    EXPECT_EQ(log.find("tracer "), log.rfind("tracer "));
}

} // namespace
