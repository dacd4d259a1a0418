#pragma once
// tarvosrv_sandbox.exe --console as a child process of the test, serving a pipe of its own
// name (set as "kzopipe" while the object lives), and the answers and fault switches it
// reads from the registry.
#include "support/RegistryValues.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace testbed {

// The registry key holding the sandbox service's provisioned answers and fault switches.
extern const wchar_t* const sandboxKey;

class SandboxConsole {
public:
    // Returns once the process-wide management client has its answer from this server.
    explicit SandboxConsole(const std::wstring& pipeName = L"");
    // Ends the child (its pipe closes), then puts every value back.
    ~SandboxConsole();
    SandboxConsole(const SandboxConsole&) = delete;
    SandboxConsole& operator=(const SandboxConsole&) = delete;

    // A value under sandboxKey + path (e.g. "\\Strings"; "" for the fault switches).
    void set(const std::wstring& path, const std::wstring& name, const std::wstring& text);
    void set(const std::wstring& path, const std::wstring& name, DWORD value);
    void set(const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& bytes);
    // Ends the child, keeping the values.
    void stop();

private:
    void set(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, size_t size);

    std::vector<std::unique_ptr<testreg::ScopedValue>> values_;
    HANDLE process_ = nullptr;
};

}
