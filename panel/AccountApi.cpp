#include "panel/AccountApi.h"

#include "runtime/Exception.h"
#include "runtime/VSID.h"

namespace {

bool processRunsAsLocalSystem()
{
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size))
        WL_THROW_LAST_ERROR(L"CreateWellKnownSid");
    const VSID owner = VSID::processUser();
    return EqualSid(owner.get(), system) != FALSE;
}

} // namespace

const AccountApi& platformAccountApi()
{
    static const AccountApi platform = {
        &NetUserGetLocalGroups, &NetUserGetGroups, &DsRoleGetPrimaryDomainInformation,
        &DsRoleFreeMemory,      &DsGetDcNameW,     &processRunsAsLocalSystem,
    };
    return platform;
}

AccountApi& accountApi()
{
    static AccountApi current = platformAccountApi();
    return current;
}
