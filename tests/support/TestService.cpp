#include "support/TestService.h"

#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// Whether the service reaches state within 30 s.
bool reaches(SC_HANDLE service, DWORD state)
{
    const ULONGLONG deadline = GetTickCount64() + 30000;
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != state && GetTickCount64() < deadline)
        Sleep(20);
    return status.dwCurrentState == state;
}

void expectState(SC_HANDLE service, BOOL requested, DWORD state)
{
    if (!requested || !reaches(service, state))
        ADD_FAILURE() << "the service did not reach state " << state << " (error " << GetLastError() << ")";
}

} // namespace

std::wstring testServiceName(const std::wstring& role)
{
    return testbed::uniqueName(L"wlsvc" + role);
}

ServiceJournal::ServiceJournal()
{
    wchar_t folder[MAX_PATH];
    path_ = std::wstring(folder, GetTempPathW(MAX_PATH, folder)) + testbed::uniqueName(L"journal") + L".log";
}

ServiceJournal::~ServiceJournal()
{
    DeleteFileW(path_.c_str());
    DeleteFileW((path_ + L".quit").c_str());
}

std::vector<ServiceJournal::Event> ServiceJournal::events() const
{
    // "YYYY-MM-DD hh:mm:ss.mmm EVENT NAME"; names and events are ASCII.
    std::vector<Event> events;
    std::ifstream file(path_.c_str(), std::ios::binary);
    std::string date, time, event, name;
    for (std::string line; std::getline(file, line);)
        if (std::istringstream(line) >> date >> time >> event >> name)
            events.push_back({std::wstring(event.begin(), event.end()), std::wstring(name.begin(), name.end())});
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

TestService::TestService(std::wstring name, const std::wstring& displayName, const std::wstring& options,
                         const std::vector<std::wstring>& dependencies, DWORD startType)
    : name_(std::move(name)), displayName_(displayName)
{
    // The quit file belongs to the journal named in the options.
    const size_t journal = options.find(L"--journal \"");
    if (journal != std::wstring::npos)
        quitFile_ = options.substr(journal + 11, options.find(L'"', journal + 11) - journal - 11) + L".quit";
    std::wstring dependencyList;
    for (const std::wstring& dependency : dependencies)
        dependencyList += dependency + L'\0';
    const std::wstring binaryPath = L"\"" + testbed::binDir() + L"\\testsvc.exe\" " + options;
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    service_.reset(CreateServiceW(manager_.get(), name_.c_str(), displayName.empty() ? nullptr : displayName.c_str(),
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                  binaryPath.c_str(), nullptr, nullptr,
                                  dependencies.empty() ? nullptr : dependencyList.c_str(), nullptr, nullptr));
    if (!service_)
        throw std::runtime_error("installing a test service failed with " + std::to_string(GetLastError()));
}

TestService::~TestService()
{
    if (!quitFile_.empty())
        std::ofstream(quitFile_.c_str()).put('\n');
    if (state() != SERVICE_STOPPED) {
        // A service already stopping refuses another stop (1061); the quit file ends it.
        SERVICE_STATUS status = {};
        ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
        reaches(service_.get(), SERVICE_STOPPED);
    }
    // Later services of the same journal must not find the way out already open.
    if (!quitFile_.empty())
        DeleteFileW(quitFile_.c_str());
    DeleteService(service_.get());
}

DWORD TestService::state() const
{
    SERVICE_STATUS status = {};
    QueryServiceStatus(service_.get(), &status);
    return status.dwCurrentState;
}

void TestService::startAndWait(DWORD state) const
{
    expectState(service_.get(), StartServiceW(service_.get(), 0, nullptr), state);
}

void TestService::stopAndWait() const
{
    SERVICE_STATUS status = {};
    expectState(service_.get(), ControlService(service_.get(), SERVICE_CONTROL_STOP, &status), SERVICE_STOPPED);
}
