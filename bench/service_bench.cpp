// A tree refresh asks the service library, service by service, for the effective status
// and the display name. This measures that for 100 installed services against one
// EnumServicesStatusExW call that lists the same services with their state and display
// name, in the same run.
#include "bench/Timing.h"
#include "services/Service.h"

#include "support/TestBed.h"
#include "support/TestService.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kServices = 100;
constexpr int kRounds = 5;

// The services of prefix as one enumeration lists them; returns how many it found.
int enumerate(const std::wstring& prefix)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager)
        return -1;
    std::vector<BYTE> buffer(64 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    while (!EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr)
           && GetLastError() == ERROR_MORE_DATA)
        buffer.resize(buffer.size() + needed);
    CloseServiceHandle(manager);
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    int found = 0;
    for (DWORD i = 0; i < count; ++i)
        if (std::wstring(entries[i].lpServiceName).compare(0, prefix.size(), prefix) == 0
            && entries[i].lpDisplayName && entries[i].ServiceStatusProcess.dwCurrentState != 0)
            ++found;
    return found;
}

} // namespace

int main()
{
    const std::wstring prefix = testbed::uniqueName(L"wlbench") + L"_";
    std::vector<std::unique_ptr<TestService>> services;
    for (int i = 0; i < kServices; ++i)
        services.push_back(std::make_unique<TestService>(prefix + std::to_wstring(i),
                                                         L"Benchmark service " + std::to_wstring(i), L""));

    std::vector<double> perService, enumeration;
    int stopped = 0;
    int listed = 0;
    for (int round = 0; round < kRounds; ++round) {
        double start = nowMs();
        stopped = 0;
        for (const auto& svc : services) {
            stopped += service::effStatus(svc->c_name()) == service::statusStopped;
            stopped -= service::serviceDisplayName(svc->name()).empty();
        }
        perService.push_back(nowMs() - start);

        start = nowMs();
        listed = enumerate(prefix);
        enumeration.push_back(nowMs() - start);
    }

    const double calls = median(perService);
    const double single = median(enumeration);
    std::printf("service_bench: %d services, median of %d rounds\n", kServices, kRounds);
    std::printf("  effStatus + serviceDisplayName per service: %9.2f ms (%d stopped with a name)\n", calls, stopped);
    std::printf("  one EnumServicesStatusExW (baseline):       %9.2f ms (%d listed)\n", single, listed);
    std::printf("  ratio: %.1f\n", single > 0 ? calls / single : 0.0);
    return stopped == kServices && listed == kServices ? 0 : 1;
}
