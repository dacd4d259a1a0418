// A tree refresh of the control dialog against the status and display-name queries that it
// cannot do without, for catalogues of 10, 100 and 300 installed services, in the same run.
// The difference is what the tree adds: the catalogue reads, the existence checks, the
// nodes and their images, and the tray icon's refresh. Then the image list and the private
// memory after the first and after 1 000 refreshes of the same tree: neither may grow with
// the refreshes.
#include "app/ControlDlg.h"
#include "app/TrayIcon.h"
#include "bench/Timing.h"
#include "resource.h"
#include "services/Service.h"

#include "support/DialogHarness.h"
#include "support/TestBed.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int kSizes[] = {10, 100, 300};
constexpr int kRounds = 5;

// Private bytes and working set in KiB. Wine counts as private only what is swapped out, so
// under Wine the working set is the figure that shows growth.
std::pair<size_t, size_t> memoryKiB()
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    return {memory.PrivateUsage / 1024, memory.WorkingSetSize / 1024};
}

size_t shownServices(const ControlDlg& dialog)
{
    size_t count = 0;
    for (const auto& group : *dialog.groups())
        count += group->services.size();
    return count;
}

} // namespace

int main()
{
    const std::wstring prefix = testbed::uniqueName(L"wltree") + L"_";
    const std::wstring package = prefix + L"pkg";
    std::vector<std::unique_ptr<TestService>> services;
    TestCatalogue catalogue;
    catalogue.package(package, L"core");
    if (!catalogue.foreignPackages().empty()) {
        std::printf("tree_bench: the catalogue holds packages of someone else\n");
        return 1;
    }

    const auto grow = [&](int size) {
        while (static_cast<int>(services.size()) < size) {
            const std::wstring name = prefix + std::to_wstring(services.size());
            services.push_back(std::make_unique<TestService>(name, L"Tree bench " + name, L""));
            catalogue.service(package, L"core", name, services.size() % 2 ? L"Bench A" : L"Bench B");
        }
    };

    // Creating the dialog is the first refresh.
    grow(kSizes[0]);
    int images[2] = {};
    std::pair<size_t, size_t> memory[2] = {};
    {
        DialogHarness harness;
        images[0] = ImageList_GetImageCount(harness.dialog().imageList());
        memory[0] = memoryKiB();
        for (int refresh = 1; refresh < 1000; ++refresh)
            harness.command(IDC_REFRESH);
        images[1] = ImageList_GetImageCount(harness.dialog().imageList());
        memory[1] = memoryKiB();
    }
    std::printf("tree_bench: %d services %18s %12s %16s\n", kSizes[0], "images", "private KiB", "working set KiB");
    std::printf("  after     1 refresh   %16d %12zu %16zu\n", images[0], memory[0].first, memory[0].second);
    std::printf("  after 1 000 refreshes %16d %12zu %16zu\n", images[1], memory[1].first, memory[1].second);

    std::printf("tree_bench: median of %d rounds\n", kRounds);
    std::printf("  %8s %14s %14s %8s %16s\n", "services", "refresh ms", "queries ms", "ratio", "refresh/service");
    bool complete = true;
    for (const int size : kSizes) {
        grow(size);
        DialogHarness harness;
        std::vector<double> refresh, queries;
        for (int round = 0; round < kRounds; ++round) {
            double start = nowMs();
            harness.command(IDC_REFRESH);
            refresh.push_back(nowMs() - start);

            start = nowMs();
            int answered = 0;
            for (const auto& svc : services) {
                answered += service::effStatus(svc->c_name()) == service::statusStopped;
                answered -= service::serviceDisplayName(svc->name()).empty();
            }
            queries.push_back(nowMs() - start);
            complete = complete && answered == size;
        }
        complete = complete && shownServices(harness.dialog()) == static_cast<size_t>(size);
        const double tree = median(refresh), bare = median(queries);
        std::printf("  %8d %14.2f %14.2f %8.2f %13.3f ms\n", size, tree, bare, bare > 0 ? tree / bare : 0.0,
                    tree / size);
    }
    return complete && images[1] == images[0] ? 0 : 1;
}
