#pragma once
// A thread of its own that runs jobs one at a time, in the order they were posted: the
// operation worker that takes whatever may wait on the outside world off the GUI thread.
#include "runtime/Handle.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

class Worker {
public:
    Worker();
    // stop(INFINITE): the thread never outlives the object.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues job; a job handles its own failures. Ignored once stopped.
    void post(std::function<void()> job);
    // A job is queued or running.
    bool busy() const;
    // Drops the queued jobs, cancels the running one at its next cancellation point and waits
    // up to timeoutMs for the thread to end. False when it still runs then.
    bool stop(DWORD timeoutMs);

private:
    static DWORD WINAPI threadMain(void* self);
    void run();

    mutable std::mutex lock_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    UniqueHandle wake_;
    UniqueHandle thread_;
};
