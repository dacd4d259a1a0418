#include "support/VirtualClock.h"

namespace {

DWORD g_tick = 0;
DWORD g_realPauseMs = 0;
std::vector<DWORD> g_sleeps;
bool g_interrupt = false;
DWORD g_interruptAfter = 0;

DWORD WINAPI virtualTickCount()
{
    return g_tick;
}

DWORD WINAPI virtualSleepEx(DWORD milliseconds, BOOL)
{
    g_sleeps.push_back(milliseconds);
    Sleep(g_realPauseMs);
    if (g_interrupt && g_interruptAfter < milliseconds) {
        g_interrupt = false;
        g_tick += g_interruptAfter;
        return WAIT_IO_COMPLETION;
    }
    g_tick += milliseconds;
    return 0;
}

} // namespace

VirtualClock::VirtualClock(DWORD startTick, DWORD realPauseMs) : saved_(service::serviceApi())
{
    g_tick = startTick;
    g_realPauseMs = realPauseMs;
    g_sleeps.clear();
    g_interrupt = false;
    service::ServiceApi& api = service::serviceApi();
    api.getTickCount = &virtualTickCount;
    api.sleepEx = &virtualSleepEx;
}

VirtualClock::~VirtualClock()
{
    service::serviceApi() = saved_;
}

DWORD VirtualClock::now() const
{
    return g_tick;
}

const std::vector<DWORD>& VirtualClock::sleeps() const
{
    return g_sleeps;
}

void VirtualClock::interruptNextSleep(DWORD afterMs)
{
    g_interrupt = true;
    g_interruptAfter = afterMs;
}
