#include "services/ServiceApi.h"

namespace service {

const ServiceApi& platformServiceApi()
{
    static const ServiceApi platform = {
        &GetTickCount, &SleepEx, &OpenServiceW, &QueryServiceConfigW, &EnumDependentServicesW,
    };
    return platform;
}

SC_HANDLE openManager(const wchar_t* machine, const wchar_t* database, DWORD access)
{
    // Opened by the first caller while the others wait; held for the process's life (the system
    // closes it at the end), which keeps the session every later connection joins.
    static const SC_HANDLE first = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    (void)first;
    return OpenSCManagerW(machine, database, access);
}

ServiceApi& serviceApi()
{
    static ServiceApi current = platformServiceApi();
    return current;
}

} // namespace service
