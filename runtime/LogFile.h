#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "runtime/Handle.h"
#include "runtime/VMutex.h"

// One write target "tarvolog_<name><yyyymmdd>.log" in PRODUCT_ROOT_D\admin\logs, UTF-16
// with a byte-order mark. The day's file stays open between lines and is replaced by the
// next day's at the first line after midnight. Any thread may write; the object owns the
// open file and guards it with its one lock.
//
// Lines of several processes are kept whole and in order by the named mutex that every
// writer holds for its line, not by appends alone: an append-only handle does not make a
// write atomic everywhere (Wine finds the end of the file and then writes there, so two
// processes can write at the same offset), and the mutex also lets exactly one writer put
// the byte-order mark at the start of a new file.
class LogFile {
public:
    // name: the log's name (the executable's file name when empty). The configuration value
    // "log_<name>_enabled", when present, replaces defaultEnabled.
    LogFile(const std::wstring& name, DWORD defaultEnabled);

    // Whether the log is on, as the configuration says now. Raises when it is on and
    // PRODUCT_ROOT_D cannot be read.
    bool enabled();

    // Appends timestamp, process id, thread id, text and CR LF, when the log is on. Raises
    // when PRODUCT_ROOT_D cannot be read or the file cannot be opened or written.
    void write(const std::wstring& text);

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

private:
    void refreshSettings();
    void openFor(const SYSTEMTIME& now);
    void append(const SYSTEMTIME& now, const std::wstring& text);

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
};
