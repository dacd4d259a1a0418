#include "support/SandboxConsole.h"

#include "panel/TarvoSrvClient.h"
#include "runtime/Config.h"
#include "runtime/Exception.h"
#include "support/TestBed.h"

#include <stdexcept>

namespace testbed {

const wchar_t* const sandboxKey = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv";

SandboxConsole::SandboxConsole(const std::wstring& pipeName)
{
    const std::wstring name = pipeName.empty() ? uniqueName(L"kzotest") : pipeName;
    set(CONFIG_ROOT_KEY, L"kzopipe", REG_SZ, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    set(L"\\Strings", L"probe", L"ready");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    std::wstring command = L"\"" + binDir() + L"\\tarvosrv_sandbox.exe\" --console";
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
    }
    CloseHandle(writeEnd);
    // It prints that it listens; a child that dies ends the read.
    std::string output;
    char buffer[256];
    DWORD read = 0;
    while (output.find("listening") == std::string::npos && ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr))
        output.append(buffer, read);
    CloseHandle(readEnd);
    // The client finds a server it used before gone only by using it, then reconnects.
    for (int attempt = 0; attempt < 3 && process_; ++attempt) {
        try {
            if (TarvoSrvClient::getInstance().getString(L"probe") == L"ready")
                return;
        } catch (const vexception&) {
        }
    }
    stop();
    throw std::runtime_error("tarvosrv_sandbox.exe does not answer");
}

SandboxConsole::~SandboxConsole()
{
    stop();
    while (!values_.empty())
        values_.pop_back();
}

void SandboxConsole::stop()
{
    if (process_) {
        TerminateProcess(process_, 0);
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(process_);
    }
    process_ = nullptr;
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, const std::wstring& text)
{
    set(sandboxKey + path, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, DWORD value)
{
    set(sandboxKey + path, name, REG_DWORD, &value, sizeof(value));
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& bytes)
{
    set(sandboxKey + path, name, REG_BINARY, bytes.data(), bytes.size());
}

void SandboxConsole::set(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, size_t size)
{
    values_.push_back(std::make_unique<testreg::ScopedValue>(key, name));
    testreg::setValue(key, name, type, data, static_cast<DWORD>(size));
}

}
