#include "runtime/ExecUtil.h"

#include "runtime/Exception.h"
#include "runtime/LogManager.h"
#include "runtime/Strings.h"
#include "runtime/ThreadCancelation.h"

#include <aclapi.h>
#include <rpc.h>

#include <vector>

namespace {

constexpr DWORD pipeBufferBytes = 1024 * 1024;
constexpr DWORD readChunkBytes = 1024 * 1024;

// The other end closed or broke the pipe: the end of the data, not a failure.
bool isEndOfPipe(DWORD error)
{
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

std::wstring uniqueName()
{
    // A random identifier: nobody can guess the name and claim the pipe first.
    UUID id;
    const RPC_STATUS status = UuidCreate(&id);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        throw vexception(L"Unable to create GUID", WL_CONTEXT());
    return formatString(L"%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", static_cast<unsigned long>(id.Data1),
                        id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4],
                        id.Data4[5], id.Data4[6], id.Data4[7]);
}

// One pipe between this process and the child. The server end stays here, overlapped; the
// child's end is inheritable and is handed over through the child's inheritance list only.
struct PipePair {
    UniqueFileHandle server;
    UniqueFileHandle child;
};

PipePair createPipePair(bool childWrites)
{
    const std::wstring name = L"\\\\.\\pipe\\TarvoWin32.Pipes." + uniqueName();
    PipePair pair;
    // The only instance: a server that already holds the name makes this fail instead of
    // sharing it.
    pair.server.reset(CreateNamedPipeW(name.c_str(),
                                       (childWrites ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) |
                                           FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, pipeBufferBytes,
                                       pipeBufferBytes, 0, nullptr));
    if (!pair.server)
        WL_THROW_LAST_ERROR((L"Unable to create pipe " + name).c_str());

    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    pair.child.reset(CreateFileW(name.c_str(), childWrites ? GENERIC_WRITE : GENERIC_READ, 0, &inheritable,
                                 OPEN_EXISTING, 0, nullptr));
    if (!pair.child)
        WL_THROW_LAST_ERROR((L"Unable to open pipe " + name).c_str());

    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        WL_THROW_LAST_ERROR(L"CreateEvent");
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!ConnectNamedPipe(pair.server.get(), &overlapped)) {
        DWORD error = GetLastError();
        DWORD unused = 0;
        if (error == ERROR_IO_PENDING)
            error = GetOverlappedResult(pair.server.get(), &overlapped, &unused, TRUE) ? NO_ERROR : GetLastError();
        // The client end was opened first, which is the usual case.
        if (error != NO_ERROR && error != ERROR_PIPE_CONNECTED)
            WL_THROW_OS_ERROR(L"Unable to connect to pipe", error);
    }
    return pair;
}

// The user a token stands for.
struct TokenAccount {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];

    explicit TokenAccount(HANDLE token)
    {
        DWORD size = sizeof(buffer);
        if (!GetTokenInformation(token, TokenUser, buffer, size, &size))
            WL_THROW_LAST_ERROR(L"GetTokenInformation");
    }
    PSID sid() { return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid; }
};

// A primary token for the user the thread impersonates, or none when it impersonates
// nobody or the process's own user.
UniqueHandle impersonatedUserToken()
{
    UniqueHandle threadToken;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY | READ_CONTROL, FALSE,
                         threadToken.put())) {
        if (GetLastError() == ERROR_NO_TOKEN)
            return {};
        WL_THROW_LAST_ERROR(L"Unable to open a thread token");
    }
    UniqueHandle processToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, processToken.put()))
        WL_THROW_LAST_ERROR(L"Unable to open a process token");
    if (EqualSid(TokenAccount(threadToken.get()).sid(), TokenAccount(processToken.get()).sid()))
        return {};
    UniqueHandle primary;
    if (!DuplicateTokenEx(threadToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                          primary.put()))
        WL_THROW_LAST_ERROR(L"Unable to duplicate impersonation token");
    return primary;
}

// The user of token gets full access to object (a window station or a desktop), added to
// what its access list grants already.
void grantAccess(HANDLE object, HANDLE token, const wchar_t* what)
{
    TokenAccount user(token);
    PACL oldAcl = nullptr;
    UniqueLocalMemory descriptor;
    DWORD status = GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldAcl,
                                   nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()));
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR(what, status);
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(user.sid());
    UniqueLocalMemory newAcl;
    status = SetEntriesInAclW(1, &access, oldAcl, reinterpret_cast<PACL*>(newAcl.put()));
    if (status == ERROR_SUCCESS)
        status = SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 static_cast<PACL>(newAcl.get()), nullptr);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR(what, status);
}

void grantDesktopAccess(HANDLE token)
{
    const UniqueWindowStation station(OpenWindowStationW(L"winsta0", FALSE, READ_CONTROL | WRITE_DAC));
    if (!station)
        WL_THROW_LAST_ERROR(L"OpenWindowStation winsta0");
    grantAccess(station.get(), token, L"winsta0");
    // Desktops are opened in the process's own window station, which is winsta0 for this
    // program: it runs in the interactive session.
    const UniqueDesktop desktop(OpenDesktopW(L"default", 0, FALSE, READ_CONTROL | WRITE_DAC));
    if (!desktop)
        WL_THROW_LAST_ERROR(L"OpenDesktop default");
    grantAccess(desktop.get(), token, L"winsta0\\default");
}

// What waitAlertably returns when the waiting thread was cancelled.
constexpr DWORD waitCanceled = MAXIMUM_WAIT_OBJECTS + 1;

// Waits alertably for any of handles; a wake-up for an I/O completion or an asynchronous
// call waits again for the rest of timeout. Returns the index signalled, count on time-out,
// or waitCanceled once the thread is cancelled.
DWORD waitAlertably(DWORD count, const HANDLE* handles, DWORD timeout)
{
    const ThreadCancelation::CancelationPoint point(false);
    const ULONGLONG start = GetTickCount64();
    DWORD remaining = timeout;
    for (;;) {
        if (ThreadCancelation::canceled())
            return waitCanceled;
        const DWORD result = WaitForMultipleObjectsEx(count, handles, FALSE, remaining, TRUE);
        if (result < WAIT_OBJECT_0 + count)
            return result - WAIT_OBJECT_0;
        if (result == WAIT_TIMEOUT)
            return count;
        if (result != WAIT_IO_COMPLETION)
            WL_THROW_LAST_ERROR(L"Lock object");
        if (timeout != INFINITE) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeout)
                return count;
            remaining = static_cast<DWORD>(timeout - elapsed);
        }
    }
}

} // namespace

vexecutil::vexecutil() : stopInput_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!stopInput_)
        WL_THROW_LAST_ERROR(L"CreateEvent");
}

vexecutil::~vexecutil()
{
    stopInput();
}

std::wstring vexecutil::commandLine(const std::wstring& shown) const
{
    return L"\"" + path + L"\" " + shown;
}

void vexecutil::start()
{
    PipePair output, input;
    if (captureStdout)
        output = createPipePair(true);
    if (feedStdin)
        input = createPipePair(false);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    DWORD flags = GetPriorityClass(GetCurrentProcess());
    if (noWindow)
        flags |= CREATE_NO_WINDOW;

    // The child inherits exactly its own pipe ends, nothing else this process holds.
    std::vector<HANDLE> inherited;
    UniqueAttributeList attributes;
    if (captureStdout || feedStdin) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        // Without a fed input the child reads nothing: never this process's own input.
        startup.StartupInfo.hStdInput = input.child ? input.child.get() : nullptr;
        startup.StartupInfo.hStdOutput = output.child ? output.child.get() : nullptr;
        startup.StartupInfo.hStdError = stderrToStdout ? startup.StartupInfo.hStdOutput : nullptr;
        for (HANDLE handle : {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput})
            if (handle)
                inherited.push_back(handle);

        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        const auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
        if (!list)
            WL_THROW_OS_ERROR(L"HeapAlloc", ERROR_OUTOFMEMORY);
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            HeapFree(GetProcessHeap(), 0, list);
            WL_THROW_LAST_ERROR(L"InitializeProcThreadAttributeList");
        }
        attributes.reset(list);
        if (!UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                       inherited.size() * sizeof(HANDLE), nullptr, nullptr))
            WL_THROW_LAST_ERROR(L"UpdateProcThreadAttribute");
        startup.lpAttributeList = attributes.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
        startup.StartupInfo.wShowWindow = SW_HIDE;
    }
    wchar_t desktop[] = L"winsta0\\default";
    startup.StartupInfo.lpDesktop = desktop;

    std::wstring command = commandLine(arguments);
    const std::wstring shown = commandLine(shownArguments.empty() ? arguments : shownArguments);
    // Given to the child only: this process's own directory never changes.
    const wchar_t* directory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();
    PROCESS_INFORMATION info{};
    const UniqueHandle userToken = impersonatedUserToken();
    if (userToken) {
        grantDesktopAccess(userToken.get());
        if (!CreateProcessAsUserW(userToken.get(), nullptr, command.data(), nullptr, nullptr, !inherited.empty(),
                                  flags, nullptr, directory, &startup.StartupInfo, &info))
            WL_THROW_LAST_ERROR((L"CreateProcessAsUser '" + shown + L"'").c_str());
    } else if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, !inherited.empty(), flags, nullptr,
                               directory, &startup.StartupInfo, &info)) {
        WL_THROW_LAST_ERROR((L"CreateProcess '" + shown + L"'").c_str());
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    processId_ = info.dwProcessId;
    stdoutPipe_ = std::move(output.server);
    stdinPipe_ = std::move(input.server);
}

void vexecutil::writeInput(std::string input)
{
    stopInput();
    ResetEvent(stopInput_.get());
    inputWriter_ = std::thread([this, pipe = std::move(stdinPipe_), input = std::move(input)]() mutable noexcept {
        const UniqueHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!pipe || !written)
            return;
        OVERLAPPED overlapped{};
        overlapped.hEvent = written.get();
        DWORD done = 0;
        const auto size = static_cast<DWORD>(input.size());
        if (WriteFile(pipe.get(), input.data(), size, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
            const HANDLE events[] = {written.get(), stopInput_.get()};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
                CancelIoEx(pipe.get(), &overlapped);
            GetOverlappedResult(pipe.get(), &overlapped, &done, TRUE);
        }
        // A child that ends without reading all of its input is not an error of the run:
        // its exit code tells how it went.
        if (done != size)
            LogManager::instance().log(LOG_WARNING, L"Wrote only %lu of %lu bytes to the standard input of %s", done,
                                       size, path);
        // Now the child can read to the end of its input.
        pipe.reset();
    });
}

void vexecutil::stopInput() noexcept
{
    if (inputWriter_.joinable()) {
        SetEvent(stopInput_.get());
        inputWriter_.join();
    }
}

std::string vexecutil::readOutput(DWORD drainMs)
{
    std::string text;
    if (!stdoutPipe_)
        return text;
    const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        WL_THROW_LAST_ERROR(L"CreateEvent");
    std::vector<char> buffer(readChunkBytes);
    bool exited = false;
    ULONGLONG drainDeadline = 0;
    // Still open after the drain: a process that the child started holds the pipe.
    const auto giveUp = [&] {
        LogManager::instance().log(LOG_WARNING, L"Output of %s is still open %lu ms after it ended; the rest is not "
                                                L"read", path, drainMs);
        stdoutPipe_.reset();
        return text;
    };
    for (;;) {
        if (exited && GetTickCount64() >= drainDeadline)
            return giveUp();
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD error = NO_ERROR;
        if (!ReadFile(stdoutPipe_.get(), buffer.data(), readChunkBytes, nullptr, &overlapped))
            error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = NO_ERROR;
            const HANDLE handles[] = {event.get(), process_.get()};
            for (;;) {
                const ULONGLONG now = GetTickCount64();
                const DWORD timeout = exited ? static_cast<DWORD>(drainDeadline > now ? drainDeadline - now : 0)
                                             : INFINITE;
                const DWORD signalled = waitAlertably(exited ? 1 : 2, handles, timeout);
                if (signalled == 0)
                    break;
                if (signalled == waitCanceled) {
                    DWORD unused = 0;
                    CancelIoEx(stdoutPipe_.get(), &overlapped);
                    GetOverlappedResult(stdoutPipe_.get(), &overlapped, &unused, TRUE);
                    leaveRunning();
                }
                if (signalled == 1 && !exited) {
                    exited = true;
                    drainDeadline = GetTickCount64() + drainMs;
                    continue;
                }
                DWORD unused = 0;
                CancelIoEx(stdoutPipe_.get(), &overlapped);
                GetOverlappedResult(stdoutPipe_.get(), &overlapped, &unused, TRUE);
                return giveUp();
            }
        }
        DWORD got = 0;
        if (error == NO_ERROR && !GetOverlappedResult(stdoutPipe_.get(), &overlapped, &got, TRUE))
            error = GetLastError();
        if (isEndOfPipe(error))
            break;
        if (error != NO_ERROR)
            WL_THROW_OS_ERROR(L"Unable to read from pipe", error);
        text.append(buffer.data(), got);
    }
    stdoutPipe_.reset();
    return text;
}

bool vexecutil::waitForExit(DWORD timeout)
{
    const HANDLE process = process_.get();
    const DWORD signalled = waitAlertably(1, &process, timeout);
    if (signalled == waitCanceled)
        leaveRunning();
    return signalled == 0;
}

void vexecutil::leaveRunning() const
{
    // Ended from outside, a utility could leave the panel half changed: it finishes alone.
    LogManager::instance().log(LOG_WARNING, L"%s is left running: the wait for it was canceled", path);
    ThreadCancelation::throwCanceled();
}

DWORD vexecutil::exitCode() const
{
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code))
        WL_THROW_LAST_ERROR(L"GetExitCodeProcess");
    return code;
}
