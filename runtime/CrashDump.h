#pragma once

#include "runtime/Handle.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <memory>
#include <string>

// STATUS_HEAP_CORRUPTION: raised by the heap when it finds itself damaged.
constexpr DWORD HEAP_CORRUPTION_CODE = 0xC0000374;

// What the product's dumps hold: data segments, the full memory and the handles (type 7).
constexpr MINIDUMP_TYPE FULL_DUMP_TYPE =
    static_cast<MINIDUMP_TYPE>(MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData);

class FatalFaultDumper;

// The crash-dump settings of this process and the handlers that write a dump when a fault
// would end it. The one instance is created before the program's entry point: it reads
// "CrashDumpsEnabled", PRODUCT_ROOT_D, "CrashDumpsLocation" (default PRODUCT_ROOT_D\etc\crashdumps)
// and "CrashDumpsMaxCount" (default 10) from the product configuration and creates the
// directory; any failure leaves dumps disabled. At a normal exit only the newest maxCount
// dumps of this program remain there.
class CrashDumpInfo {
public:
    static CrashDumpInfo& instance() { return instance_; }

    bool enabled() const { return enabled_; }
    const std::wstring& location() const { return location_; }

    // A new dump's path: the location, the program's name without extension and the local
    // time, e.g. C:\Tarvo\etc\crashdumps\wardenlight20260315_140207.dmp. Raises when dumps
    // are disabled.
    std::wstring getFileName() const;

    // The product writes full-memory dumps; tests choose a small type.
    MINIDUMP_TYPE dumpType() const { return dumpType_.load(); }
    void setDumpType(MINIDUMP_TYPE type) { dumpType_.store(type); }

    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

private:
    CrashDumpInfo();
    ~CrashDumpInfo();

    void readSettings();
    void prune() const noexcept;

    static CrashDumpInfo instance_;

    bool enabled_ = false;
    DWORD maxCount_ = 10;
    std::wstring location_;
    std::wstring prefix_;
    std::atomic<MINIDUMP_TYPE> dumpType_{FULL_DUMP_TYPE};
    UniqueVectoredHandler heapHandler_;
    std::unique_ptr<FatalFaultDumper> fatalDumper_;
};

// Writes a dump of this process to path, with the fault that pointers describe (none when
// null) raised on faultingThread. The file is always created new: when path is taken, the
// dump gets the first free name with "_2", "_3", ... before the extension. Returns the path
// written; a failure is logged as an error and gives an empty path.
std::wstring internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers, MINIDUMP_TYPE type,
                                  DWORD faultingThread = GetCurrentThreadId()) noexcept;

// A dump of the fault at pointers into the crash-dump directory, when dumps are enabled.
// Returns the path written, empty when none was.
std::wstring writeCrashDump(EXCEPTION_POINTERS* pointers, const CrashDumpInfo& info,
                            DWORD faultingThread = GetCurrentThreadId()) noexcept;
