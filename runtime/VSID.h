#pragma once

#include <windows.h>

#include <string>

// An owned security identifier: either a heap copy or a SID from AllocateAndInitializeSid,
// each released its own way. May be null.
class VSID {
public:
    VSID() noexcept = default;
    // A heap copy of sid; null when sid is not a valid SID.
    explicit VSID(PSID sid);
    VSID(VSID&& other) noexcept;
    VSID& operator=(VSID&& other) noexcept;
    VSID(const VSID&) = delete;
    VSID& operator=(const VSID&) = delete;
    ~VSID();

    // Releases the current SID and holds a heap copy of sid (null when sid is not valid).
    VSID& operator=(PSID sid);

    PSID get() const noexcept { return sid_; }
    explicit operator bool() const noexcept { return sid_ != nullptr; }

    // The user of the current thread's token, or of the process token when the thread has none.
    static VSID currentUser();
    // The user of the process token, whatever the thread impersonates.
    static VSID processUser();
    // S-1-5-32-544, the local Administrators group.
    static VSID admins();
    // The account name of sid without its domain; domain, when given, receives the domain.
    static std::wstring findAccount(PSID sid, std::wstring* domain = nullptr);

private:
    void release() noexcept;

    PSID sid_ = nullptr;
    bool heapCopy_ = true;
};
