// Start-up of the real wardenlight.exe until its tray icon shows, against icon_program.exe,
// which only registers a window and adds an icon, both started the same way in turns, over a
// catalogue of 21 services. Then the steps the program takes around its icon, timed in this
// process, to show where the difference goes.
#include "bench/BenchCatalogue.h"
#include "bench/Timing.h"
#include "panel/UserInformation.h"
#include "resource.h"
#include "runtime/VSID.h"

#include "support/ChildTest.h"
#include "support/DialogHarness.h"
#include "support/ProgramWindows.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kRounds = 7;

const std::wstring program = testbed::binDir() + L"\\wardenlight.exe";
const std::wstring iconProgram = testbed::binDir() + L"\\icon_program.exe";

// Milliseconds from CreateProcess until one more icon shows, -1 when none does; then ends
// the program and waits until its icon has gone.
double startUntilIcon(const std::wstring& path)
{
    const int before = trayIcons();
    const double start = nowMs();
    const testbed::ChildTest started(L"", {}, path);
    const bool shown = eventually([&] { return trayIcons() > before; }, 30000, 2);
    const double elapsed = nowMs() - start;
    if (path == program) {
        const testbed::ChildTest exit(L"exit", {}, program);
        WaitForSingleObject(exit.process(), 30000);
    } else {
        eventually([] { return FindWindowW(kIconProgramClass, nullptr) != nullptr; });
        PostMessageW(FindWindowW(kIconProgramClass, nullptr), WM_CLOSE, 0, 0);
    }
    const bool ended = WaitForSingleObject(started.process(), 30000) == WAIT_OBJECT_0;
    return shown && ended && eventually([&] { return trayIcons() == before; }) ? elapsed : -1;
}

template <typename Step>
double timed(Step step)
{
    const double start = nowMs();
    step();
    return nowMs() - start;
}

// The program's steps around its icon, as main() takes them: the administrator check before it,
// the common controls and the dialog after it.
void printSteps()
{
    const double user = timed([] {
        createUserInformation()->isGroupMember(VSID::findAccount(VSID::admins().get()),
                                               VSID::findAccount(VSID::currentUser().get()));
    });
    const double controls = timed([] {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        InitCommonControlsEx(&classes);
    });
    std::unique_ptr<DialogHarness> harness;
    const double dialog = timed([&] { harness = std::make_unique<DialogHarness>(); });
    const double tree = timed([&] { harness->command(IDC_REFRESH); });
    harness.reset();
    std::printf("  in this process: administrator check %.1f ms; after the icon: common controls %.1f ms, dialog "
                "with its first tree refresh %.1f ms (a refresh alone %.1f ms)\n",
                user, controls, dialog, tree);
}

} // namespace

int main()
{
    const BenchCatalogue catalogue;
    if (!catalogue.alone()) {
        std::printf("startup_bench: the catalogue holds packages of someone else\n");
        return 1;
    }
    // The first start of each reads the files from disk.
    bool complete = startUntilIcon(iconProgram) >= 0 && startUntilIcon(program) >= 0;
    std::vector<double> own, real;
    for (int round = 0; round < kRounds && complete; ++round) {
        own.push_back(startUntilIcon(iconProgram));
        real.push_back(startUntilIcon(program));
        complete = own.back() >= 0 && real.back() >= 0;
    }
    if (!complete) {
        std::printf("startup_bench: a program did not show its icon or did not end\n");
        return 1;
    }
    const double base = median(own), figure = median(real);
    std::printf("startup_bench: %d services, median of %d rounds, process start until the tray icon shows\n",
                BenchCatalogue::kServices, kRounds);
    std::printf("  icon_program.exe (baseline) %8.1f ms\n", base);
    std::printf("  wardenlight.exe             %8.1f ms\n", figure);
    printSteps();
    std::printf("RESULT|start-up until the tray icon|%.0f ms|%.0f ms|%.2f|1.30\n", figure, base, figure / base);
    return 0;
}
