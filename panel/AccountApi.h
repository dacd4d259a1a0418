#pragma once

#include <windows.h>
#include <dsgetdc.h>
#include <dsrole.h>
#include <lm.h>

// The account-database calls of the user information that tests replace: some platforms
// answer them the same for every name (every user an Administrator, no domain), so a
// replacement must be able to answer as a real machine would. Holds the platform's own
// functions unless a test has installed others.
struct AccountApi {
    NET_API_STATUS(WINAPI* netUserGetLocalGroups)(LPCWSTR server, LPCWSTR user, DWORD level, DWORD flags,
                                                  LPBYTE* buffer, DWORD maxLength, LPDWORD read, LPDWORD total);
    NET_API_STATUS(WINAPI* netUserGetGroups)(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer,
                                             DWORD maxLength, LPDWORD read, LPDWORD total);
    DWORD(WINAPI* dsRoleGetPrimaryDomainInformation)(LPCWSTR server, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL level,
                                                     PBYTE* buffer);
    VOID(WINAPI* dsRoleFreeMemory)(PVOID buffer);
    // The buffer is released with NetApiBufferFree.
    DWORD(WINAPI* dsGetDcName)(LPCWSTR computer, LPCWSTR domain, GUID* domainGuid, LPCWSTR site, ULONG flags,
                               PDOMAIN_CONTROLLER_INFOW* info);
    // Whether the process token's user is LocalSystem (S-1-5-18); no test process runs as it.
    bool (*runsAsLocalSystem)();
};

AccountApi& accountApi();

// The table as it is before any replacement.
const AccountApi& platformAccountApi();
