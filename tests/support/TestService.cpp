#include "support/TestService.h"

#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

bool waitForState(SC_HANDLE service, DWORD state)
{
    const ULONGLONG deadline = GetTickCount64() + 30000;
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != state && GetTickCount64() < deadline)
        Sleep(20);
    return status.dwCurrentState == state;
}

// Fails the calling test when the request failed or the state is not reached.
void expectState(SC_HANDLE service, BOOL requested, const char* request, DWORD state)
{
    if (!requested)
        ADD_FAILURE() << request << " failed with " << GetLastError();
    else if (!waitForState(service, state))
        ADD_FAILURE() << "the service did not reach state " << state;
}

void touch(const std::wstring& path)
{
    std::ofstream(path.c_str()).put('\n');
}

} // namespace

std::wstring testServiceHost()
{
    return testbed::binDir() + L"\\testsvc.exe";
}

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

void ServiceJournal::requestQuit() const
{
    touch(path_ + L".quit");
}

TestService::TestService(std::wstring name, std::wstring displayName, std::wstring options,
                         std::vector<std::wstring> dependencies, DWORD startType)
    : name_(std::move(name)), displayName_(std::move(displayName))
{
    std::wsmatch journal; // the quit file belongs to the journal named in the options
    if (std::regex_search(options, journal, std::wregex(L"--journal (\"([^\"]*)\"|\\S+)")))
        quitFile_ = (journal[2].matched ? journal[2].str() : journal[1].str()) + L".quit";
    std::wstring dependencyList;
    for (const std::wstring& dependency : dependencies)
        dependencyList += dependency + L'\0';
    const std::wstring binaryPath = L"\"" + testServiceHost() + L"\" " + options;
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager_)
        service_.reset(CreateServiceW(manager_.get(), name_.c_str(),
                                      displayName_.empty() ? nullptr : displayName_.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                                      nullptr, nullptr, dependencies.empty() ? nullptr : dependencyList.c_str(),
                                      nullptr, nullptr));
    if (!service_)
        throw std::runtime_error("installing a test service failed with " + std::to_string(GetLastError()));
}

TestService::~TestService()
{
    if (!quitFile_.empty())
        touch(quitFile_);
    if (state() != SERVICE_STOPPED) {
        // A service already stopping refuses another stop (1061); the quit file ends it.
        SERVICE_STATUS status = {};
        ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
        waitForState(service_.get(), SERVICE_STOPPED);
    }
    // Later services of the same journal must not find the way out already open.
    if (!quitFile_.empty())
        DeleteFileW(quitFile_.c_str());
    DeleteService(service_.get());
}

SERVICE_STATUS TestService::status() const
{
    SERVICE_STATUS status = {};
    QueryServiceStatus(service_.get(), &status);
    return status;
}

void TestService::startAndWait(DWORD state) const
{
    expectState(service_.get(), StartServiceW(service_.get(), 0, nullptr), "StartServiceW", state);
}

void TestService::stopAndWait() const
{
    SERVICE_STATUS status = {};
    expectState(service_.get(), ControlService(service_.get(), SERVICE_CONTROL_STOP, &status), "ControlService", SERVICE_STOPPED);
}
