#include "support/SandboxConsole.h"

#include "support/TestBed.h"

#include <stdexcept>
#include <string>
#include <thread>

namespace testbed {

const wchar_t* const sandboxKey = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv";

SandboxConsole::SandboxConsole()
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        throw std::runtime_error("cannot create the output pipe");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = L"\"" + binDir() + L"\\tarvosrv_sandbox.exe\" --console";
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        throw std::runtime_error("cannot start tarvosrv_sandbox.exe");
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;

    // The reads block, so a watchdog ends a server that never reports in.
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread watchdog([this, done] {
        if (WaitForSingleObject(done, 20000) == WAIT_TIMEOUT)
            TerminateProcess(process_, 1);
    });

    std::string output;
    char buffer[256];
    DWORD read = 0;
    while (output.find("listening") == std::string::npos && ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) &&
           read > 0)
        output.append(buffer, read);
    SetEvent(done);
    watchdog.join();
    CloseHandle(done);
    // The child's output is not read any more: it prints nothing after this line but errors.
    CloseHandle(readEnd);
    if (output.find("listening") == std::string::npos) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(process_);
        throw std::runtime_error("tarvosrv_sandbox.exe did not listen: " + output);
    }
}

SandboxConsole::~SandboxConsole()
{
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, INFINITE);
    CloseHandle(process_);
}

}
