#pragma once

#include "runtime/Handle.h"
#include "support/TestBed.h"

#include <fstream>
#include <vector>

// A journal that services of the test host (testsvc.exe) append their start, pause,
// continue and stop events to, in a file of its own in the temporary folder. Removed with
// the object.
class ServiceJournal {
public:
    ServiceJournal() : path_(testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"journal") + L".log") {}
    ~ServiceJournal() { DeleteFileW(path_.c_str()); DeleteFileW((path_ + L".quit").c_str()); }
    ServiceJournal(const ServiceJournal&) = delete;
    ServiceJournal& operator=(const ServiceJournal&) = delete;

    const std::wstring& path() const { return path_; }
    // The host's option that names this journal.
    std::wstring option() const { return L"--journal \"" + path_ + L"\""; }
    // Every event as "event name" (event: "start", "pause", "continue" or "stop"), in order.
    std::vector<std::wstring> events() const;
    // The services that logged event, in order.
    std::vector<std::wstring> namesOf(const wchar_t* event) const;
    // Ends the stubborn modes (--hang-start, --hang-stop, --refuse-stop) of its services.
    void requestQuit() const { std::ofstream((path_ + L".quit").c_str()).put('\n'); }

private:
    std::wstring path_;
};

// A service of the test host, installed for the lifetime of the object with the host's
// options in its binary path (see sandbox/testsvc/main.cpp), and removed afterwards: the
// quit file of its journal is written (which ends every stubborn service of that journal),
// the service stopped and deleted, and the quit file removed again.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& displayName, const std::wstring& options,
                const std::vector<std::wstring>& dependencies = {}, DWORD startType = SERVICE_DEMAND_START);
    ~TestService();

    const std::wstring& name() const { return name_; }
    const wchar_t* c_name() const { return name_.c_str(); }
    const std::wstring& displayName() const { return displayName_; }
    DWORD state() const;

    // Test set-up through the manager itself: start or stop and wait until the state is
    // reached; the calling test fails when the service does not get there.
    void startAndWait(DWORD state = SERVICE_RUNNING) const;
    void stopAndWait() const;
    // A stop sent past the product, as another program would; whether the manager took it.
    bool stop() const { SERVICE_STATUS status; return ControlService(service_.get(), SERVICE_CONTROL_STOP, &status); }

private:
    std::wstring name_, displayName_, quitFile_;
    UniqueServiceHandle service_;
};

// A service name of this test run's own.
inline std::wstring testServiceName(const std::wstring& role)
{
    return testbed::uniqueName(L"wlsvc" + role);
}
