#include "runtime/Worker.h"

#include "runtime/Exception.h"
#include "runtime/ThreadCancelation.h"

Worker::Worker() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!wake_)
        WL_THROW_LAST_ERROR(L"CreateEvent");
    thread_.reset(CreateThread(nullptr, 0, &Worker::threadMain, this, 0, nullptr));
    if (!thread_)
        WL_THROW_LAST_ERROR(L"CreateThread");
}

Worker::~Worker()
{
    stop(INFINITE);
}

void Worker::post(std::function<void()> job)
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (stopping_)
            return;
        jobs_.push_back(std::move(job));
    }
    SetEvent(wake_.get());
}

bool Worker::busy() const
{
    const std::lock_guard<std::mutex> hold(lock_);
    return running_ || !jobs_.empty();
}

bool Worker::stop(DWORD timeoutMs)
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (!stopping_) {
            stopping_ = true;
            jobs_.clear();
            ThreadCancelation::cancel(thread_.get());
        }
    }
    SetEvent(wake_.get());
    return WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI Worker::threadMain(void* self)
{
    static_cast<Worker*>(self)->run();
    return 0;
}

void Worker::run()
{
    for (;;) {
        std::function<void()> job;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            running_ = false;
            if (stopping_)
                return;
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
                running_ = true;
            }
        }
        if (job)
            job();
        else
            ThreadCancelation::wait(wake_.get(), INFINITE, false);
    }
}
