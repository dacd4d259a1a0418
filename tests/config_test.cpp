// The registry-backed settings of the product configuration. The try count's counters and
// the tracing switch are kept for the life of a process, so the tests that need a fresh
// state run this executable again as a child (copied under the module name under test)
// with one of the DISABLED_ child cases, which never run on their own.
#include "panel/Config.h"

#include "runtime/Guard.h"
#include "runtime/Tracing.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

// A child that ran its case to the end exits with this code; gtest's own codes (0 when a
// filter matches nothing, 1 on failure) then never pass for success.
constexpr int CHILD_PASSED = 42;

void endChild()
{
    std::exit(::testing::Test::HasFailure() ? 1 : CHILD_PASSED);
}

std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::string narrow(const std::wstring& text)
{
    return cstr(text, 0);
}

// A folder of its own for one child: a copy of this executable under the given name and,
// when wanted, a provider stand-in as opentracingprovider.dll.
class ChildFolder {
public:
    ChildFolder(const std::wstring& programName, const std::wstring& provider = L"")
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir_ = std::wstring(temp) + testbed::uniqueName(L"wlconfig");
        CreateDirectoryW(dir_.c_str(), nullptr);
        program_ = dir_ + L"\\" + programName;
        EXPECT_TRUE(CopyFileW(ownPath().c_str(), program_.c_str(), FALSE)) << GetLastError();
        if (!provider.empty()) {
            const std::wstring from = testbed::binDir() + L"\\" + provider;
            EXPECT_TRUE(CopyFileW(from.c_str(), (dir_ + L"\\opentracingprovider.dll").c_str(), FALSE))
                << narrow(from) << ": " << GetLastError();
        }
        traceLog_ = dir_ + L"\\trace.log";
    }
    ~ChildFolder()
    {
        for (const wchar_t* name : {L"\\opentracingprovider.dll", L"\\trace.log"})
            DeleteFileW((dir_ + name).c_str());
        DeleteFileW(program_.c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    ChildFolder(const ChildFolder&) = delete;
    ChildFolder& operator=(const ChildFolder&) = delete;

    // Runs the child case test (Suite.Case) with the given environment; its exit code.
    DWORD run(const std::wstring& test, const std::vector<std::pair<std::wstring, std::wstring>>& environment) const
    {
        SetEnvironmentVariableW(L"WL_TRACE_LOG", traceLog_.c_str());
        for (const auto& [name, value] : environment)
            SetEnvironmentVariableW(name.c_str(), value.c_str());
        std::wstring commandLine =
            L"\"" + program_ + L"\" --gtest_also_run_disabled_tests --gtest_filter=" + test;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessW(program_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, dir_.c_str(), &startup, &process);
        const DWORD startError = GetLastError();
        SetEnvironmentVariableW(L"WL_TRACE_LOG", nullptr);
        for (const auto& entry : environment)
            SetEnvironmentVariableW(entry.first.c_str(), nullptr);
        if (!started) {
            ADD_FAILURE() << "cannot start " << narrow(program_) << ": " << startError;
            return DWORD(-1);
        }
        WaitForSingleObject(process.hProcess, 60000);
        DWORD code = DWORD(-1);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    }

    // What the provider stand-in recorded.
    std::string traceLog() const
    {
        std::string text;
        HANDLE file = CreateFileW(traceLog_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return text;
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read);
        CloseHandle(file);
        return text;
    }

private:
    std::wstring dir_;
    std::wstring program_;
    std::wstring traceLog_;
};

// ---- child cases ----

// WL_EXPECT_TRACING and WL_EXPECT_SPANS ("1" or "0") say what the parent expects.
TEST(DISABLED_ConfigChild, Tracing)
{
    const bool tracing = testbed::env(L"WL_EXPECT_TRACING") == L"1";
    const bool spans = testbed::env(L"WL_EXPECT_SPANS") == L"1";

    // Spans of guarded operations, failing and succeeding: nothing may break either way.
    EXPECT_EQ(guarded({"Probe::succeed", __LINE__}, [] { return 5; }, L"Unable to call succeed()"), 5);
    try {
        guarded({"Probe::fail", __LINE__}, [] { throw vexception(L"probe failure"); }, L"Unable to call fail(%d)", 7);
        ADD_FAILURE() << "the failure was lost";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"probe failure");
        EXPECT_EQ(e.contexts().size(), 1u);
    }

    EXPECT_EQ(isTracingEnabled(), tracing);
    EXPECT_EQ(OpenTracingDriver::StartSpan("Probe::direct", 1, "step")->isActive(), spans);
    // A span the provider declines is the inactive kind.
    EXPECT_FALSE(OpenTracingDriver::StartSpan("untraced", 1, "")->isActive());
    endChild();
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
    endChild();
}

// ---- in-process cases ----

TEST(Config, MySQLConnectionTimeoutHasAFloorAndADefault)
{
    testreg::ScopedValue timeout(CONFIG_ROOT_KEY, L"MySQLConnectionTimeout");
    timeout.remove();
    EXPECT_EQ(getMySQLConnectionTimeout(), 120u);
    timeout.setDword(30);
    EXPECT_EQ(getMySQLConnectionTimeout(), 60u);
    timeout.setDword(0);
    EXPECT_EQ(getMySQLConnectionTimeout(), 60u);
    timeout.setDword(61);
    EXPECT_EQ(getMySQLConnectionTimeout(), 61u);
    timeout.setDword(600);
    EXPECT_EQ(getMySQLConnectionTimeout(), 600u);

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
    ChildFolder child(L"trycount.exe");
    EXPECT_EQ(child.run(L"DISABLED_ConfigChild.WronglyTypedTryCount", {}), DWORD(CHILD_PASSED));
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
    static DWORD runProbe(const ChildFolder& child, bool tracing, bool spans)
    {
        return child.run(L"DISABLED_ConfigChild.Tracing",
                         {{L"WL_EXPECT_TRACING", tracing ? L"1" : L"0"}, {L"WL_EXPECT_SPANS", spans ? L"1" : L"0"}});
    }

    testreg::ScopedValue switch_{CONFIG_ROOT_KEY, L"opentracing_enabled"};
};

TEST_F(Tracing, IsOffUnlessSwitchedOn)
{
    ChildFolder child(L"probe.exe", L"tracingprovider_complete.dll");
    switch_.remove();
    EXPECT_EQ(runProbe(child, false, false), DWORD(CHILD_PASSED));
    switch_.setDword(0);
    EXPECT_EQ(runProbe(child, false, false), DWORD(CHILD_PASSED));
    // Not even loaded.
    EXPECT_EQ(child.traceLog(), "");
}

TEST_F(Tracing, IsNeverOnInTheRepairAndUrlProtectionModules)
{
    switch_.setDword(1);
    for (const wchar_t* name : {L"TarvoRepairModule.dll", L"tarvorepairmodule.DLL", L"TARVOURLPROTECTION.DLL",
                                L"TarvoUrlProtection.dll"}) {
        ChildFolder child(name, L"tracingprovider_complete.dll");
        EXPECT_EQ(runProbe(child, false, false), DWORD(CHILD_PASSED)) << narrow(name);
        EXPECT_EQ(child.traceLog(), "") << narrow(name);
    }
    // Only the exact names: a similar one is traced.
    ChildFolder similar(L"TarvoRepairModule2.dll");
    EXPECT_EQ(runProbe(similar, true, false), DWORD(CHILD_PASSED));
}

TEST_F(Tracing, SpansStayInactiveWithoutACompleteProvider)
{
    switch_.setDword(1);
    ChildFolder missing(L"probe.exe");
    EXPECT_EQ(runProbe(missing, true, false), DWORD(CHILD_PASSED));
    ChildFolder incomplete(L"probe.exe", L"tracingprovider_incomplete.dll");
    EXPECT_EQ(runProbe(incomplete, true, false), DWORD(CHILD_PASSED));
    EXPECT_EQ(incomplete.traceLog(), "");
}

TEST_F(Tracing, ProviderBesideTheProgramReceivesTheSpans)
{
    switch_.setDword(1);
    ChildFolder child(L"Probe.exe", L"tracingprovider_complete.dll");
    EXPECT_EQ(runProbe(child, true, true), DWORD(CHILD_PASSED));

    const std::string log = child.traceLog();
    for (const char* line : {"tracer Probe.exe\n", "start Probe::fail ", "error Unable to call fail(7)\n",
                             "tag vexception=probe failure\n",
                             "finish Probe::fail\n", "start Probe::succeed ", "finish Probe::succeed\n",
                             "start Probe::direct 1 step\n", "finish Probe::direct\n"})
        EXPECT_NE(log.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << log;
    // The tracer is asked for once per process.
    EXPECT_EQ(log.find("tracer "), log.rfind("tracer "));
}

}
