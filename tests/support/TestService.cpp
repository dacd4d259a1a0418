#include "support/TestService.h"

#include "runtime/Exception.h"
#include "services/ServiceApi.h"

#include <gtest/gtest.h>

// Whether the request (asked) went through and the service reached state within 30 s.
static bool reaches(SC_HANDLE service, BOOL asked, DWORD state)
{
    SERVICE_STATUS status = {};
    for (int i = 0; asked && i < 1500 && QueryServiceStatus(service, &status) && status.dwCurrentState != state; i++)
        Sleep(20);
    return status.dwCurrentState == state;
}

std::vector<std::wstring> ServiceJournal::events() const
{
    // "YYYY-MM-DD hh:mm:ss.mmm EVENT NAME" lines.
    std::vector<std::wstring> events;
    std::wifstream file(path_.c_str());
    std::wstring date, time, event, name;
    while (file >> date >> time >> event >> name)
        events.push_back(event + L" " + name);
    return events;
}

std::vector<std::wstring> ServiceJournal::namesOf(const wchar_t* event) const
{
    std::vector<std::wstring> names;
    for (const std::wstring& entry : events())
        if (entry.rfind(event + std::wstring(L" "), 0) == 0)
            names.push_back(entry.substr(wcslen(event) + 1));
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
    const UniqueServiceHandle manager(service::openManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    // A service of the same name that was deleted is gone once the last program that watched it
    // (a program that ended just now, say) has had its handles closed: 30 s at most.
    for (int tries = 0; !service_ && tries < 300; ++tries) {
        service_.reset(CreateServiceW(manager.get(), name_.c_str(), displayName.empty() ? nullptr : displayName.c_str(),
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                      (L"\"" + testbed::binDir() + L"\\testsvc.exe\" " + options).c_str(), nullptr,
                                      nullptr, dependencies.empty() ? nullptr : dependencyList.c_str(), nullptr, nullptr));
        if (!service_ && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
            Sleep(100);
        else
            break;
    }
    if (!service_)
        WL_THROW_LAST_ERROR((L"CreateService " + name_).c_str());
}

TestService::~TestService()
{
    // The quit file ends a stubborn service, even one already stopping (which refuses
    // another stop); later services of the same journal must not find it open.
    std::ofstream(quitFile_.c_str()).put('\n');
    stop();
    reaches(service_.get(), TRUE, SERVICE_STOPPED);
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
    EXPECT_TRUE(reaches(service_.get(), StartServiceW(service_.get(), 0, nullptr), state)) << "no state " << state;
}

void TestService::stopAndWait() const
{
    EXPECT_TRUE(reaches(service_.get(), stop(), SERVICE_STOPPED)) << "not stopped";
}
