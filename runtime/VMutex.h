#pragma once

#include <windows.h>

#include <string>

#include "runtime/Handle.h"

// A waitable kernel object.
class VSyncObject {
public:
    // Waits alertably; a wake-up for an I/O completion or APC only waits again for the
    // rest of the time-out. An abandoned object counts as acquired. Returns false on
    // time-out; any other wait failure raises "Lock object".
    bool lock(DWORD timeout = INFINITE);

    HANDLE handle() const noexcept { return handle_.get(); }

protected:
    explicit VSyncObject(UniqueHandle handle) noexcept : handle_(std::move(handle)) {}
    VSyncObject(VSyncObject&&) noexcept = default;
    VSyncObject& operator=(VSyncObject&&) noexcept = default;
    ~VSyncObject() = default;

private:
    UniqueHandle handle_;
};

// A named mutex shared with the panel's other processes, which may run as other
// users: its access list grants Everyone full access.
class VMutex : public VSyncObject {
public:
    // Creates the mutex without taking it, or opens it when it exists.
    explicit VMutex(const std::wstring& name);
    VMutex(VMutex&&) noexcept = default;
    VMutex& operator=(VMutex&&) noexcept = default;

    void unlock() noexcept;
};

// Holds a sync object locked for a scope.
template <class Lockable>
class VLock {
public:
    explicit VLock(Lockable& object) : object_(object) { object_.lock(); }
    ~VLock() { object_.unlock(); }
    VLock(const VLock&) = delete;
    VLock& operator=(const VLock&) = delete;

private:
    Lockable& object_;
};

// Holds a critical section for a scope.
class SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~SectionLock() { LeaveCriticalSection(&section_); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// Holds an SRW lock exclusively for a scope.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};
