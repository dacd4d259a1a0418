#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/Handle.h"
#include "runtime/VMutex.h"

// One write target "tarvolog_<name><yyyymmdd>.log" in PRODUCT_ROOT_D\admin\logs, UTF-16
// with a byte-order mark. The day's file stays open between lines and is replaced by the
// next day's for the first line after midnight. Any thread may write; the object owns the
// open file and the lines still waiting, and guards them with its one lock.
//
// Lines of several processes are kept whole and in order by the named mutex that a writer
// holds while it appends, not by appends alone: an append-only handle does not make a write
// atomic everywhere (Wine finds the end of the file and then writes there, so two processes
// can write at the same offset), and the mutex also lets exactly one writer put the
// byte-order mark at the start of a new file. Taking the mutex for every line made two busy
// processes take turns line by line, so lines that may wait are queued and go out together,
// in one write under one hold of the mutex, within DEFER_MS (a thread-pool timer), at once
// when MAX_WAITING lines wait, before any line that may not wait, and when the object ends.
class LogFile {
public:
    static constexpr DWORD DEFER_MS = 20;
    static constexpr size_t MAX_WAITING = 512;

    // name: the log's name (the executable's file name when empty). The configuration value
    // "log_<name>_enabled", when present, replaces defaultEnabled.
    LogFile(const std::wstring& name, DWORD defaultEnabled);
    // Writes the lines still waiting.
    ~LogFile();

    // Whether the log is on, as the configuration says now. Raises when it is on and
    // PRODUCT_ROOT_D cannot be read.
    bool enabled();

    // Appends timestamp, process id, thread id, text and CR LF, when the log is on. A line
    // that is not deferrable is in the file, after every line before it, when the call
    // returns; a deferrable one may wait (see above). Raises when PRODUCT_ROOT_D cannot be read or the file cannot be opened or
    // written (the lines of that write are lost).
    void write(const std::wstring& text, bool deferrable = false);

    // Writes the lines still waiting; raises as write does.
    void flush();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

private:
    struct Line {
        SYSTEMTIME time;
        std::wstring record;
    };

    static void CALLBACK flushDue(PTP_CALLBACK_INSTANCE instance, void* file, PTP_TIMER timer);
    void refreshSettings();
    bool scheduleFlush();
    void writeWaiting();
    void openFor(const SYSTEMTIME& day);
    void append(std::wstring records);

    const std::wstring name_;
    const DWORD defaultEnabled_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool settingsRead_ = false;
    unsigned generation_ = 0;
    DWORD enabled_ = 0;
    std::wstring directory_;
    std::unique_ptr<VMutex> mutex_; // created once, when the log is first on
    UniqueFileHandle file_;
    SYSTEMTIME fileDay_ = {};
    std::vector<Line> waiting_;
    UniqueThreadpoolTimer timer_;
    bool timerArmed_ = false;
};
