// The control dialog's tree, built in this process as the program builds it.
// Memory: after the first, the 1 000th and the 2 000th refresh of a tree of 21 services, the
// process's anonymous resident memory (RssAnon of its Unix process: Wine reports no private
// bytes), its GDI, USER and kernel handles (Wine counts none, so also the value a new kernel
// handle gets: it climbs when handles leak) and the tree's images. What grows up to the
// 1 000th refresh and then stops is the heap warming up; growth after it is a leak.
// Cost: a tree refresh against the one listing of the services that it cannot do without, and
// against the per-service status and display-name queries that refreshes used to make (which
// they took a third longer than), for 10 to 300 services, rounds interleaved so that a busy
// machine slows all. The difference to the listing is what the tree adds: the catalogue reads,
// the start types of stopped services, the nodes and their images, and the tray icon's refresh.
//
//   tree_bench [refreshes]   the last memory figure after that many refreshes (at least 1 000);
//                            the program's own memory over 10 000 refreshes is program_bench's
#include "app/ControlDlg.h"
#include "bench/Timing.h"
#include "resource.h"
#include "services/Service.h"

#include "support/DialogHarness.h"
#include "support/TestBed.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kMemoryServices = 21;
constexpr int kSizes[] = {10, 25, 50, 100, 150, 200, 300}; // 10 < kMemoryServices < 25
constexpr int kRounds = 7;
constexpr double kMemoryGoal = 1.02;
constexpr double kListingGoal = 3.0;
// Ten times faster than a refresh that took 4/3 of the per-service queries.
constexpr double kPerServiceGoal = 4.0 / 3.0 / 10.0;

struct Footprint {
    long rssAnonKiB = 0;
    DWORD gdiObjects = 0;
    DWORD userObjects = 0;
    DWORD handles = 0;
    ULONG_PTR nextHandle = 0;
    int images = 0;
};

// The folder of the Unix process that runs this program. Wine opens files in its server, so
// Z:\proc\self would be the server's own: the process is the one that has this program's file
// mapped. Empty when it cannot be found.
std::wstring unixProcessFolder()
{
    using ToUnix = char*(CDECL*)(LPCWSTR);
    const FARPROC function = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(function));
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    char* path = toUnix ? toUnix(module) : nullptr;
    if (!path)
        return L"";
    const std::string self = path;
    HeapFree(GetProcessHeap(), 0, path);

    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return L"";
    std::wstring found;
    do {
        if (!std::iswdigit(entry.cFileName[0]))
            continue;
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + entry.cFileName;
        std::ifstream maps((folder + L"\\maps").c_str());
        for (std::string line; found.empty() && std::getline(maps, line);)
            if (line.size() >= self.size() && line.compare(line.size() - self.size(), self.size(), self) == 0)
                found = folder;
    } while (found.empty() && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

long rssAnonKiB()
{
    static const std::wstring folder = unixProcessFolder();
    std::ifstream status((folder + L"\\status").c_str());
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 8, "RssAnon:") == 0)
            return std::atol(line.c_str() + 8);
    return 0;
}

Footprint footprint(DialogHarness& harness)
{
    Footprint now;
    now.rssAnonKiB = rssAnonKiB();
    now.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    now.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    GetProcessHandleCount(GetCurrentProcess(), &now.handles);
    const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    now.nextHandle = reinterpret_cast<ULONG_PTR>(probe);
    CloseHandle(probe);
    now.images = ImageList_GetImageCount(harness.dialog().imageList());
    return now;
}

size_t shownServices(ControlDlg& dialog)
{
    size_t count = 0;
    for (const auto& group : dialog.groups())
        count += group->services.size();
    return count;
}

class Bench {
public:
    Bench() : prefix_(testbed::uniqueName(L"wltree") + L"_"), package_(prefix_ + L"pkg")
    {
        catalogue_.package(package_, L"core");
    }

    bool catalogueIsOurs() const { return catalogue_.foreignPackages().empty(); }

    void grow(int size)
    {
        while (static_cast<int>(services_.size()) < size) {
            const std::wstring name = prefix_ + std::to_wstring(services_.size());
            services_.push_back(std::make_unique<TestService>(name, L"Tree bench " + name, L""));
            catalogue_.service(package_, L"core", name, services_.size() % 2 ? L"Bench A" : L"Bench B");
        }
    }

    // The size of one listing of every Win32 service, asked beforehand: the call carries its
    // whole buffer, so the cheapest listing is one that just fits.
    static DWORD listingSize()
    {
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        ENUM_SERVICE_STATUS_PROCESSW first;
        DWORD needed = 0, count = 0, resume = 0;
        EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                              reinterpret_cast<BYTE*>(&first), sizeof(first), &needed, &count, &resume, nullptr);
        return needed + sizeof(first);
    }

    // One listing of every Win32 service on one connection, in a buffer of size bytes; counts
    // the bench's services in it.
    int listing(DWORD size) const
    {
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        std::vector<BYTE> buffer(size);
        DWORD needed = 0, count = 0, resume = 0;
        EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        return static_cast<int>(std::count_if(entries, entries + count, [&](const ENUM_SERVICE_STATUS_PROCESSW& entry) {
            return std::wstring(entry.lpServiceName).rfind(prefix_, 0) == 0;
        }));
    }

    // The queries refreshes used to make per service; counts the answers that came back.
    int bareQueries() const
    {
        int answered = 0;
        for (const auto& svc : services_) {
            answered += service::effStatus(svc->c_name()) == service::statusStopped;
            answered -= service::serviceDisplayName(svc->name()).empty();
        }
        return answered;
    }

private:
    std::wstring prefix_, package_;
    std::vector<std::unique_ptr<TestService>> services_;
    TestCatalogue catalogue_;
};

// Each refresh is followed by what the message loop would do next (painting a shown tree, the
// timer). The recording stand-in for the shell keeps every tray call; dropping them keeps the
// bench's own records out of the figures.
void refresh(const DialogHarness& harness, int times)
{
    for (int i = 0; i < times; ++i) {
        harness.command(IDC_REFRESH);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        DialogHarness::trayRecords.clear();
    }
}

void printFootprint(const char* when, const Footprint& at)
{
    std::printf("  %-24s %12ld %6lu %6lu %8lu %12llu %7d\n", when, at.rssAnonKiB, at.gdiObjects, at.userObjects,
                at.handles, static_cast<unsigned long long>(at.nextHandle), at.images);
}

bool measureMemory(Bench& bench, int refreshes)
{
    bench.grow(kMemoryServices);
    DialogHarness harness; // creating the dialog is the first refresh
    ShowWindow(harness.window(), SW_SHOWNA);
    UpdateWindow(harness.window());
    // Shown, the dialog watches every service of its tree; each watch is a thread and a
    // connection that come up in the background (about 0.8 MB each under Wine). The first
    // figure waits for them: they are the dialog's, not the refreshes'.
    harness.settle();
    harness.runUntil([] { return false; }, 3000);
    DialogHarness::trayRecords.clear();
    const Footprint first = footprint(harness);
    refresh(harness, 999);
    const Footprint thousand = footprint(harness);
    refresh(harness, refreshes - 1000);
    const Footprint last = footprint(harness);

    const std::string lastName = std::to_string(refreshes);
    std::printf("tree_bench: memory of %d refreshes of %d services (RssAnon: anonymous resident memory)\n",
                refreshes, kMemoryServices);
    std::printf("  %-24s %12s %6s %6s %8s %12s %7s\n", "after", "RssAnon kB", "GDI", "USER", "handles",
                "next handle", "images");
    printFootprint("the first refresh", first);
    printFootprint("1000 refreshes", thousand);
    printFootprint((lastName + " refreshes").c_str(), last);

    const double warmUp = static_cast<double>(thousand.rssAnonKiB) / static_cast<double>(first.rssAnonKiB);
    const double growth = static_cast<double>(last.rssAnonKiB) / static_cast<double>(thousand.rssAnonKiB);
    std::printf("RESULT|RssAnon after 1000 tree refreshes (21 services) vs after the first|%ld kB|%ld kB|%.3f|%.2f\n",
                thousand.rssAnonKiB, first.rssAnonKiB, warmUp, kMemoryGoal);
    std::printf("RESULT|RssAnon after %s tree refreshes (21 services) vs after 1000|%ld kB|%ld kB|%.3f|%.2f\n",
                lastName.c_str(), last.rssAnonKiB, thousand.rssAnonKiB, growth, kMemoryGoal);
    // Objects and handles are counted exactly: any growth is a leak.
    return last.gdiObjects == first.gdiObjects && last.userObjects == first.userObjects &&
           last.handles <= first.handles && last.nextHandle <= first.nextHandle && last.images == first.images;
}

bool measureCost(Bench& bench, int size)
{
    bench.grow(size);
    DialogHarness harness;
    bool complete = true;
    std::vector<double> tree, listing, bare, listingRatio, bareRatio;
    for (int round = -1; round < kRounds; ++round) {
        double start = nowMs();
        refresh(harness, 1);
        const double treeMs = nowMs() - start;
        const DWORD listingSize = Bench::listingSize();
        start = nowMs();
        complete = bench.listing(listingSize) == size && complete;
        const double listingMs = nowMs() - start;
        start = nowMs();
        complete = bench.bareQueries() == size && complete;
        const double bareMs = nowMs() - start;
        if (round < 0)
            continue;
        tree.push_back(treeMs);
        listing.push_back(listingMs);
        bare.push_back(bareMs);
        listingRatio.push_back(treeMs / listingMs);
        bareRatio.push_back(treeMs / bareMs);
    }
    // The median of the rounds' own ratios: a round that the machine slowed slows all.
    const double treeMs = median(tree), listingMs = median(listing), bareMs = median(bare);
    std::printf("tree_bench: %d services, median of %d rounds: refresh %.2f ms, one listing %.2f ms (ratio %.2f), "
                "per-service queries %.2f ms (ratio %.3f), %.3f ms a service\n",
                size, kRounds, treeMs, listingMs, median(listingRatio), bareMs, median(bareRatio), treeMs / size);
    std::printf("POINT|tree refresh|%d|%.2f|%.2f\n", size, treeMs, listingMs);
    if (size == 10 || size == 100 || size == 300)
        std::printf("RESULT|tree refresh of %d services vs one listing of the services|%.1f ms|%.2f ms|%.2f|%.2f\n",
                    size, treeMs, listingMs, median(listingRatio), kListingGoal);
    if (size == 300)
        std::printf("RESULT|tree refresh of %d services vs the per-service queries of earlier refreshes|%.1f ms|"
                    "%.1f ms|%.3f|%.3f\n",
                    size, treeMs, bareMs, median(bareRatio), kPerServiceGoal);
    return complete && shownServices(harness.dialog()) == static_cast<size_t>(size);
}

} // namespace

int main(int argc, char** argv)
{
    // Each line as it comes: the memory figures take many minutes.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int refreshes = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 2000;
    Bench bench;
    if (!bench.catalogueIsOurs()) {
        std::printf("tree_bench: the catalogue holds packages of someone else\n");
        return 1;
    }
    // The catalogue only grows: the memory figures come on the way from 10 to 25 services.
    bool good = measureCost(bench, kSizes[0]);
    good = measureMemory(bench, refreshes) && good;
    for (const int size : kSizes)
        if (size > kMemoryServices)
            good = measureCost(bench, size) && good;
    return good ? 0 : 1;
}
