#include "runtime/ThreadCancelation.h"

#include "runtime/Exception.h"

#include <map>
#include <mutex>

namespace {

thread_local ThreadCancelation::CancelationPoint* innermost = nullptr;
thread_local bool cancelRequested = false;

// Runs on the cancelled thread itself, inside one of its alertable waits.
void WINAPI markCanceled(ULONG_PTR)
{
    cancelRequested = true;
}

// Where a cancel request would find a thread's innermost point.
struct PointTable {
    std::mutex lock;
    std::map<DWORD, ThreadCancelation::CancelationPoint*> points;

    void set(DWORD threadId, ThreadCancelation::CancelationPoint* point)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (point)
            points[threadId] = point;
        else
            points.erase(threadId);
    }
};

PointTable& table()
{
    static PointTable instance;
    return instance;
}

} // namespace

ThreadCancelation::CancelationPoint::CancelationPoint(bool rememberOnly)
    : rememberOnly_(rememberOnly), threadId_(GetCurrentThreadId()), outer_(innermost)
{
    table().set(threadId_, this);
    innermost = this;
}

ThreadCancelation::CancelationPoint::~CancelationPoint()
{
    innermost = outer_;
    table().set(threadId_, outer_);
}

ThreadCancelation::CancelationPoint* ThreadCancelation::innermostPoint(DWORD threadId)
{
    PointTable& points = table();
    std::lock_guard<std::mutex> hold(points.lock);
    const auto found = points.points.find(threadId);
    return found == points.points.end() ? nullptr : found->second;
}

void ThreadCancelation::cancel(HANDLE thread)
{
    if (!QueueUserAPC(&markCanceled, thread, 0))
        WL_THROW_LAST_ERROR(L"QueueUserAPC");
}

bool ThreadCancelation::canceled()
{
    return cancelRequested;
}

void ThreadCancelation::throwIfCanceled()
{
    if (cancelRequested)
        throwCanceled();
}

void ThreadCancelation::throwCanceled()
{
    WL_THROW_OS_ERROR(L"Thread cancelation", ERROR_CANCELLED);
}

bool ThreadCancelation::wait(HANDLE handle, DWORD timeoutMs, bool cancellable)
{
    const CancelationPoint point(false);
    const ULONGLONG start = GetTickCount64();
    for (DWORD remaining = timeoutMs;;) {
        if (cancellable)
            throwIfCanceled();
        switch (WaitForSingleObjectEx(handle, remaining, TRUE)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            return true;
        case WAIT_TIMEOUT:
            return false;
        case WAIT_IO_COMPLETION:
            break;
        default:
            WL_THROW_LAST_ERROR(L"Lock object");
        }
        if (timeoutMs != INFINITE) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeoutMs)
                return false;
            remaining = static_cast<DWORD>(timeoutMs - elapsed);
        }
    }
}
