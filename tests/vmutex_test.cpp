#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/Exception.h"
#include "runtime/VMutex.h"
#include "support/TestBed.h"

namespace {

std::atomic<int> apcCalls{0};

void CALLBACK countApc(ULONG_PTR)
{
    ++apcCalls;
}

// Runs body on a thread of its own and waits for it.
template <class Body>
void onOtherThread(Body body)
{
    std::thread(body).join();
}

} // namespace

TEST(VMutex, ObjectsWithOneNameShareTheMutex)
{
    const std::wstring name = testbed::uniqueName(L"wl_vmutex_shared");
    VMutex first(name);
    VMutex second(name);

    ASSERT_TRUE(first.lock(0));
    onOtherThread([&] { EXPECT_FALSE(second.lock(50)) << "second object took a mutex the first holds"; });
    first.unlock();
    onOtherThread([&] {
        EXPECT_TRUE(second.lock(0));
        second.unlock();
    });
}

TEST(VMutex, AbandonedMutexCountsAsAcquired)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_abandoned"));
    onOtherThread([&] { ASSERT_TRUE(mutex.lock()); }); // the thread ends still owning it

    EXPECT_TRUE(mutex.lock(0));
    // Acquired for real: another thread cannot have it now.
    onOtherThread([&] { EXPECT_FALSE(mutex.lock(0)); });
    mutex.unlock();
}

struct Waiter {
    VMutex* mutex;
    DWORD timeout;
    std::atomic<int> result{-1}; // -1 still waiting, 0 timed out, 1 acquired

    static DWORD WINAPI run(void* parameter)
    {
        auto waiter = static_cast<Waiter*>(parameter);
        const bool acquired = waiter->mutex->lock(waiter->timeout);
        waiter->result = acquired ? 1 : 0;
        if (acquired)
            waiter->mutex->unlock();
        return 0;
    }
};

// Queues an APC to the waiting thread and waits until it has run.
void interruptWait(HANDLE thread)
{
    apcCalls = 0;
    ASSERT_TRUE(QueueUserAPC(countApc, thread, 0));
    for (int i = 0; i < 500 && apcCalls == 0; ++i)
        Sleep(10);
    ASSERT_EQ(apcCalls, 1) << "the wait is not alertable";
}

TEST(VMutex, WaitGoesOnAfterAnAsynchronousProcedureCall)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_apc"));
    ASSERT_TRUE(mutex.lock());

    Waiter waiter{&mutex, INFINITE};
    const HANDLE thread = CreateThread(nullptr, 0, Waiter::run, &waiter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);
    interruptWait(thread);
    Sleep(100);
    EXPECT_EQ(waiter.result, -1) << "the lock ended after an APC instead of waiting again";

    mutex.unlock();
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(waiter.result, 1);
    CloseHandle(thread);
}

TEST(VMutex, InterruptedWaitStillEndsAtItsTimeOut)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_timeout"));
    ASSERT_TRUE(mutex.lock());

    Waiter waiter{&mutex, 400};
    const HANDLE thread = CreateThread(nullptr, 0, Waiter::run, &waiter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);
    interruptWait(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(waiter.result, 0);
    CloseHandle(thread);
    mutex.unlock();
}

TEST(VMutex, FailedWaitRaisesLockObject)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_failed"));
    VMutex taken(std::move(mutex)); // leaves mutex without a handle

    try {
        mutex.lock();
        FAIL() << "waiting on no handle succeeded";
    } catch (const VInvalidHandleException& e) {
        EXPECT_EQ(e.errorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_NE(e.message().find(L"at Lock object"), std::wstring::npos) << testing::PrintToString(e.message());
        ASSERT_EQ(e.contexts().size(), 1u);
        EXPECT_EQ(e.contexts()[0].function, "VSyncObject::lock");
        EXPECT_TRUE(e.contexts()[0].message.empty());
    }
}

TEST(VMutex, AccessListGrantsEveryoneEverything)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_acl"));
    DWORD size = 0;
    GetKernelObjectSecurity(mutex.handle(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(GetKernelObjectSecurity(mutex.handle(), DACL_SECURITY_INFORMATION, buffer.data(), size, &size));

    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(acl, nullptr);

    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(everyone);
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize));
    ASSERT_EQ(acl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    auto allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(EqualSid(&allowed->SidStart, everyone));
    // Generic rights may be stored mapped to the mutex's own.
    EXPECT_TRUE(allowed->Mask == GENERIC_ALL || (allowed->Mask & MUTANT_ALL_ACCESS) == MUTANT_ALL_ACCESS)
        << std::hex << allowed->Mask;
}
