#pragma once

#include "services/ServiceApi.h"

#include <optional>
#include <vector>

// While alive, the waits of the service library and the pause between the pipe client's
// connect attempts run on a virtual tick count, so that minutes pass in milliseconds: a
// sleep advances the count by the time asked for, after a short real pause that lets the
// service processes run. One clock at a time, on the thread that waits.
class VirtualClock {
public:
    explicit VirtualClock(DWORD startTick = 1000000, DWORD realPauseMs = 1);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    DWORD now() const { return tick_; }
    // Every sleep asked for since construction, in order.
    const std::vector<DWORD>& sleeps() const { return sleeps_; }
    // The next sleep returns early after part of its time, as when an asynchronous
    // procedure call has run.
    void interruptNextSleep(DWORD afterMs) { interruptAfter_ = afterMs; }

private:
    static DWORD WINAPI tickCount();
    static DWORD WINAPI sleepEx(DWORD milliseconds, BOOL alertable);

    service::ServiceApi saved_;
    DWORD(WINAPI* savedPipeSleep_)(DWORD, BOOL);
    DWORD tick_, realPauseMs_;
    std::optional<DWORD> interruptAfter_;
    std::vector<DWORD> sleeps_;
};
