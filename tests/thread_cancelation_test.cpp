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
        EXPECT_EQ(&wait, ThreadCancelation::innermostPoint(GetCurrentThreadId()));
        EXPECT_TRUE(wait.outer() == &outer && !wait.rememberOnly());
        std::thread([] { EXPECT_EQ(nullptr, Point(true).outer()) << "another thread's chain is its own"; }).join();
    }
    EXPECT_TRUE(ThreadCancelation::innermostPoint(GetCurrentThreadId()) == &outer && outer.rememberOnly());
}
