#pragma once

#include <windows.h>
#include <winsvc.h>

namespace service {

// The platform calls of the service library that tests replace: the clock of the waits,
// so that minutes of waiting pass in milliseconds, and the two dependency queries, which
// some service managers do not answer as Windows does (a replacement learns which service
// a handle stands for from openService). Holds the platform's own functions unless a test
// has installed others.
struct ServiceApi {
    DWORD(WINAPI* getTickCount)();
    DWORD(WINAPI* sleepEx)(DWORD milliseconds, BOOL alertable);
    SC_HANDLE(WINAPI* openService)(SC_HANDLE manager, LPCWSTR name, DWORD access);
    BOOL(WINAPI* queryServiceConfig)(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                                     LPDWORD needed);
    BOOL(WINAPI* enumDependentServices)(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                                        DWORD size, LPDWORD needed, LPDWORD returned);
};

ServiceApi& serviceApi();

// The table as it is before any replacement.
const ServiceApi& platformServiceApi();

// OpenSCManagerW, after the process's first connection to the manager has been made once and
// for all: under Wine, threads that connect first at the same time can end up in two sessions
// of the manager, and a handle of one is then unknown on the other's connections (services that
// "do not exist", notifications that never come). Every handle to the manager opens here.
SC_HANDLE openManager(const wchar_t* machine, const wchar_t* database, DWORD access);

} // namespace service
