#include "runtime/VMutex.h"
#include "support/Capture.h"

#include <gtest/gtest.h>

#include <thread>

static void WINAPI signalEvent(ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }

// Each thread is joined, so it has ended (and left what it held) before the next step. At
// the end a waiter queues a call to itself, which runs as soon as its wait begins; the wait
// must go on until the mutex is free and end with the waiter owning it.
TEST(VMutex, ObjectsWithOneNameShareTheMutexAnAbandonedOneCountsAsAcquiredAndAWaitGoesOnAfterACall)
{
    const std::wstring name = testbed::uniqueName(L"wl_vmutex");
    VMutex first(name), second(name);
    ASSERT_TRUE(first.lock(0));
    std::thread([&] { EXPECT_FALSE(second.lock(0)) << "second object took a mutex the first holds"; }).join();
    first.unlock();
    std::thread([&] { ASSERT_TRUE(second.lock(0)); }).join(); // ends still owning it
    EXPECT_TRUE(first.lock(0));
    std::thread([&] { EXPECT_FALSE(second.lock(0)) << "the abandoned mutex was not taken for real"; }).join();

    const UniqueHandle called(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    bool owned = false;
    std::thread waiter([&] {
        QueueUserAPC(signalEvent, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(called.get()));
        owned = second.lock() && ReleaseMutex(second.handle());
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(called.get(), 60000)) << "the wait is not alertable";
    first.unlock();
    waiter.join();
    EXPECT_TRUE(owned) << "the wait ended with the call, not with the mutex";
    const VMutex moved(std::move(first)); // leaves first without a handle
    EXPECT_EQ(osErrorMessage(ERROR_INVALID_HANDLE, L"Lock object"), testbed::thrown([&] { first.lock(); })->message());
}
