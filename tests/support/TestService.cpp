#include "support/TestService.h"

#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr DWORD kSetupTimeoutMs = 30000;
constexpr DWORD kPollMs = 20;

std::runtime_error failure(const char* call, DWORD error)
{
    return std::runtime_error(std::string(call) + " failed with " + std::to_string(error));
}

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// The journal named by the options, unquoted, or "".
std::wstring journalOf(const std::wstring& options)
{
    const std::wstring flag = L"--journal ";
    const size_t at = options.find(flag);
    if (at == std::wstring::npos)
        return {};
    size_t begin = at + flag.size();
    if (begin < options.size() && options[begin] == L'"') {
        const size_t end = options.find(L'"', begin + 1);
        return options.substr(begin + 1, end == std::wstring::npos ? std::wstring::npos : end - begin - 1);
    }
    return options.substr(begin, options.find(L' ', begin) - begin);
}

bool waitForState(SC_HANDLE service, DWORD state)
{
    const ULONGLONG deadline = GetTickCount64() + kSetupTimeoutMs;
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != state) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kPollMs);
    }
    return status.dwCurrentState == state;
}

} // namespace

std::wstring testServiceHost()
{
    return testbed::binDir() + L"\\testsvc.exe";
}

ServiceJournal::ServiceJournal()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    path_ = std::wstring(folder, length) + testbed::uniqueName(L"journal") + L".log";
}

ServiceJournal::~ServiceJournal()
{
    DeleteFileW(path_.c_str());
    DeleteFileW((path_ + L".quit").c_str());
}

std::wstring ServiceJournal::option() const
{
    return L"--journal \"" + path_ + L"\"";
}

std::vector<ServiceJournal::Event> ServiceJournal::events() const
{
    std::vector<Event> events;
    std::ifstream file(path_.c_str(), std::ios::binary);
    std::string line;
    // "YYYY-MM-DD hh:mm:ss.mmm EVENT NAME"
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream fields(line);
        std::string date, time, event, name;
        if (fields >> date >> time >> event >> name)
            events.push_back({widen(event), widen(name)});
    }
    return events;
}

std::vector<std::wstring> ServiceJournal::namesOf(const wchar_t* event) const
{
    std::vector<std::wstring> names;
    for (const Event& entry : events())
        if (entry.event == event)
            names.push_back(entry.name);
    return names;
}

void ServiceJournal::requestQuit() const
{
    std::ofstream((path_ + L".quit").c_str()).put('\n');
}

TestService::TestService(std::wstring name, std::wstring displayName, std::wstring options,
                         std::vector<std::wstring> dependencies, DWORD startType)
    : name_(std::move(name)), displayName_(std::move(displayName)), quitFile_(journalOf(options))
{
    if (!quitFile_.empty())
        quitFile_ += L".quit";
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager_)
        throw failure("OpenSCManagerW", GetLastError());
    std::wstring dependencyList;
    for (const std::wstring& dependency : dependencies)
        dependencyList += dependency + L'\0';
    const std::wstring binaryPath = L"\"" + testServiceHost() + L"\" " + options;
    service_ = CreateServiceW(manager_, name_.c_str(), displayName_.empty() ? nullptr : displayName_.c_str(),
                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                              binaryPath.c_str(), nullptr, nullptr,
                              dependencies.empty() ? nullptr : dependencyList.c_str(), nullptr, nullptr);
    if (!service_) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager_);
        throw failure("CreateServiceW", error);
    }
}

TestService::~TestService()
{
    if (!quitFile_.empty())
        std::ofstream(quitFile_.c_str()).put('\n');
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service_, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        // A service already stopping refuses another stop (1061); the quit file ends it.
        ControlService(service_, SERVICE_CONTROL_STOP, &status);
        waitForState(service_, SERVICE_STOPPED);
    }
    // Later services of the same journal must not find the way out already open.
    if (!quitFile_.empty())
        DeleteFileW(quitFile_.c_str());
    DeleteService(service_);
    CloseServiceHandle(service_);
    CloseServiceHandle(manager_);
}

SERVICE_STATUS TestService::status() const
{
    SERVICE_STATUS status = {};
    QueryServiceStatus(service_, &status);
    return status;
}

void TestService::startAndWait(DWORD state) const
{
    if (!StartServiceW(service_, 0, nullptr))
        ADD_FAILURE() << "StartServiceW failed with " << GetLastError();
    else if (!waitForState(service_, state))
        ADD_FAILURE() << "the service did not reach state " << state;
}

void TestService::stopAndWait() const
{
    SERVICE_STATUS status = {};
    if (!ControlService(service_, SERVICE_CONTROL_STOP, &status))
        ADD_FAILURE() << "ControlService(stop) failed with " << GetLastError();
    else if (!waitForState(service_, SERVICE_STOPPED))
        ADD_FAILURE() << "the service did not stop";
}
