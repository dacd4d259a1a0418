// How fast the real program's dialog answers a plain message (a WM_NULL round trip) while a
// command waits on the outside world: a service start that never finishes, the panel utility
// that does not end, a database server that stays silent. The goal is the budget itself: the
// slowest answer within 100 ms.
#include "bench/Timing.h"
#include "support/BusyProgram.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr double budgetMs = 100;
constexpr double sampleMs = 5000;

void measure(BusyProgram::Wait wait)
{
    const BusyProgram busy(wait);
    if (!busy.dialog()) {
        std::printf("answer_bench: the %ls command did not get to its wait\n", BusyProgram::name(wait));
        return;
    }
    std::vector<double> answers;
    for (const double end = nowMs() + sampleMs; nowMs() < end; Sleep(10)) {
        const double start = nowMs();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(busy.dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result);
        answers.push_back(nowMs() - start);
    }
    std::sort(answers.begin(), answers.end());
    const double slowest = answers.back(), p99 = answers[answers.size() * 99 / 100];
    std::printf("%ls: %zu answers, median %.2f ms, 99th percentile %.2f ms, slowest %.2f ms\n", BusyProgram::name(wait),
                answers.size(), median(answers), p99, slowest);
    std::printf("RESULT|slowest answer of the dialog during a %ls wait|%.1f ms|%.0f ms|%.3f|1.00\n",
                BusyProgram::name(wait), slowest, budgetMs, slowest / budgetMs);
    std::printf("RESULT|99th-percentile answer of the dialog during a %ls wait|%.1f ms|%.0f ms|%.3f|1.00\n",
                BusyProgram::name(wait), p99, budgetMs, p99 / budgetMs);
    const testbed::ChildTest exit(L"exit", {}, testbed::binDir() + L"\\wardenlight.exe");
    WaitForSingleObject(exit.process(), 30000);
}

} // namespace

int main()
{
    for (const BusyProgram::Wait wait : BusyProgram::waits)
        measure(wait);
    return 0;
}
