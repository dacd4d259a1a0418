// A tree refresh asks the service library for the effective status and the display name of
// every listed service. This measures, against one EnumServicesStatusExW call that lists the
// same services with their state and display name in the same run: the per-service queries
// for 100 installed services, and the snapshot (service::queryStates) for 10, 100 and 300.
// The services are stopped, so the snapshot needs the start type of each: the first round
// reads them all, the later ones (the median) find them kept, as refreshes do while no
// service's configuration changes.
#include "bench/Timing.h"
#include "services/Service.h"

#include "support/TestBed.h"
#include "support/TestService.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kPerServiceCount = 100;
constexpr int kSnapshotCounts[] = {10, 100, 300};
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
           && GetLastError() == ERROR_MORE_DATA) {
        buffer.resize(buffer.size() + needed);
        resume = 0;
    }
    CloseServiceHandle(manager);
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    int found = 0;
    for (DWORD i = 0; i < count; ++i)
        if (std::wstring(entries[i].lpServiceName).compare(0, prefix.size(), prefix) == 0
            && entries[i].lpDisplayName && entries[i].ServiceStatusProcess.dwCurrentState != 0)
            ++found;
    return found;
}

// Median times of both, measured in alternating rounds.
std::pair<double, double> measure(const std::function<void()>& figure, const std::function<void()>& baseline)
{
    std::vector<double> figures, baselines;
    for (int round = 0; round < kRounds; ++round) {
        double start = nowMs();
        figure();
        figures.push_back(nowMs() - start);
        start = nowMs();
        baseline();
        baselines.push_back(nowMs() - start);
    }
    return {median(figures), median(baselines)};
}

} // namespace

int main()
{
    const std::wstring prefix = testbed::uniqueName(L"wlbench") + L"_";
    const int total = *std::max_element(std::begin(kSnapshotCounts), std::end(kSnapshotCounts));
    std::vector<std::unique_ptr<TestService>> services;
    service::NameList names;
    for (int i = 0; i < total; ++i) {
        names.push_back(prefix + std::to_wstring(i));
        services.push_back(std::make_unique<TestService>(names.back(), L"Benchmark service " + std::to_wstring(i), L""));
    }

    int stopped = 0, listed = 0;
    const auto [calls, single] = measure(
        [&] {
            stopped = 0;
            for (int i = 0; i < kPerServiceCount; ++i) {
                stopped += service::effStatus(names[i].c_str()) == service::statusStopped;
                stopped -= service::serviceDisplayName(names[i]).empty();
            }
        },
        [&] { listed = enumerate(prefix); });
    std::printf("service_bench: %d services installed, median of %d rounds\n", total, kRounds);
    std::printf("  effStatus + serviceDisplayName for %d: %9.2f ms (%d stopped with a name)\n", kPerServiceCount, calls,
                stopped);
    std::printf("  one EnumServicesStatusExW (baseline): %9.2f ms (%d listed)\n", single, listed);
    std::printf("  ratio: %.1f\n", single > 0 ? calls / single : 0.0);
    bool complete = stopped == kPerServiceCount && listed == total;

    for (int count : kSnapshotCounts) {
        const service::NameList some(names.begin(), names.begin() + count);
        int found = 0;
        const auto [snapshot, listing] = measure(
            [&] {
                found = 0;
                for (const service::ServiceState& state : service::queryStates(some))
                    found += state.installed && state.status == service::statusStopped && !state.displayName.empty();
            },
            [&] { enumerate(prefix); });
        std::printf("RESULT|service snapshot of %d stopped services vs one EnumServicesStatusExW|%.2f ms|%.2f ms|%.2f|"
                    "3.00\n", count, snapshot, listing, snapshot / listing);
        complete = complete && found == count;
    }
    return complete ? 0 : 1;
}
