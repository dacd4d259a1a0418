#include "support/VirtualClock.h"

#include "runtime/PipeChannel.h"

static VirtualClock* current = nullptr;

DWORD WINAPI VirtualClock::tickCount()
{
    return current->tick_;
}

DWORD WINAPI VirtualClock::sleepEx(DWORD milliseconds, BOOL)
{
    VirtualClock& clock = *current;
    clock.sleeps_.push_back(milliseconds);
    Sleep(clock.realPauseMs_);
    const bool early = clock.interruptAfter_ && *clock.interruptAfter_ < milliseconds;
    clock.tick_ += early ? *clock.interruptAfter_ : milliseconds;
    clock.interruptAfter_ = early ? std::nullopt : clock.interruptAfter_;
    return early ? WAIT_IO_COMPLETION : 0;
}

VirtualClock::VirtualClock(DWORD startTick, DWORD realPauseMs)
    : saved_(service::serviceApi()), savedPipeSleep_(Con::pipeApi().connectPause), tick_(startTick),
      realPauseMs_(realPauseMs)
{
    current = this;
    service::serviceApi().getTickCount = &tickCount;
    service::serviceApi().sleepEx = &sleepEx;
    Con::pipeApi().connectPause = &sleepEx;
}

VirtualClock::~VirtualClock()
{
    service::serviceApi() = saved_;
    Con::pipeApi().connectPause = savedPipeSleep_;
}
