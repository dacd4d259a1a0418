// testsvc.exe: one service host for many test services. Each installed service runs it with its own
// options in the binary path; the service name comes from the SCM (ServiceMain's first argument).
//
//   --journal PATH        append "YYYY-MM-DD hh:mm:ss.mmm EVENT NAME" lines (UTF-8) to PATH, EVENT being
//                         start (just before RUNNING is reported), pause (before PAUSED), continue (before
//                         RUNNING again) and stop (just before STOPPED is reported, on every path, failed
//                         starts included). Several service processes may share one journal.
//   --start-delay MS      stay START_PENDING for MS milliseconds, raising the checkpoint as it goes.
//   --stop-delay MS       the same for STOP_PENDING after a stop request.
//   --wait-hint MS        wait hint reported with every pending state (default 2000). The checkpoint
//                         advances every min(100, MS/4) ms, but not more often than every 10 ms.
//   --fail-start CODE     after START_PENDING (and the start delay) report STOPPED with exit code CODE.
//   --fail-specific CODE  the same with exit code 1066 and service-specific exit code CODE.
//   --crash-after MS      with --fail-start or --fail-specific: run first, and fail so after MS ms of
//                         running, as a service that crashes does (a stop before then is served).
//   --hang-start          stay START_PENDING with checkpoint 1 for good. Accepts a stop so that tests can
//                         clean up (Wine's SCM forwards a stop to a start-pending service that accepts it).
//   --hang-stop           on a stop request, stay STOP_PENDING with checkpoint 1. The SCM answers any
//                         further stop with 1061, so the way out is the quit file or 120 s.
//   --refuse-stop         never accept a stop (the SCM answers 1052).
//   --pausable            accept pause/continue: PAUSE_PENDING -> PAUSED, CONTINUE_PENDING -> RUNNING.
//   --ignore-pause        accept a pause request (the SCM reports success) but stay RUNNING, unchanged.
//   CODE and MS are decimal or 0x-prefixed hexadecimal.
//
// Way out for the stubborn modes (--hang-start, --hang-stop, --refuse-stop): the service reports STOPPED
// (exit code 0) and ends once the file "<journal>.quit" exists (checked every second), or after 600 s
// (120 s once a hanging stop has begun).
// Invalid options make the service report START_PENDING, then STOPPED with exit code 87.
// Every path reports STOPPED before the process ends: a service process that dies silently would stay
// "running" in Wine's SCM. Run outside the SCM, the program prints its usage and exits with 2.
#include "runtime/Handle.h"

#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <string>

namespace {

constexpr DWORD kDefaultWaitHint = 2000;
constexpr DWORD kQuitPollMs = 1000;
constexpr ULONGLONG kStubbornLimitMs = 600 * 1000;
constexpr ULONGLONG kHangingStopLimitMs = 120 * 1000;

const char kUsage[] =
    "testsvc: test service host, to be started by the Service Control Manager.\n"
    "Options (in the service's binary path):\n"
    "  --journal PATH  --start-delay MS  --stop-delay MS  --wait-hint MS\n"
    "  --fail-start CODE  --fail-specific CODE  --crash-after MS  --hang-start  --hang-stop\n"
    "  --refuse-stop  --pausable  --ignore-pause\n";

struct Options {
    bool valid = true;
    std::wstring journal;
    DWORD startDelay = 0;
    DWORD stopDelay = 0;
    DWORD waitHint = kDefaultWaitHint;
    DWORD failExitCode = NO_ERROR;
    DWORD failSpecificCode = 0;
    DWORD crashAfter = 0;
    bool hangStart = false;
    bool hangStop = false;
    bool refuseStop = false;
    bool pausable = false;
    bool ignorePause = false;
};

bool parseNumber(const wchar_t* text, DWORD& value)
{
    if (!text || !*text || *text == L'-')
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long parsed = std::wcstoul(text, &end, 0);
    if (*end || errno == ERANGE || parsed > MAXDWORD)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

Options parseOptions()
{
    Options options;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const UniqueLocalMemory argvMemory(argv);
    if (!argv) {
        options.valid = false;
        return options;
    }
    bool failStart = false;
    bool failSpecific = false;
    for (int i = 1; i < argc && options.valid; ++i) {
        std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        DWORD* number = nullptr;
        if (arg == L"--journal") {
            if (value && *value)
                options.journal = value;
            else
                options.valid = false;
            ++i;
        } else if (arg == L"--start-delay") {
            number = &options.startDelay;
        } else if (arg == L"--stop-delay") {
            number = &options.stopDelay;
        } else if (arg == L"--wait-hint") {
            number = &options.waitHint;
        } else if (arg == L"--fail-start") {
            number = &options.failExitCode;
            failStart = true;
        } else if (arg == L"--fail-specific") {
            number = &options.failSpecificCode;
            failSpecific = true;
        } else if (arg == L"--crash-after") {
            number = &options.crashAfter;
        } else if (arg == L"--hang-start") {
            options.hangStart = true;
        } else if (arg == L"--hang-stop") {
            options.hangStop = true;
        } else if (arg == L"--refuse-stop") {
            options.refuseStop = true;
        } else if (arg == L"--pausable") {
            options.pausable = true;
        } else if (arg == L"--ignore-pause") {
            options.ignorePause = true;
        } else {
            options.valid = false;
        }
        if (number) {
            options.valid = parseNumber(value, *number);
            ++i;
        }
    }
    if (failStart && failSpecific)
        options.valid = false;
    if (failStart && options.failExitCode == NO_ERROR)
        options.valid = false;
    if (failSpecific)
        options.failExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    if (options.hangStart && (failStart || failSpecific))
        options.valid = false;
    if (options.crashAfter && !failStart && !failSpecific)
        options.valid = false;
    return options;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                        nullptr);
    return out;
}

// Lines from several service processes must not interleave: appends are serialised by a mutex shared by
// every instance, and each line is one write to a handle opened for appending only.
void appendJournal(const std::wstring& path, const char* event, const std::wstring& name)
{
    if (path.empty())
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = std::string(stamp) + event + " " + toUtf8(name) + "\r\n";

    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, L"Local\\testsvc-journal"));
    bool locked = false;
    if (mutex) {
        DWORD wait = WaitForSingleObject(mutex.get(), 10000);
        locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (locked)
        ReleaseMutex(mutex.get());
}

class TestService {
public:
    explicit TestService(const Options& options) : options_(options)
    {
        InitializeCriticalSection(&lock_);
        wakeup_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status_.dwCurrentState = SERVICE_STOPPED;
    }
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;
    ~TestService()
    {
        DeleteCriticalSection(&lock_);
    }

    void run(const std::wstring& name)
    {
        name_ = name;
        handle_ = RegisterServiceCtrlHandlerExW(name_.c_str(), &TestService::controlHandler, this);
        if (!handle_)
            return;
        deadline_ = GetTickCount64() + kStubbornLimitMs;
        report(SERVICE_START_PENDING, 0, 1);
        if (!options_.valid) {
            finish(ERROR_INVALID_PARAMETER, 0);
            return;
        }
        if (options_.hangStart) {
            hangStarting();
            return;
        }
        advancePending(SERVICE_START_PENDING, options_.startDelay);
        if (options_.failExitCode != NO_ERROR && !options_.crashAfter) {
            finish(options_.failExitCode, options_.failSpecificCode);
            return;
        }
        appendJournal(options_.journal, "start", name_);
        report(SERVICE_RUNNING, runningControls(), 0);
        // A control in the meantime stays queued for serve.
        if (options_.crashAfter && WaitForSingleObject(wakeup_.get(), options_.crashAfter) == WAIT_TIMEOUT) {
            finish(options_.failExitCode, options_.failSpecificCode);
            return;
        }
        serve();
    }

private:
    static DWORD WINAPI controlHandler(DWORD control, DWORD, LPVOID, LPVOID context)
    {
        return static_cast<TestService*>(context)->onControl(control);
    }

    // Runs on the dispatcher thread. The first pending state is reported before returning, so the
    // status that ControlService hands back already shows the transition.
    DWORD onControl(DWORD control)
    {
        switch (control) {
        case SERVICE_CONTROL_STOP:
            report(SERVICE_STOP_PENDING, 0, 1);
            break;
        case SERVICE_CONTROL_PAUSE:
            if (options_.ignorePause)
                return NO_ERROR;
            report(SERVICE_PAUSE_PENDING, 0, 1);
            break;
        case SERVICE_CONTROL_CONTINUE:
            report(SERVICE_CONTINUE_PENDING, 0, 1);
            break;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
        EnterCriticalSection(&lock_);
        controls_.push_back(control);
        LeaveCriticalSection(&lock_);
        SetEvent(wakeup_.get());
        return NO_ERROR;
    }

    bool stubborn() const { return options_.hangStart || options_.hangStop || options_.refuseStop; }

    DWORD runningControls() const
    {
        return (options_.refuseStop ? 0 : SERVICE_ACCEPT_STOP)
             | (options_.pausable || options_.ignorePause ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
    }

    DWORD checkpointInterval() const
    {
        DWORD quarter = options_.waitHint / 4;
        return quarter > 100 ? 100 : (quarter < 10 ? 10 : quarter);
    }

    void report(DWORD state, DWORD controls, DWORD checkpoint)
    {
        bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
                    || state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
        EnterCriticalSection(&lock_);
        status_.dwCurrentState = state;
        status_.dwControlsAccepted = controls;
        status_.dwWin32ExitCode = NO_ERROR;
        status_.dwServiceSpecificExitCode = 0;
        status_.dwCheckPoint = pending ? checkpoint : 0;
        status_.dwWaitHint = pending ? options_.waitHint : 0;
        checkpoint_ = status_.dwCheckPoint;
        SetServiceStatus(handle_, &status_);
        LeaveCriticalSection(&lock_);
    }

    void finish(DWORD exitCode, DWORD specificCode)
    {
        appendJournal(options_.journal, "stop", name_);
        EnterCriticalSection(&lock_);
        status_.dwCurrentState = SERVICE_STOPPED;
        status_.dwControlsAccepted = 0;
        status_.dwWin32ExitCode = exitCode;
        status_.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? specificCode : 0;
        status_.dwCheckPoint = 0;
        status_.dwWaitHint = 0;
        SetServiceStatus(handle_, &status_);
        LeaveCriticalSection(&lock_);
    }

    void advancePending(DWORD state, DWORD durationMs)
    {
        ULONGLONG end = GetTickCount64() + durationMs;
        for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
            ULONGLONG left = end - now;
            Sleep(left < checkpointInterval() ? static_cast<DWORD>(left) : checkpointInterval());
            report(state, 0, checkpoint_ + 1);
        }
    }

    bool quitRequested() const
    {
        return !options_.journal.empty()
            && GetFileAttributesW((options_.journal + L".quit").c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // Waits for the next control. Returns 0 when the stubborn modes' way out has been taken instead.
    DWORD nextControl(ULONGLONG deadline)
    {
        for (;;) {
            EnterCriticalSection(&lock_);
            DWORD control = 0;
            if (!controls_.empty()) {
                control = controls_.front();
                controls_.pop_front();
            }
            LeaveCriticalSection(&lock_);
            if (control)
                return control;
            if (!stubborn()) {
                WaitForSingleObject(wakeup_.get(), INFINITE);
                continue;
            }
            if (quitRequested() || GetTickCount64() >= deadline)
                return 0;
            WaitForSingleObject(wakeup_.get(), kQuitPollMs);
        }
    }

    void hangStarting()
    {
        report(SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 1);
        if (nextControl(deadline_) == SERVICE_CONTROL_STOP)
            stopping();
        else
            finish(NO_ERROR, 0);
    }

    void serve()
    {
        for (;;) {
            switch (nextControl(deadline_)) {
            case SERVICE_CONTROL_STOP:
                stopping();
                return;
            case SERVICE_CONTROL_PAUSE:
                appendJournal(options_.journal, "pause", name_);
                report(SERVICE_PAUSED, runningControls(), 0);
                break;
            case SERVICE_CONTROL_CONTINUE:
                appendJournal(options_.journal, "continue", name_);
                report(SERVICE_RUNNING, runningControls(), 0);
                break;
            default:
                finish(NO_ERROR, 0);
                return;
            }
        }
    }

    void stopping()
    {
        if (options_.hangStop) {
            // STOP_PENDING with checkpoint 1 was reported by the handler; nothing advances it.
            nextControl(GetTickCount64() + kHangingStopLimitMs);
        } else {
            advancePending(SERVICE_STOP_PENDING, options_.stopDelay);
        }
        finish(NO_ERROR, 0);
    }

    const Options& options_;
    std::wstring name_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    SERVICE_STATUS status_ = {};
    DWORD checkpoint_ = 0;
    ULONGLONG deadline_ = 0;
    CRITICAL_SECTION lock_;
    UniqueHandle wakeup_;
    std::deque<DWORD> controls_;
};

Options g_options;

void WINAPI serviceMain(DWORD argc, LPWSTR* argv)
{
    TestService service(g_options);
    service.run(argc > 0 && argv[0] ? argv[0] : L"");
}

} // namespace

int wmain()
{
    g_options = parseOptions();
    // Own-process services: the SCM dispatches to the only table entry whatever the service's name.
    wchar_t tableName[] = L"testsvc";
    SERVICE_TABLE_ENTRYW table[] = {{tableName, serviceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        std::fputs(kUsage, stdout);
        return 2;
    }
    std::fprintf(stderr, "testsvc: StartServiceCtrlDispatcherW failed with %lu\n", error);
    return 1;
}
