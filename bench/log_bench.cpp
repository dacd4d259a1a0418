// Debug-file logging against plain appends of the same bytes: what the named mutex,
// the configuration reads and the open/close per line cost.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "runtime/LogManager.h"

namespace {

const wchar_t CONFIG_KEY[] = L"SOFTWARE\\Tarvo\\KZO Config\\Config";
const int LINES = 10000;

struct SavedValue {
    std::wstring name;
    std::optional<std::pair<DWORD, std::vector<BYTE>>> value;
};

HKEY openConfig()
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY,
                    nullptr, &key, nullptr);
    return key;
}

SavedValue save(HKEY key, const wchar_t* name)
{
    SavedValue saved{name, std::nullopt};
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> data(size);
        if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
            saved.value = std::make_pair(type, data);
    }
    return saved;
}

void restore(HKEY key, const SavedValue& saved)
{
    if (saved.value)
        RegSetValueExW(key, saved.name.c_str(), 0, saved.value->first, saved.value->second.data(),
                       static_cast<DWORD>(saved.value->second.size()));
    else
        RegDeleteValueW(key, saved.name.c_str());
}

double seconds(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

ULONGLONG fileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

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

} // namespace

int main()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"wl_log_bench_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring logs = root + L"\\admin\\logs";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    CreateDirectoryW(logs.c_str(), nullptr);

    const HKEY config = openConfig();
    const SavedValue savedRoot = save(config, L"PRODUCT_ROOT_D");
    const SavedValue savedEnabled = save(config, L"log_debug_enabled");
    RegSetValueExW(config, L"PRODUCT_ROOT_D", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                   static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
    RegDeleteValueW(config, L"log_debug_enabled");

    // Only the debug file: Error lines are written whatever the Debug switch says.
    LogManager& log = LogManager::instance();
    log.settings().eventLogEnabled[LOG_ERROR] = false;
    log.settings().outputEnabled[LOG_ERROR] = false;
    const std::wstring text = L"benchmark line with some typical length to it, number ";

    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < LINES; ++i)
        log.log(LOG_ERROR, text + std::to_wstring(i));
    QueryPerformanceCounter(&end);
    const double logged = seconds(start, end);

    const std::wstring plainPath = root + L"\\plain.log";
    const HANDLE plain = CreateFileW(plainPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    QueryPerformanceCounter(&start);
    const wchar_t mark = L'\xFEFF';
    DWORD written = 0;
    WriteFile(plain, &mark, sizeof(mark), &written, nullptr);
    for (int i = 0; i < LINES; ++i) {
        const std::wstring line = record(L"Error: " + text + std::to_wstring(i));
        WriteFile(plain, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    }
    QueryPerformanceCounter(&end);
    CloseHandle(plain);
    const double appended = seconds(start, end);

    std::wstring debugPath;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((logs + L"\\tarvolog_debug*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        debugPath = logs + L"\\" + found.cFileName;
        FindClose(search);
    }

    std::printf("lines                     %d\n", LINES);
    std::printf("LogManager debug file     %10.0f lines/s  (%llu bytes)\n", LINES / logged,
                static_cast<unsigned long long>(fileSize(debugPath)));
    std::printf("plain WriteFile baseline  %10.0f lines/s  (%llu bytes)\n", LINES / appended,
                static_cast<unsigned long long>(fileSize(plainPath)));
    std::printf("ratio baseline/LogManager %10.1f\n", logged / appended);

    restore(config, savedRoot);
    restore(config, savedEnabled);
    RegCloseKey(config);
    DeleteFileW(debugPath.c_str());
    DeleteFileW(plainPath.c_str());
    RemoveDirectoryW(logs.c_str());
    RemoveDirectoryW((root + L"\\admin").c_str());
    RemoveDirectoryW(root.c_str());
    return 0;
}
