#include "runtime/VMutex.h"

#include "runtime/Exception.h"
#include "runtime/ThreadCancelation.h"

namespace {

// Everyone (S-1-1-0) gets GENERIC_ALL, so writers running under other accounts can
// open the same mutex.
struct EveryoneSecurity {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    BYTE acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;

    EveryoneSecurity()
    {
        DWORD sidSize = sizeof(sid);
        if (!CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize))
            WL_THROW_LAST_ERROR(L"CreateWellKnownSid");
        if (!InitializeAcl(reinterpret_cast<PACL>(acl), sizeof(acl), ACL_REVISION))
            WL_THROW_LAST_ERROR(L"InitializeAcl");
        if (!AddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION, GENERIC_ALL, sid))
            WL_THROW_LAST_ERROR(L"AddAccessAllowedAce");
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
            WL_THROW_LAST_ERROR(L"InitializeSecurityDescriptor");
        if (!SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl), FALSE))
            WL_THROW_LAST_ERROR(L"SetSecurityDescriptorDacl");
        attributes = {sizeof(attributes), &descriptor, FALSE};
    }
};

UniqueHandle createEveryoneMutex(const std::wstring& name)
{
    EveryoneSecurity security;
    UniqueHandle mutex(CreateMutexW(&security.attributes, FALSE, name.c_str()));
    if (!mutex)
        WL_THROW_LAST_ERROR(L"CreateMutex");
    return mutex;
}

} // namespace

bool VSyncObject::lock(DWORD timeout)
{
    // Not a cancellation point: a cancelled thread still logs what it leaves behind.
    return ThreadCancelation::wait(handle_.get(), timeout, false);
}

VMutex::VMutex(const std::wstring& name) : VSyncObject(createEveryoneMutex(name)) {}

void VMutex::unlock() noexcept
{
    ReleaseMutex(handle());
}
