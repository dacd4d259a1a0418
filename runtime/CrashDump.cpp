#include "runtime/CrashDump.h"

#include "runtime/Config.h"
#include "runtime/Exception.h"
#include "runtime/Guard.h"
#include "runtime/LogConfig.h"
#include "runtime/LogManager.h"
#include "runtime/Path.h"
#include "runtime/Registry.h"

#include <algorithm>
#include <regex>
#include <vector>

// Writes the dump of a fault that nothing handles before the platform's own handling ends the
// process, as the platform's error reporting would. The faulting thread may have no stack left
// or hold locks, so it only hands the fault to a thread started in advance and waits in the
// unhandled-exception filter until that thread has written the dump.
class FatalFaultDumper {
public:
    explicit FatalFaultDumper(const CrashDumpInfo& info);
    ~FatalFaultDumper();
    FatalFaultDumper(const FatalFaultDumper&) = delete;
    FatalFaultDumper& operator=(const FatalFaultDumper&) = delete;

private:
    static LONG WINAPI filter(EXCEPTION_POINTERS* pointers);
    static DWORD WINAPI run(void* self);

    const CrashDumpInfo& info_;
    UniqueHandle request_;
    UniqueHandle done_;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    SRWLOCK faultLock_ = SRWLOCK_INIT; // one fault at a time
    EXCEPTION_POINTERS* pointers_ = nullptr; // null asks the thread to end
    DWORD faultingThread_ = 0;
};

CrashDumpInfo CrashDumpInfo::instance_;

namespace {

std::atomic<FatalFaultDumper*> installedDumper{nullptr};
std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> previousFilter{nullptr};

// Attempts at a free name before a dump is given up.
constexpr unsigned MAX_NAME_ATTEMPTS = 100;

// The dump writer is single-threaded: two dumps at once corrupt its state.
SRWLOCK dumpLock = SRWLOCK_INIT;
// The thread writing a dump: a fault inside the writer must not wait for a dump of its own.
std::atomic<DWORD> dumpWriter{0};

LONG CALLBACK onHeapCorruption(EXCEPTION_POINTERS* pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode == HEAP_CORRUPTION_CODE)
        writeCrashDump(pointers, CrashDumpInfo::instance());
    return EXCEPTION_CONTINUE_SEARCH;
}

// Exceptions of error severity end the process when nothing handles them. C++ exceptions on
// their way to std::terminate and breakpoints do not; a heap corruption was dumped already
// when it was raised.
bool isFatalError(DWORD code)
{
    return (code >> 30) == 3 && code != HEAP_CORRUPTION_CODE;
}

// A name this program gives its dumps: prefix, "yyyymmdd_hhmmss", an optional "_n", ".dmp".
bool isOwnDump(const std::wstring& name, const std::wstring& prefix)
{
    static const std::wregex stamp(L"[0-9]{8}_[0-9]{6}(_[0-9]+)?\\.dmp", std::regex::icase);
    return name.size() > prefix.size() &&
           CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL &&
           std::regex_match(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), stamp);
}

// Creates the dump file new, never replacing one; created receives the name used.
UniqueFileHandle createDumpFile(const std::wstring& path, std::wstring& created)
{
    const size_t name = path.find_last_of(L"\\/");
    size_t extension = path.rfind(L'.');
    if (extension == std::wstring::npos || (name != std::wstring::npos && extension < name))
        extension = path.size();
    for (unsigned attempt = 1;; ++attempt) {
        created = attempt == 1 ? path
                               : path.substr(0, extension) + L"_" + std::to_wstring(attempt) + path.substr(extension);
        UniqueFileHandle file(CreateFileW(extendedLengthPath(created).c_str(), GENERIC_ALL, FILE_SHARE_READ, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return file;
        const DWORD error = GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == MAX_NAME_ATTEMPTS)
            WL_THROW_OS_ERROR((L"CreateFile(" + created + L")").c_str(), error);
    }
}

} // namespace

CrashDumpInfo::CrashDumpInfo()
{
    try {
        readSettings();
    } catch (...) {
        enabled_ = false;
        fatalDumper_.reset();
        heapHandler_.reset();
    }
}

CrashDumpInfo::~CrashDumpInfo()
{
    if (enabled_)
        prune();
}

void CrashDumpInfo::readSettings()
{
    const registry config(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY,
                          KEY_QUERY_VALUE | READ_CONTROL | registry::viewFlag(CONFIG_VIEW), true);
    DWORD enabled = 1;
    config.lookup(L"CrashDumpsEnabled", enabled);
    if (enabled == 0)
        return;
    std::wstring root;
    config.lookup(L"PRODUCT_ROOT_D", root);
    if (root.empty())
        return;
    location_ = joinPath(root, L"etc\\crashdumps");
    config.lookup(L"CrashDumpsLocation", location_);
    makeDir(location_);
    config.lookup(L"CrashDumpsMaxCount", maxCount_);
    const std::wstring program = moduleFileName();
    prefix_ = program.substr(0, program.rfind(L'.'));

    enabled_ = true;
    // First in line, so that the dump shows the heap as it was found damaged.
    heapHandler_.reset(AddVectoredExceptionHandler(1, onHeapCorruption));
    if (!heapHandler_)
        WL_THROW_LAST_ERROR(L"AddVectoredExceptionHandler");
    fatalDumper_ = std::make_unique<FatalFaultDumper>(*this);
}

std::wstring CrashDumpInfo::getFileName() const
{
    if (!enabled_)
        throw vexception(L"Crash dumping does not enabled", WL_CONTEXT());
    SYSTEMTIME now;
    GetLocalTime(&now);
    return joinPath(location_, prefix_ + formatString(L"%04d%02d%02d_%02d%02d%02d.dmp", now.wYear, now.wMonth,
                                                      now.wDay, now.wHour, now.wMinute, now.wSecond));
}

// Oldest first by last write; only this program's dumps count, so other programs' dumps in a
// shared directory stay.
void CrashDumpInfo::prune() const noexcept
{
    try {
        struct Dump {
            FILETIME written;
            std::wstring name;
        };
        std::vector<Dump> dumps;
        WIN32_FIND_DATAW found;
        const UniqueFindHandle search(FindFirstFileW(extendedLengthPath(joinPath(location_, L"*.dmp")).c_str(), &found));
        if (!search)
            return;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isOwnDump(found.cFileName, prefix_))
                dumps.push_back({found.ftLastWriteTime, found.cFileName});
        } while (FindNextFileW(search.get(), &found));
        if (dumps.size() <= maxCount_)
            return;
        std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) {
            const LONG order = CompareFileTime(&a.written, &b.written);
            return order != 0 ? order < 0 : a.name < b.name;
        });
        for (size_t i = 0; i < dumps.size() - maxCount_; ++i)
            DeleteFileW(extendedLengthPath(joinPath(location_, dumps[i].name)).c_str());
    } catch (...) {
        // A dump left over is no reason to disturb the exit.
    }
}

FatalFaultDumper::FatalFaultDumper(const CrashDumpInfo& info)
    : info_(info),
      request_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      done_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!request_ || !done_)
        WL_THROW_LAST_ERROR(L"CreateEvent");
    thread_.reset(CreateThread(nullptr, 0, run, this, 0, &threadId_));
    if (!thread_)
        WL_THROW_LAST_ERROR(L"CreateThread");
    installedDumper = this;
    previousFilter = SetUnhandledExceptionFilter(filter);
}

FatalFaultDumper::~FatalFaultDumper()
{
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previousFilter);
    if (current != filter)
        SetUnhandledExceptionFilter(current); // installed after ours: it stays
    installedDumper = nullptr;
    AcquireSRWLockExclusive(&faultLock_);
    pointers_ = nullptr;
    SetEvent(request_.get());
    ReleaseSRWLockExclusive(&faultLock_);
    WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI FatalFaultDumper::run(void* parameter)
{
    FatalFaultDumper& self = *static_cast<FatalFaultDumper*>(parameter);
    for (;;) {
        WaitForSingleObject(self.request_.get(), INFINITE);
        if (!self.pointers_)
            return 0;
        writeCrashDump(self.pointers_, self.info_, self.faultingThread_);
        SetEvent(self.done_.get());
    }
}

// Runs on the faulting thread with whatever stack it has left: nothing here may need much.
LONG WINAPI FatalFaultDumper::filter(EXCEPTION_POINTERS* pointers)
{
    FatalFaultDumper* self = installedDumper;
    const DWORD thread = GetCurrentThreadId();
    if (self && isFatalError(pointers->ExceptionRecord->ExceptionCode) && thread != self->threadId_ &&
        thread != dumpWriter) {
        AcquireSRWLockExclusive(&self->faultLock_);
        self->pointers_ = pointers;
        self->faultingThread_ = thread;
        SetEvent(self->request_.get());
        WaitForSingleObject(self->done_.get(), INFINITE);
        ReleaseSRWLockExclusive(&self->faultLock_);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = previousFilter;
    return previous ? previous(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

std::wstring internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers, MINIDUMP_TYPE type,
                                  DWORD faultingThread) noexcept
{
    std::wstring written;
    logGuarded(
        LOG_ERROR, {"internalDumpMiniDump", __LINE__},
        [&] {
            std::wstring created;
            UniqueFileHandle file = createDumpFile(path, created);
            MINIDUMP_EXCEPTION_INFORMATION exception{faultingThread, pointers, TRUE};
            AcquireSRWLockExclusive(&dumpLock);
            dumpWriter = GetCurrentThreadId();
            const BOOL dumped = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), type,
                                                  pointers ? &exception : nullptr, nullptr, nullptr);
            const DWORD error = GetLastError();
            dumpWriter = 0;
            ReleaseSRWLockExclusive(&dumpLock);
            file.reset();
            if (!dumped) {
                // A partial file would pass for a dump and count against the newest ones.
                DeleteFileW(extendedLengthPath(created).c_str());
                WL_THROW_OS_ERROR(L"Unable to generate dump file", error);
            }
            written = created;
        },
        L"Unable to call internalDumpMiniDump(%s)", path);
    return written;
}

std::wstring writeCrashDump(EXCEPTION_POINTERS* pointers, const CrashDumpInfo& info, DWORD faultingThread) noexcept
{
    if (!info.enabled() || !pointers)
        return {};
    try {
        return internalDumpMiniDump(info.getFileName(), pointers, info.dumpType(), faultingThread);
    } catch (...) {
        return {};
    }
}
