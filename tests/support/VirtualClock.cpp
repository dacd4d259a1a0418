#include "support/VirtualClock.h"

#include "runtime/PipeChannel.h"

namespace {

struct {
    DWORD tick, realPauseMs, interruptAfter;
    bool interrupt;
    std::vector<DWORD> sleeps;
} g;

DWORD WINAPI virtualTickCount()
{
    return g.tick;
}

DWORD WINAPI virtualSleepEx(DWORD milliseconds, BOOL)
{
    g.sleeps.push_back(milliseconds);
    Sleep(g.realPauseMs);
    const bool early = g.interrupt && g.interruptAfter < milliseconds;
    g.interrupt = g.interrupt && !early;
    g.tick += early ? g.interruptAfter : milliseconds;
    return early ? WAIT_IO_COMPLETION : 0;
}

} // namespace

VirtualClock::VirtualClock(DWORD startTick, DWORD realPauseMs)
    : saved_(service::serviceApi()), savedPipeSleep_(Con::pipeApi().connectPause)
{
    g = {startTick, realPauseMs, 0, false, {}};
    service::serviceApi().getTickCount = &virtualTickCount;
    service::serviceApi().sleepEx = &virtualSleepEx;
    Con::pipeApi().connectPause = &virtualSleepEx;
}

VirtualClock::~VirtualClock()
{
    service::serviceApi() = saved_;
    Con::pipeApi().connectPause = savedPipeSleep_;
}

DWORD VirtualClock::now() const
{
    return g.tick;
}

const std::vector<DWORD>& VirtualClock::sleeps() const
{
    return g.sleeps;
}

void VirtualClock::interruptNextSleep(DWORD afterMs)
{
    g.interrupt = true;
    g.interruptAfter = afterMs;
}
