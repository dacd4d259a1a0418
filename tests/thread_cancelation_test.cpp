#include "runtime/ThreadCancelation.h"

#include <gtest/gtest.h>

#include <thread>

using Point = ThreadCancelation::CancelationPoint;

// Nested points restore the outer one; another thread's chain is its own.
TEST(CancelationPoint, EachThreadHasItsOwnChainOfNestedPoints)
{
    Point outer(true);
    {
        Point wait(false);
        EXPECT_TRUE(ThreadCancelation::innermostPoint(GetCurrentThreadId()) == &wait && wait.outer() == &outer);
        std::thread([] { EXPECT_EQ(nullptr, Point(true).outer()) << "another thread's chain is its own"; }).join();
    }
    EXPECT_TRUE(ThreadCancelation::innermostPoint(GetCurrentThreadId()) == &outer && outer.rememberOnly());
}
