#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/EventLogApi.h"
#include "runtime/Exception.h"
#include "runtime/LogFile.h"
#include "runtime/Strings.h"

// Log levels; each has a name in the debug file and an event type in the event log.
enum LogLevel : int {
    LOG_INFO = 0,
    LOG_WARNING = 1,
    LOG_RESULT = 2,
    LOG_ERROR = 3,
    LOG_UNEXPECTED = 4,
    LOG_CRASH = 5,
};

constexpr int LOG_LEVEL_COUNT = 6;

class LogListener {
public:
    virtual ~LogListener() = default;
    virtual void onException(int level, const vexception& e) = 0;
    virtual void onMessage(int level, const std::wstring& text) = 0;
};

// Lives in the execute context that every module of the process shares, so the
// first module to create it fixes the flags for all. The flags are set once, when the
// settings are created.
struct LogSettings {
    LogSettings() { InitializeCriticalSection(&lock); }
    // Never destroyed: other modules may still log while this one ends.
    ~LogSettings() = delete;
    LogSettings(const LogSettings&) = delete;
    LogSettings& operator=(const LogSettings&) = delete;

    bool outputEnabled[LOG_LEVEL_COUNT] = {};
    bool eventLogEnabled[LOG_LEVEL_COUNT] = {};
    // Guards listeners and outputStarted, which threads of every module share. Held while the
    // listeners are called, so that none is removed while in use; it can be entered again, so
    // a listener may log.
    CRITICAL_SECTION lock;
    std::vector<LogListener*> listeners;
    bool outputStarted = false;
};

// The "Debug" switch of the product configuration (LogConfig: read again when it changes).
bool isDebug();

class LogManager {
public:
    static LogManager& instance();

    // None of these throw: a failing sink is skipped and the others still run.
    void log(int level, const std::wstring& text) noexcept;
    void log(int level, const vexception& e) noexcept;

    // Formats only a line that some sink or listener takes.
    template <class... A>
    void log(int level, const wchar_t* format, const A&... args) noexcept
    {
        try {
            if (wanted(level))
                log(level, formatString(format, args...));
        } catch (...) {
        }
    }

    // Writes the debug lines still waiting (see LogFile).
    void flush() noexcept;

    // The registered event source, registering it when needed; null when that fails.
    HANDLE getEventLog() noexcept;

    LogSettings& settings() noexcept { return *m_settings; }

    // A listener gets every later log call until it is removed; removal waits for calls
    // of other threads under way.
    void addListener(LogListener* listener);
    void removeListener(LogListener* listener) noexcept;

    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    LogManager();
    ~LogManager();

    void writeSinks(int level, const std::wstring& text) noexcept;
    void writeDebugFile(int level, const std::wstring& text) noexcept;
    void writeEventLog(int level, const std::wstring& text) noexcept;
    void writeOutput(const std::wstring& text) noexcept;
    template <typename Call>
    void callListeners(Call call) noexcept;
    // Whether a line at level goes to the debug file: Error and above always, the rest with Debug on.
    static bool debugFileTakes(int level) noexcept;
    // Whether a line at level goes to any sink or listener.
    bool wanted(int level) noexcept;

    LogSettings* m_settings;
    SRWLOCK m_eventLock = SRWLOCK_INIT;
    UniqueEventSource m_eventSource;
    std::wstring m_sourceName;
    LogFile m_debugFile{L"debug", 1};
};
