// tarvosrv_sandbox.exe: a stand-in for the panel's management service "tarvosrv". It answers
// getPassword, getString and isGroupMemberUser on the management pipe from values provisioned
// in the registry, and can misbehave on purpose so that clients can be tested against faults.
//
// Running
//   (no arguments)    run as the Windows service "tarvosrv" (SERVICE_WIN32_OWN_PROCESS, created
//                     with CreateServiceW). Reports START_PENDING, RUNNING once the pipe listens,
//                     and STOPPED (exit code 0) on stop or shutdown. If the pipe cannot be created
//                     it reports STOPPED with that Win32 error as its exit code (5 when another
//                     sandbox server, service or console, already serves the same pipe name).
//   --console         serve without the Service Control Manager. Prints
//                     "tarvosrv sandbox listening on <pipe>" on stdout once clients can connect and
//                     runs until it is killed, gets Ctrl+C / Ctrl+Break, or the named event
//                     "tarvosrv_sandbox_console_stop" is set; then exits with 0. Exits with 1 if
//                     the pipe cannot be created (for example because another server owns it).
//   --stop            set that event, ending every console-mode server, and exit.
//
// Pipe
//   "\\.\pipe\" + the REG_SZ "kzopipe" under HKLM "SOFTWARE\Tarvo\KZO Config\Config" (32-bit
//   view), "kzopipe" when absent or empty; read once at start. Message mode, unlimited instances,
//   one thread per client, open to every local user. A request is a 4-byte length message then a
//   body message of exactly that length; a length message of another size, a length above 1 MiB
//   or a body message of another length closes that client's pipe. A body that frames correctly
//   but cannot be parsed gets the error reply "Malformed request: ...".
//
// Provisioned answers, HKLM "SOFTWARE\Tarvo\KZO Config\Sandbox\tarvosrv" (32-bit view), read
// afresh on every request:
//   Strings\<setting name>   REG_SZ (or REG_EXPAND_SZ, not expanded): the getString answer.
//   Passwords\<name>         REG_SZ: the getPassword answer.
//   Groups\<group>\<user>    REG_DWORD: isGroupMemberUser answers the value (non-zero = member).
//                            The group is a subkey of Groups; a group such as "DOMAIN\Admins" is
//                            the nested subkey path Groups\DOMAIN\Admins. The user is a value
//                            name, "DOMAIN\user" as it is. Key and value names are case-blind.
//   Error replies (u32 0xFFFFFFFF + string item):
//     "Unknown setting '<name>'" / "Unknown password '<name>'" for a missing value,
//     "Unknown group '<group>'" for a missing group subkey (a missing user in an existing group
//     answers 0), "Value of setting '<name>' is not a string" / "Value of password '<name>' is
//     not a string", "Membership of '<user>' in group '<group>' is not a REG_DWORD value",
//     "Unknown method {GUID}" for an identifier that is none of the three.
//
// Faults, values in the same Sandbox\tarvosrv key, read on every request:
//   Fault         REG_SZ, case-blind; absent or empty = behave.
//     error       error reply whose text is FaultText (default "Sandbox fault").
//     empty       reply length 0 and no body message.
//     truncated   the answer's block claims more bytes than the body holds: a string item whose
//                 length is 16 too large, or for isGroupMemberUser a 4-byte block with 2 bytes.
//     charsize3   the string item's character-size byte is 3.
//     block8      isGroupMemberUser answers an 8-byte block (value, then 4 zero bytes).
//     narrow      the string item has character size 1 and the text in the ANSI code page
//                 (valid protocol; characters outside the code page become '?').
//     close       the request is read and the pipe closed without a reply.
//     slow        waits FaultDelayMs (REG_DWORD, default 5000) before the normal answer;
//                 0xFFFFFFFF waits until the server stops, answering nothing.
//     level       getString answers the impersonation level the server gets from the client's
//                 pipe handle as a number ("1" = SecurityIdentification), or the failing call.
//     raw         sends FaultBytes (REG_BINARY) as it is: a series of pipe messages, each a
//                 4-byte little-endian size and that many bytes; without any, hangs up like
//                 close. A FaultBytes that does not split so answers "Malformed request: ...".
//     Anything else answers the error reply "Unknown sandbox fault '<value>'".
//     truncated, charsize3 and narrow reshape only string answers and block8 only the
//     isGroupMemberUser answer; elsewhere they answer normally. They reshape a found answer: a
//     request for something not provisioned still gets its "Unknown ..." error reply.
//   FaultMethod   REG_SZ "getPassword", "getString" or "isGroupMemberUser": only that method
//                 misbehaves; absent or empty = all three (unknown methods never do).
//   FaultCount    REG_DWORD: when present, only this many more requests misbehave; each one
//                 writes the count back decremented, and at 0 the service behaves again.

#include "PipeServer.h"
#include "Responder.h"

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

using tarvosrv::PipeServer;

const wchar_t* const serviceName = L"tarvosrv";
const wchar_t* const consoleStopEventName = L"tarvosrv_sandbox_console_stop";
constexpr DWORD startWaitHintMs = 5000;
constexpr DWORD stopWaitHintMs = 10000;

std::wstring pipePath()
{
    std::wstring name = L"kzopipe";
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvo\\KZO Config\\Config", 0, KEY_READ | KEY_WOW64_32KEY,
                      &opened) == ERROR_SUCCESS) {
        const UniqueRegKey key(opened);
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), L"kzopipe", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_SZ && size >= sizeof(wchar_t)) {
            std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
            if (RegQueryValueExW(key.get(), L"kzopipe", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                 &size) == ERROR_SUCCESS &&
                buffer[0] != L'\0')
                name = buffer.data();
        }
    }
    return L"\\\\.\\pipe\\" + name;
}

HANDLE consoleStopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD)
{
    SetEvent(consoleStopEvent);
    return TRUE;
}

int runConsole()
{
    const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, consoleStopEventName));
    if (!stop) {
        fwprintf(stderr, L"tarvosrv: cannot create the stop event (error %lu)\n", GetLastError());
        return 1;
    }
    ResetEvent(stop.get()); // still set if an earlier server that shares it was stopped
    consoleStopEvent = stop.get();
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    const std::wstring path = pipePath();
    PipeServer server(path, stop.get());
    const DWORD error = server.start();
    if (error != ERROR_SUCCESS) {
        fwprintf(stderr, L"tarvosrv: cannot listen on %ls (error %lu)\n", path.c_str(), error);
        return 1;
    }
    wprintf(L"tarvosrv sandbox listening on %ls\n", path.c_str());
    fflush(stdout);
    WaitForSingleObject(stop.get(), INFINITE);
    server.join();
    return 0;
}

int stopConsoleServers()
{
    const UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, consoleStopEventName));
    if (!stop) {
        fwprintf(stderr, L"tarvosrv: no console-mode server is running\n");
        return 1;
    }
    SetEvent(stop.get());
    return 0;
}

// State of the one service this process hosts.
struct ServiceState {
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    HANDLE stopEvent = nullptr;
    DWORD checkPoint = 0;
};
ServiceState service;

void reportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++service.checkPoint : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(service.statusHandle, &status);
}

DWORD WINAPI onServiceControl(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        reportStatus(SERVICE_STOP_PENDING, NO_ERROR, stopWaitHintMs);
        SetEvent(service.stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, wchar_t**)
{
    const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    service.stopEvent = stop.get();
    service.statusHandle = RegisterServiceCtrlHandlerExW(serviceName, onServiceControl, nullptr);
    if (service.statusHandle == nullptr)
        return;
    reportStatus(SERVICE_START_PENDING, NO_ERROR, startWaitHintMs);
    if (!stop) {
        reportStatus(SERVICE_STOPPED, GetLastError());
        return;
    }

    PipeServer server(pipePath(), stop.get());
    const DWORD error = server.start();
    if (error != ERROR_SUCCESS) {
        reportStatus(SERVICE_STOPPED, error);
        return;
    }
    reportStatus(SERVICE_RUNNING);
    WaitForSingleObject(stop.get(), INFINITE);
    server.join();
    reportStatus(SERVICE_STOPPED);
}

int runService()
{
    wchar_t name[] = L"tarvosrv";
    const SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        fwprintf(stderr, L"usage: tarvosrv_sandbox.exe [--console | --stop]\n"
                         L"Without arguments it runs as the service \"tarvosrv\" and must be started by the "
                         L"Service Control Manager.\n");
    else
        fwprintf(stderr, L"tarvosrv: the service dispatcher failed (error %lu)\n", error);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"--console") == 0)
        return runConsole();
    if (argc == 2 && std::wcscmp(argv[1], L"--stop") == 0)
        return stopConsoleServers();
    if (argc == 1)
        return runService();
    fwprintf(stderr, L"usage: tarvosrv_sandbox.exe [--console | --stop]\n");
    return 2;
}
