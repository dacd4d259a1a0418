#pragma once

#include <windows.h>

#include "runtime/Handle.h"
#include "runtime/RegistryWatch.h"
#include "runtime/Path.h"
#include "runtime/VMutex.h"

#include <atomic>
#include <map>
#include <optional>
#include <string>

// The clock of the log: the local time that stamps its lines and names the day's file, and
// the tick count that paces the look for configuration changes. Tests replace it.
struct LogClock {
    void(WINAPI* getLocalTime)(LPSYSTEMTIME time);
    ULONGLONG(WINAPI* getTickCount64)();
};

// The clock in use; starts with the platform's own calls.
LogClock& logClock();

// The configuration values logging needs, from HKLM "SOFTWARE\Tarvo\KZO Config\Config" in
// the 32-bit view. Reading the registry for every line made logging slow, so the values are
// read once and again after the key has changed: the registry announces a change
// (RegNotifyChangeKeyValue) and the announcement is looked for at most every
// CHANGE_CHECK_MS of the clock, so a change takes effect within that time. Any thread may
// call; the object owns the cached values and guards them with its one lock.
class LogConfig {
public:
    static constexpr ULONGLONG CHANGE_CHECK_MS = 250;

    static LogConfig& instance();

    // The "Debug" switch; a value that goes missing leaves the last one (at first off).
    bool debug() noexcept;

    // A 32-bit value; false when it is missing or of another type.
    bool readDword(const std::wstring& name, DWORD& value) noexcept;

    // PRODUCT_ROOT_D; raises the registry's error when it cannot be read.
    std::wstring productRoot();

    // Changes whenever the values are read again: whoever keeps something derived from them
    // compares it.
    unsigned generation() noexcept;

    LogConfig(const LogConfig&) = delete;
    LogConfig& operator=(const LogConfig&) = delete;

private:
    LogConfig();

    void checkForChange() noexcept;

    SRWLOCK lock_ = SRWLOCK_INIT;
    RegistryWatch watch_;
    std::atomic<bool> checked_{false};
    std::atomic<ULONGLONG> lastCheck_{0};
    std::atomic<unsigned> generation_{0};
    std::atomic<bool> debug_{false};
    std::map<std::wstring, std::optional<DWORD>> dwords_;
    std::wstring productRoot_;
};

// The running executable's full path and its file name with extension.
std::wstring modulePath();
std::wstring moduleFileName();
