#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "runtime/VMutex.h"

// One write target "tarvolog_<name><yyyymmdd>.log" in PRODUCT_ROOT_D\admin\logs,
// UTF-16 with a byte-order mark. Every write opens and closes the file under a
// named mutex, so writers in several processes interleave whole lines.
class LogFile {
public:
    // name: the log's name (the executable's file name when empty). The registry value
    // "log_<name>_enabled", when present, replaces defaultEnabled. Raises when enabled
    // and PRODUCT_ROOT_D cannot be read.
    LogFile(const std::wstring& name, DWORD defaultEnabled);

    bool enabled() const noexcept { return enabled_ != 0; }

    // Appends timestamp, process id, thread id, text and CR LF. Raises when the file
    // cannot be opened or written.
    void write(const std::wstring& text);

    // The file a write at the given local time goes to.
    std::wstring pathFor(const SYSTEMTIME& localTime) const;

private:
    std::wstring name_;
    DWORD enabled_;
    std::wstring directory_;
    std::unique_ptr<VMutex> mutex_;
};
