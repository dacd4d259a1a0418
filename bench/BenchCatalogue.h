#pragma once
// A panel's worth of services for the benchmarks that run the real program: 21 test
// services in four packages and their groups, a third of them running, removed with the
// object.
#include "support/TestBed.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <memory>
#include <string>
#include <vector>

class BenchCatalogue {
public:
    static constexpr int kServices = 21;

    BenchCatalogue() : prefix_(testbed::uniqueName(L"wlprog") + L"_")
    {
        static const wchar_t* const packages[][2] = {
            {L"base", L"Run-Time"}, {L"mail", L"Mail Server"}, {L"dns", L"DNS Server"}, {L"web", L"Web Server"}};
        for (const auto& package : packages)
            catalogue_.package(prefix_ + package[0], L"core");
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        for (int index = 0; index < kServices; ++index) {
            const auto& package = packages[index % 4];
            const std::wstring name = prefix_ + std::to_wstring(index);
            services_.push_back(std::make_unique<TestService>(name, L"Bench service " + std::to_wstring(index), L""));
            catalogue_.service(prefix_ + package[0], L"core", name, package[1]);
            if (index % 3 == 0) {
                // StartServiceW returns once the service reported its first status.
                const UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
                StartServiceW(service.get(), 0, nullptr);
            }
        }
    }

    // False when the catalogue also holds packages of someone else, which the program would show too.
    bool alone() const { return catalogue_.foreignPackages().empty(); }

private:
    std::wstring prefix_;
    TestCatalogue catalogue_;
    std::vector<std::unique_ptr<TestService>> services_;
};
