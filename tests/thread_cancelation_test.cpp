#include "runtime/ThreadCancelation.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Point = ThreadCancelation::CancelationPoint;

TEST(CancelationPoint, NestedPointsRestoreTheOuterOne)
{
    const DWORD thread = GetCurrentThreadId();
    {
        Point outer(true);
        EXPECT_EQ(&outer, ThreadCancelation::innermostPoint(thread));
        {
            Point wait(false);
            EXPECT_EQ(&wait, ThreadCancelation::innermostPoint(thread));
            EXPECT_EQ(&outer, wait.outer());
            EXPECT_FALSE(wait.rememberOnly());
        }
        EXPECT_EQ(&outer, ThreadCancelation::innermostPoint(thread));
    }
    EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(thread));
}

TEST(CancelationPoint, EachThreadHasItsOwnChain)
{
    const DWORD mainThread = GetCurrentThreadId();
    Point mine(true);
    Point* seenFromOther = nullptr;
    DWORD otherThread = 0;
    std::thread other([&] {
        otherThread = GetCurrentThreadId();
        EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(otherThread));
        Point theirs(true);
        EXPECT_EQ(nullptr, theirs.outer()) << "another thread's point is no outer point here";
        seenFromOther = ThreadCancelation::innermostPoint(mainThread);
    });
    other.join();
    EXPECT_EQ(&mine, seenFromOther);
    EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(otherThread));
}

} // namespace
