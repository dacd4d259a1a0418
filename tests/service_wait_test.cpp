#include "services/Service.h"

#include "support/Capture.h"
#include "support/TestService.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

// The waits of the service library on a virtual clock: the services and their status are
// real, the minutes of waiting are not.

// Each frozen service hangs in START_PENDING with checkpoint 1 for good: given up at the
// first poll after more than min(hint + 300000, 600000) ms, polled every tenth of the hint,
// 1 to 10 s.
TEST(ServiceWaitTest, FrozenCheckpointIsGivenUpAfterHintPlusFiveMinutesAtMostTenAndProgressIsWaitedFor)
{
    ServiceJournal journal;
    const struct { DWORD waitHint, pollInterval, givenUpAfter, startTick; } cases[] = {
        {0, 1000, 301000, 1000000}, {0, 1000, 301000, 0xFFFFFFFFu - 100000}, // the tick count wraps meanwhile
        {10010, 1001, 310310, 1000000}, {400000, 10000, 610000, 1000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waitHint);
        TestService hanging(testServiceName(L"Frozen"), L"Frozen",
                            L"--hang-start --wait-hint " + std::to_wstring(c.waitHint) + L" " + journal.option());
        VirtualClock clock(c.startTick);
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::startService(hanging.c_name()));
        EXPECT_EQ(c.givenUpAfter, clock.now() - c.startTick);
        EXPECT_EQ(std::vector<DWORD>(clock.sleeps().size(), c.pollInterval), clock.sleeps());
    }

    // Progress is waited for, a hanging stop or an ignored pause given up. The slow service
    // raises its checkpoint every 100 ms of real time for 4 s, polled every 10 ms of real
    // time that count as 10 s each.
    TestService slow(testServiceName(L"Slow"), L"Slow", L"--start-delay 4000 --wait-hint 150000 " + journal.option());
    TestService hanging(testServiceName(L"HangStop"), L"Hanging", L"--hang-stop --wait-hint 0 " + journal.option());
    TestService deaf(testServiceName(L"Deaf"), L"Deaf", L"--ignore-pause " + journal.option());
    std::optional<VirtualClock> clock(std::in_place, 1000000, 10);
    EXPECT_EQ(0u, service::startService(slow.c_name()));
    EXPECT_GT(clock->now() - 1000000, 600000u);
    hanging.startAndWait();
    deaf.startAndWait();
    clock.emplace();
    EXPECT_EQ(L"Timeout. (Error code 1460) at Stop service " + hanging.name() +
                  L"\n   at (service::startStopService line #)",
              testbed::thrownText([&] { service::startStopService(hanging.c_name(), false, nullptr, nullptr); }));
    EXPECT_EQ(301000u, clock->now() - 1000000);
    EXPECT_EQ(DWORD(ERROR_TIMEOUT), service::controlService(SERVICE_CONTROL_PAUSE, deaf.c_name()));
    EXPECT_EQ(std::vector<DWORD>(301 + 60, 1000), clock->sleeps());
}

static void CALLBACK markApc(ULONG_PTR flag)
{
    *reinterpret_cast<bool*>(flag) = true;
}

// The queued call needs a real, alertable sleep: before any virtual clock.
TEST(CancellableSleep, SleepsTheFullIntervalAcrossEarlyReturnsAndRunsQueuedCalls)
{
    bool ran = false;
    ASSERT_TRUE(QueueUserAPC(markApc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&ran)));
    service::cancellableSleep(20);
    EXPECT_TRUE(ran);
    VirtualClock clock;
    clock.interruptNextSleep(300);
    service::cancellableSleep(1000);
    EXPECT_EQ((std::vector<DWORD>{1000, 700}), clock.sleeps());
}
