#include "runtime/VSID.h"

#include "runtime/Exception.h"
#include "runtime/Handle.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// The TokenUser SID of token, read first into a small buffer and then into one of the size
// the token asks for.
VSID tokenUser(HANDLE token)
{
    // Room for the SID pointer at the start of TOKEN_USER but not for the SID behind it: the
    // first call practically always just reports the size.
    alignas(TOKEN_USER) BYTE small[8];
    static_assert(sizeof(PSID) <= sizeof(small));
    DWORD needed = 0;
    if (GetTokenInformation(token, TokenUser, small, sizeof(small), &needed)) {
        PSID sid;
        std::memcpy(&sid, small, sizeof(sid));
        return VSID(sid);
    }
    if (needed < sizeof(small) + 1)
        WL_THROW_LAST_ERROR(L"GetTokenInformation");
    std::vector<ULONG_PTR> buffer((needed + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
    if (!GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed))
        WL_THROW_LAST_ERROR(L"GetTokenInformation");
    return VSID(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

UniqueHandle processToken()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        WL_THROW_LAST_ERROR(L"OpenProcessToken");
    return UniqueHandle(token);
}

} // namespace

VSID::VSID(PSID sid)
{
    *this = sid;
}

VSID::VSID(VSID&& other) noexcept
    : sid_(std::exchange(other.sid_, nullptr)), heapCopy_(other.heapCopy_)
{
}

VSID& VSID::operator=(VSID&& other) noexcept
{
    if (this != &other) {
        release();
        sid_ = std::exchange(other.sid_, nullptr);
        heapCopy_ = other.heapCopy_;
    }
    return *this;
}

VSID::~VSID()
{
    release();
}

VSID& VSID::operator=(PSID sid)
{
    release();
    heapCopy_ = true;
    if (sid && IsValidSid(sid)) {
        const DWORD length = GetLengthSid(sid);
        if (length != 0) {
            void* copy = std::malloc(length);
            if (!copy)
                WL_THROW_OS_ERROR(L"CopySid", ERROR_NOT_ENOUGH_MEMORY);
            if (!CopySid(length, copy, sid)) {
                const DWORD error = GetLastError();
                std::free(copy);
                WL_THROW_OS_ERROR(L"CopySid", error);
            }
            sid_ = copy;
        }
    }
    return *this;
}

void VSID::release() noexcept
{
    if (!sid_)
        return;
    if (heapCopy_)
        std::free(sid_);
    else
        FreeSid(sid_);
    sid_ = nullptr;
}

VSID VSID::currentUser()
{
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token))
        return tokenUser(UniqueHandle(token).get());
    if (GetLastError() != ERROR_NO_TOKEN)
        WL_THROW_LAST_ERROR(L"OpenThreadToken");
    return tokenUser(processToken().get());
}

VSID VSID::processUser()
{
    return tokenUser(processToken().get());
}

VSID VSID::admins()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &sid))
        WL_THROW_LAST_ERROR(L"AllocateAndInitializeSid");
    VSID result;
    result.sid_ = sid;
    result.heapCopy_ = false;
    return result;
}

std::wstring VSID::findAccount(PSID sid, std::wstring* domain)
{
    DWORD nameLength = MAX_PATH;
    DWORD domainLength = MAX_PATH;
    std::vector<wchar_t> name(nameLength);
    std::vector<wchar_t> domainName(domainLength);
    SID_NAME_USE use;
    BOOL found = LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domainName.data(), &domainLength, &use);
    if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        name.resize(nameLength);
        domainName.resize(domainLength);
        found = LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domainName.data(), &domainLength, &use);
    }
    if (!found) {
        const DWORD error = GetLastError();
        WL_THROW_OS_ERROR(L"LookupAccountName", error);
    }
    if (domain)
        domain->assign(domainName.data());
    return name.data();
}
