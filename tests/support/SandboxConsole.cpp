#include "support/SandboxConsole.h"

#include "panel/TarvoSrvClient.h"
#include "runtime/Config.h"
#include "support/Capture.h"

namespace testbed {

const wchar_t* const sandboxKey = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv";

SandboxConsole::SandboxConsole(const std::wstring& pipeName)
{
    values_.emplace_front(CONFIG_ROOT_KEY, L"kzopipe").setString(pipeName.empty() ? uniqueName(L"kzotest") : pipeName);
    set(L"\\Strings", L"probe", L"ready");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0);
    STARTUPINFOW startup{sizeof(startup), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, STARTF_USESTDHANDLES,
                         0, 0, nullptr, nullptr, writeEnd.get(), writeEnd.get()};
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, &(L"\"" + binDir() + L"\\tarvosrv_sandbox.exe\" --console")[0], nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        CloseHandle(info.hThread), process_.reset(info.hProcess);
    writeEnd.reset();
    // It writes one line once it listens, or an error and ends, which ends the read too.
    char line[256];
    DWORD read = 0;
    ReadFile(readEnd.get(), line, sizeof(line), &read, nullptr);
    // The client finds a server it used before gone only by using it, then reconnects.
    std::wstring answer;
    for (int attempt = 0; attempt < 3 && process_ && answer != L"ready"; ++attempt)
        thrown([&] { answer = TarvoSrvClient::getInstance().getString(L"probe"); });
    if (answer != L"ready") {
        stop();
        throw vexception(L"tarvosrv_sandbox.exe does not answer", WL_CONTEXT());
    }
}

void SandboxConsole::stop()
{
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), INFINITE);
    process_.reset();
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, const std::wstring& text)
{
    values_.emplace_front(sandboxKey + path, name).setString(text);
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, DWORD value)
{
    values_.emplace_front(sandboxKey + path, name).setDword(value);
}

void SandboxConsole::set(const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& bytes)
{
    values_.emplace_front(sandboxKey + path, name);
    testreg::setValue(sandboxKey + path, name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}

}
