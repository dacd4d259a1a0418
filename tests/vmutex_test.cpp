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

TEST(VMutex, ObjectsWithOneNameShareTheMutexAndAbandonedCountsAsAcquired)
{
    const std::wstring name = testbed::uniqueName(L"wl_vmutex_shared");
    VMutex first(name);
    VMutex second(name);
    ASSERT_TRUE(first.lock(0));
    onOtherThread([&] { EXPECT_FALSE(second.lock(50)) << "second object took a mutex the first holds"; });
    first.unlock();

    onOtherThread([&] { ASSERT_TRUE(second.lock(0)); }); // the thread ends still owning it
    EXPECT_TRUE(first.lock(0));
    // Acquired for real: another thread cannot have it now.
    onOtherThread([&] { EXPECT_FALSE(second.lock(0)); });
    first.unlock();
}

// A thread waits on a held mutex with timeout and gets an APC meanwhile; the wait must go
// on. Returns 1 when the waiter acquired the mutex after it was released, 0 on time-out.
int waitInterruptedByApc(DWORD timeout)
{
    VMutex mutex(testbed::uniqueName(L"wl_vmutex_apc"));
    EXPECT_TRUE(mutex.lock());
    std::atomic<int> result{-1};
    std::atomic<DWORD> waiterId{0};
    std::thread waiter([&] {
        waiterId = GetCurrentThreadId();
        const bool acquired = mutex.lock(timeout);
        result = acquired ? 1 : 0;
        if (acquired)
            mutex.unlock();
    });
    Sleep(50);
    apcCalls = 0;
    const HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, waiterId);
    EXPECT_TRUE(QueueUserAPC(countApc, thread, 0));
    CloseHandle(thread);
    for (int i = 0; i < 500 && apcCalls == 0; ++i)
        Sleep(10);
    EXPECT_EQ(apcCalls, 1) << "the wait is not alertable";
    if (timeout == INFINITE) {
        Sleep(100);
        EXPECT_EQ(result, -1) << "the lock ended after an APC instead of waiting again";
    } else {
        waiter.join();
    }
    mutex.unlock();
    if (waiter.joinable())
        waiter.join();
    return result;
}

TEST(VMutex, WaitGoesOnAfterAnAsynchronousProcedureCallUntilItsTimeOut)
{
    EXPECT_EQ(waitInterruptedByApc(INFINITE), 1);
    EXPECT_EQ(waitInterruptedByApc(400), 0);
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
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(GetKernelObjectSecurity(mutex.handle(), DACL_SECURITY_INFORMATION, buffer.data(), size, &size));
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl);
    ASSERT_EQ(acl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    const auto allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(everyone);
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize));
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(EqualSid(&allowed->SidStart, everyone));
    // Generic rights may be stored mapped to the mutex's own.
    EXPECT_TRUE(allowed->Mask == GENERIC_ALL || (allowed->Mask & MUTANT_ALL_ACCESS) == MUTANT_ALL_ACCESS)
        << std::hex << allowed->Mask;
}

} // namespace
