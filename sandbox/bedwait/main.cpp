// Waits until a freshly booted Wine prefix has finished starting its automatic services.
// Wine's services.exe starts them from a background thread while it already accepts requests,
// and a service started at the same moment can be handed another process's control pipe.
// Exits 0 once no service has been pending or newly started for one second, 1 after 60 s.
#include "runtime/Handle.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

// Count of running services, or -1 while any service is still pending.
int settledRunningCount(SC_HANDLE scm)
{
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL, nullptr,
                          0, &needed, &count, &resume, nullptr);
    std::vector<BYTE> buffer(needed + 4096);
    resume = 0;
    if (!EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL,
                               buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                               nullptr))
        return -1;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    int running = 0;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD state = services[i].ServiceStatusProcess.dwCurrentState;
        if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
            return -1;
        if (state == SERVICE_RUNNING)
            ++running;
    }
    return running;
}

}

int wmain()
{
    const UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!scm) {
        std::fprintf(stderr, "bedwait: OpenSCManager failed with %lu\n", GetLastError());
        return 1;
    }
    int last = -1;
    int stableRounds = 0;
    for (int round = 0; round < 600 && stableRounds < 10; ++round) {
        Sleep(100);
        const int running = settledRunningCount(scm.get());
        stableRounds = running >= 0 && running == last ? stableRounds + 1 : 0;
        last = running;
    }
    if (stableRounds < 10) {
        std::fprintf(stderr, "bedwait: services did not settle\n");
        return 1;
    }
    return 0;
}
