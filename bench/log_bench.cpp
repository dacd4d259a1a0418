// Debug-file logging with the Debug switch on, two processes writing at once, against the
// same two processes appending the same records with plain WriteFile calls to files of their
// own: what the configuration look-up, the cross-process mutex and the shared file cost.
// The goal is absolute (50 000 lines/s); its RESULT line gives as goal the ratio at which the
// logging reaches it in this run.
#include <windows.h>

#include <cstdio>
#include <algorithm>
#include <string>

#include "bench/Timing.h"
#include "runtime/Config.h"
#include "runtime/LogManager.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"

namespace {

const int LINES = 20000;
const double GOAL_LINES_PER_SECOND = 50000;
const std::wstring TEXT = L"benchmark line with some typical length to it, number ";

// The record the debug file gets for one line, built the same way.
std::wstring record(const std::wstring& text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t prefix[96];
    swprintf(prefix, 96, L"%04d/%02d/%02d %02d:%02d:%02d.%03d %lu %lu ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds, GetCurrentProcessId(), GetCurrentThreadId());
    return prefix + text + L"\r\n";
}

// One process's share: LINES debug lines through the log, or the same records appended to
// a file of its own.
void writeLines(bool plain, const std::wstring& root)
{
    if (!plain) {
        LogManager& log = LogManager::instance();
        for (int i = 0; i < LINES; ++i)
            log.log(LOG_INFO, TEXT + std::to_wstring(i));
        return;
    }
    const std::wstring path = root + L"\\plain_" + std::to_wstring(GetCurrentProcessId()) + L".log";
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
                                            FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    for (int i = 0; i < LINES; ++i) {
        const std::wstring line = record(L"Info: " + TEXT + std::to_wstring(i));
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    }
    DeleteFileW(path.c_str());
}

HANDLE event(const std::wstring& name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }

// Lines per second of this process and a second one, started together.
double linesPerSecond(const wchar_t* mode, const std::wstring& root)
{
    const std::wstring prefix = L"wl_log_bench_" + std::to_wstring(GetCurrentProcessId()) + mode;
    const UniqueHandle ready(event(prefix + L"_ready")), go(event(prefix + L"_go"));
    testbed::ChildTest other(std::wstring(mode) + L" " + prefix + L" \"" + root + L"\"", {}, testbed::ownPath());
    WaitForSingleObject(ready.get(), INFINITE);
    const double start = nowMs();
    SetEvent(go.get());
    writeLines(mode == std::wstring(L"plain"), root);
    WaitForSingleObject(other.process(), INFINITE);
    return 2 * LINES / ((nowMs() - start) / 1000);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Only the debug file: the other sinks are off for every level.
    LogSettings& settings = LogManager::instance().settings();
    std::fill(std::begin(settings.eventLogEnabled), std::end(settings.eventLogEnabled), false);
    std::fill(std::begin(settings.outputEnabled), std::end(settings.outputEnabled), false);
    if (argc == 4) { // the second process: mode, event prefix, root
        const std::wstring prefix = argv[2];
        SetEvent(UniqueHandle(event(prefix + L"_ready")).get());
        WaitForSingleObject(UniqueHandle(event(prefix + L"_go")).get(), INFINITE);
        writeLines(std::wstring(argv[1]) == L"plain", argv[3]);
        return 0;
    }

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"wl_log_bench_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring logs = root + L"\\admin\\logs";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    CreateDirectoryW(logs.c_str(), nullptr);
    testreg::ScopedValue rootValue(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), debug(CONFIG_ROOT_KEY, L"Debug");
    testreg::ScopedValue enabled(CONFIG_ROOT_KEY, L"log_debug_enabled");
    rootValue.setString(root);
    debug.setDword(1);
    enabled.remove();

    const double logged = linesPerSecond(L"log", root);
    const double plain = linesPerSecond(L"plain", root);

    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((logs + L"\\tarvolog_debug*.log").c_str(), &found);
    const std::wstring debugPath = search != INVALID_HANDLE_VALUE ? logs + L"\\" + found.cFileName : L"";
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(debugPath.c_str(), GetFileExInfoStandard, &data);

    std::printf("lines                                 2 x %d\n", LINES);
    std::printf("LogManager debug file, Debug on       %10.0f lines/s  (%lu bytes)\n", logged, data.nFileSizeLow);
    std::printf("plain WriteFile baseline              %10.0f lines/s\n", plain);
    std::printf("RESULT|debug log with Debug on, two processes at once, vs plain WriteFile|%.0f lines/s|"
                "%.0f lines/s|%.2f|%.2f\n", logged, plain, plain / logged, plain / GOAL_LINES_PER_SECOND);

    DeleteFileW(debugPath.c_str());
    RemoveDirectoryW(logs.c_str());
    RemoveDirectoryW((root + L"\\admin").c_str());
    RemoveDirectoryW(root.c_str());
    return 0;
}
