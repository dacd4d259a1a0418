#include "runtime/ThreadCancelation.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Point = ThreadCancelation::CancelationPoint;

// Nested points restore the outer one; another thread's chain is its own.
TEST(CancelationPoint, EachThreadHasItsOwnChainOfNestedPoints)
{
    const DWORD mainThread = GetCurrentThreadId();
    {
        Point outer(true);
        {
            Point wait(false);
            EXPECT_EQ(&wait, ThreadCancelation::innermostPoint(mainThread));
            EXPECT_EQ(&outer, wait.outer());
            EXPECT_FALSE(wait.rememberOnly());
        }
        EXPECT_EQ(&outer, ThreadCancelation::innermostPoint(mainThread));
        DWORD otherThread = 0;
        std::thread([&] {
            otherThread = GetCurrentThreadId();
            EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(otherThread));
            Point theirs(true);
            EXPECT_EQ(nullptr, theirs.outer()) << "another thread's point is no outer point here";
            EXPECT_EQ(&outer, ThreadCancelation::innermostPoint(mainThread));
        }).join();
        EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(otherThread));
    }
    EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(mainThread));
}

} // namespace
