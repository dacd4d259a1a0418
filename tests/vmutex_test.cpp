#include "runtime/VMutex.h"
#include "support/Capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// Each thread is joined, so it has ended (and left what it held) before the next step.
TEST(VMutex, ObjectsWithOneNameShareTheMutexAndAnAbandonedOneCountsAsAcquired)
{
    const std::wstring name = testbed::uniqueName(L"wl_vmutex");
    VMutex first(name), second(name);
    ASSERT_TRUE(first.lock(0));
    std::thread([&] { EXPECT_FALSE(second.lock(0)) << "second object took a mutex the first holds"; }).join();
    first.unlock();
    std::thread([&] { ASSERT_TRUE(second.lock(0)); }).join(); // ends still owning it
    EXPECT_TRUE(first.lock(0));
    std::thread([&] { EXPECT_FALSE(second.lock(0)) << "the abandoned mutex was not taken for real"; }).join();
}

// The waiter queues a call to itself, which runs as soon as its wait begins; a second call
// can only run while the wait still goes on after the first.
TEST(VMutex, WaitGoesOnAfterAnAsynchronousProcedureCall)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_apc"));
    ASSERT_TRUE(mutex.lock());
    const UniqueHandle first(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const UniqueHandle second(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const PAPCFUNC signal = [](ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); };
    UniqueHandle waiter;
    std::atomic<bool> released{false}, acquiredAfterRelease{false};
    std::thread thread([&] {
        waiter.reset(OpenThread(THREAD_SET_CONTEXT | SYNCHRONIZE, FALSE, GetCurrentThreadId()));
        QueueUserAPC(signal, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(first.get()));
        acquiredAfterRelease = mutex.lock() && released;
        mutex.unlock();
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.get(), 60000)) << "the wait is not alertable";
    QueueUserAPC(signal, waiter.get(), reinterpret_cast<ULONG_PTR>(second.get()));
    const HANDLE ends[] = {second.get(), waiter.get()};
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, ends, FALSE, 60000)) << "the wait ended with the first call";
    released = true;
    mutex.unlock();
    thread.join();
    EXPECT_TRUE(acquiredAfterRelease);
}
