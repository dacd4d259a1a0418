#pragma once
// tarvosrv_sandbox.exe --console as a child process of the test: it serves the pipe named by
// the "kzopipe" value at the time it starts.
#include <windows.h>

#include <string>

namespace testbed {

class SandboxConsole {
public:
    // Returns once the server prints that it listens; throws when it does not within 20 s.
    SandboxConsole();
    // Ends the child and waits until it is gone, so its pipe is closed.
    ~SandboxConsole();
    SandboxConsole(const SandboxConsole&) = delete;
    SandboxConsole& operator=(const SandboxConsole&) = delete;

private:
    HANDLE process_ = nullptr;
};

// The registry key holding the sandbox service's provisioned answers and fault switches.
extern const wchar_t* const sandboxKey;

}
