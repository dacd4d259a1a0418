#pragma once
// tarvosrv_sandbox.exe --console as a child process of the test, serving a pipe of its own
// name (set as "kzopipe" while the object lives), and the answers and fault switches it
// reads from the registry.
#include "runtime/Handle.h"
#include "support/RegistryValues.h"

#include <forward_list>

namespace testbed {

// The registry key holding the sandbox service's provisioned answers and fault switches.
extern const wchar_t* const sandboxKey;

class SandboxConsole {
public:
    // Returns once the process-wide management client has its answer from this server.
    explicit SandboxConsole(const std::wstring& pipeName = L"");
    // Ends the child (its pipe closes), then puts every value back: the list frees its
    // front, the latest value, first.
    ~SandboxConsole() { stop(); }

    // A value under sandboxKey + path (e.g. "\\Strings"; "" for the fault switches).
    void set(const std::wstring& path, const std::wstring& name, const std::wstring& text);
    void set(const std::wstring& path, const std::wstring& name, DWORD value);
    void set(const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& bytes);
    // Ends the child, keeping the values.
    void stop();

private:
    std::forward_list<testreg::ScopedValue> values_; // the latest in front
    UniqueHandle process_;
};

}
