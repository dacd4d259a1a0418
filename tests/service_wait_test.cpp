#include "services/Service.h"

#include "runtime/Exception.h"
#include "support/TestBed.h"
#include "support/TestService.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <regex>

// The waits of the service library on a virtual clock: the services and their status are
// real, the minutes of waiting are not.
namespace {

std::wstring serviceName(const wchar_t* role)
{
    return testbed::uniqueName(std::wstring(L"wlwait") + role);
}

std::wstring withoutLines(const std::wstring& text)
{
    return std::regex_replace(text, std::wregex(L" line [0-9]+\\)"), L" line #)");
}

class ServiceWaitTest : public ::testing::Test {
protected:
    ServiceJournal journal;
};

struct FrozenCase {
    DWORD waitHint;
    DWORD pollInterval;
    DWORD givenUpAfter; // the first poll after more than min(hint + 300000, 600000) ms
};

// Each service hangs in START_PENDING with checkpoint 1 for good.
TEST_F(ServiceWaitTest, FrozenCheckpointIsGivenUpAfterHintPlusFiveMinutesAtMostTen)
{
    const FrozenCase cases[] = {
        {0, 1000, 301000},         // under 10000: every second
        {9999, 1000, 310000},
        {10010, 1001, 310310},     // in between: a tenth of the hint
        {50000, 5000, 355000},
        {400000, 10000, 610000},   // over 100000: every ten seconds; hint + 300000 exceeds the hard limit
    };
    for (const FrozenCase& c : cases) {
        SCOPED_TRACE(c.waitHint);
        TestService hanging(serviceName(L"Frozen"), L"Frozen test service " + std::to_wstring(c.waitHint),
                            L"--hang-start --wait-hint " + std::to_wstring(c.waitHint) + L" " + journal.option());
        VirtualClock clock;
        const DWORD start = clock.now();
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::startService(hanging.c_name()));
        EXPECT_EQ(c.givenUpAfter, clock.now() - start);
        for (DWORD interval : clock.sleeps())
            ASSERT_EQ(c.pollInterval, interval);
        EXPECT_EQ(DWORD(SERVICE_START_PENDING), hanging.state());
    }
}

TEST_F(ServiceWaitTest, TickWrapDoesNotCutTheWaitShort)
{
    TestService hanging(serviceName(L"Wrap"), L"Wrapping test service", L"--hang-start --wait-hint 0 " + journal.option());
    VirtualClock clock(0xFFFFFFFFu - 100000);
    const DWORD start = clock.now();
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::startService(hanging.c_name()));
    EXPECT_EQ(301000u, clock.now() - start);
}

TEST_F(ServiceWaitTest, ProgressingServiceIsWaitedForPastBothLimits)
{
    // Raises its checkpoint every 100 ms of real time for 4 s, polled every 10 ms of real
    // time that count as 10 s each.
    TestService slow(serviceName(L"Slow"), L"Slowly starting test service",
                     L"--start-delay 4000 --wait-hint 150000 " + journal.option());
    VirtualClock clock(1000000, 10);
    const DWORD start = clock.now();
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_GT(clock.now() - start, 150000u + 300000u);
    EXPECT_GT(clock.now() - start, 600000u);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), slow.state());
}

TEST_F(ServiceWaitTest, HangingStopFailsWithTheTimeoutText)
{
    TestService hanging(serviceName(L"HangStop"), L"Hanging test service", L"--hang-stop --wait-hint 0 " + journal.option());
    hanging.startAndWait();
    VirtualClock clock;
    const DWORD start = clock.now();
    try {
        service::startStopService(hanging.c_name(), false, nullptr, nullptr);
        ADD_FAILURE() << "the stop did not fail";
    } catch (const vosexception& e) {
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), e.errorCode());
        // The system text is that of the test bed (Wine, English).
        EXPECT_EQ(L"Timeout. (Error code 1460) at Stop service " + hanging.name() + L"\n   at (service::startStopService line #)",
                  withoutLines(e.fullText()));
    }
    EXPECT_EQ(301000u, clock.now() - start);
    EXPECT_EQ(DWORD(SERVICE_STOP_PENDING), hanging.state());
}

TEST_F(ServiceWaitTest, ControlWithoutStateChangeIsWaitedForSixtyTimes)
{
    TestService deaf(serviceName(L"Deaf"), L"Deaf test service", L"--ignore-pause " + journal.option());
    deaf.startAndWait();
    VirtualClock clock;
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::controlService(SERVICE_CONTROL_PAUSE, deaf.c_name()));
    EXPECT_EQ(std::vector<DWORD>(60, 1000), clock.sleeps());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), deaf.state());
}

TEST(CancellableSleep, SleepsTheFullIntervalAcrossEarlyReturns)
{
    VirtualClock clock;
    const DWORD start = clock.now();
    clock.interruptNextSleep(300);
    service::cancellableSleep(1000);
    EXPECT_EQ((std::vector<DWORD>{1000, 700}), clock.sleeps());
    EXPECT_EQ(1000u, clock.now() - start);
}

void CALLBACK markApc(ULONG_PTR flag)
{
    *reinterpret_cast<bool*>(flag) = true;
}

TEST(CancellableSleep, RunsQueuedProcedureCalls)
{
    bool ran = false;
    ASSERT_TRUE(QueueUserAPC(markApc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&ran)));
    service::cancellableSleep(20);
    EXPECT_TRUE(ran);
}

} // namespace
