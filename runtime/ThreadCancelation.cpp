#include "runtime/ThreadCancelation.h"

#include <map>
#include <mutex>

namespace {

thread_local ThreadCancelation::CancelationPoint* innermost = nullptr;

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
