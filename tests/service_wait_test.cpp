#include "services/Service.h"

#include "runtime/Exception.h"
#include "support/TestBed.h"
#include "support/TestService.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

// The waits of the service library on a virtual clock: the services and their status are
// real, the minutes of waiting are not.
namespace {

class ServiceWaitTest : public ::testing::Test {
protected:
    ServiceJournal journal;
};

// Each service hangs in START_PENDING with checkpoint 1 for good: given up at the first poll
// after more than min(hint + 300000, 600000) ms.
TEST_F(ServiceWaitTest, FrozenCheckpointIsGivenUpAfterHintPlusFiveMinutesAtMostTen)
{
    const struct {
        DWORD waitHint, pollInterval, givenUpAfter, startTick;
    } cases[] = {
        {0, 1000, 301000, 1000000},        // under 10000: every second
        {0, 1000, 301000, 0xFFFFFFFFu - 100000}, // the tick count wraps meanwhile
        {9999, 1000, 310000, 1000000},
        {10010, 1001, 310310, 1000000},    // in between: a tenth of the hint
        {400000, 10000, 610000, 1000000},  // over 100000: every ten seconds, up to the hard limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waitHint);
        TestService hanging(testServiceName(L"Frozen"), L"Frozen test service " + std::to_wstring(c.waitHint),
                            L"--hang-start --wait-hint " + std::to_wstring(c.waitHint) + L" " + journal.option());
        VirtualClock clock(c.startTick);
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::startService(hanging.c_name()));
        EXPECT_EQ(c.givenUpAfter, clock.now() - c.startTick);
        EXPECT_EQ(std::vector<DWORD>(clock.sleeps().size(), c.pollInterval), clock.sleeps());
        EXPECT_EQ(DWORD(SERVICE_START_PENDING), hanging.state());
    }
}

TEST_F(ServiceWaitTest, ProgressingServiceIsWaitedForPastBothLimits)
{
    // Raises its checkpoint every 100 ms of real time for 4 s, polled every 10 ms of real
    // time that count as 10 s each.
    TestService slow(testServiceName(L"Slow"), L"Slowly starting test service",
                     L"--start-delay 4000 --wait-hint 150000 " + journal.option());
    VirtualClock clock(1000000, 10);
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_GT(clock.now() - 1000000, 600000u);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), slow.state());
}

TEST_F(ServiceWaitTest, HangingStopFailsWithTheTimeoutTextAndAnIgnoredPauseAfterSixtyPolls)
{
    TestService hanging(testServiceName(L"HangStop"), L"Hanging test service",
                        L"--hang-stop --wait-hint 0 " + journal.option());
    TestService deaf(testServiceName(L"Deaf"), L"Deaf test service", L"--ignore-pause " + journal.option());
    hanging.startAndWait();
    deaf.startAndWait();
    {
        VirtualClock clock;
        try {
            service::startStopService(hanging.c_name(), false, nullptr, nullptr);
            ADD_FAILURE() << "the stop did not fail";
        } catch (const vosexception& e) {
            // The system text is that of the test bed (Wine, English).
            EXPECT_EQ(L"Timeout. (Error code 1460) at Stop service " + hanging.name() +
                          L"\n   at (service::startStopService line #)",
                      withoutLines(e.fullText()));
        }
        EXPECT_EQ(301000u, clock.now() - 1000000);
        EXPECT_EQ(DWORD(SERVICE_STOP_PENDING), hanging.state());
    }
    VirtualClock clock;
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::controlService(SERVICE_CONTROL_PAUSE, deaf.c_name()));
    EXPECT_EQ(std::vector<DWORD>(60, 1000), clock.sleeps());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), deaf.state());
}

void CALLBACK markApc(ULONG_PTR flag)
{
    *reinterpret_cast<bool*>(flag) = true;
}

TEST(CancellableSleep, SleepsTheFullIntervalAcrossEarlyReturnsAndRunsQueuedCalls)
{
    {
        VirtualClock clock;
        clock.interruptNextSleep(300);
        service::cancellableSleep(1000);
        EXPECT_EQ((std::vector<DWORD>{1000, 700}), clock.sleeps());
        EXPECT_EQ(1000u, clock.now() - 1000000);
    }
    bool ran = false;
    ASSERT_TRUE(QueueUserAPC(markApc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&ran)));
    service::cancellableSleep(20);
    EXPECT_TRUE(ran);
}

} // namespace
