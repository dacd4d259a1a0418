#include "support/BusyProgram.h"

#include "resource.h"
#include "runtime/Config.h"
#include "runtime/Path.h"
#include "support/ProgramWindows.h"

#include <gtest/gtest.h>

#include <algorithm>

BusyProgram::BusyProgram(Wait wait)
    : root_(testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"busyroot")),
      productRoot_(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), debug_(CONFIG_ROOT_KEY, L"Debug"),
      marker_(INSTALLER_KEY, INSTALLER_MARKER)
{
    makeDir(root_ + L"\\admin\\logs");
    makeDir(root_ + L"\\admin\\bin64");
    CopyFileW((testbed::binDir() + L"\\hostpivot.exe").c_str(), (root_ + L"\\admin\\bin64\\hostpivot.exe").c_str(),
              FALSE);
    productRoot_.setString(root_), debug_.setDword(1), marker_.setString(L"C:\\Tarvo");
    console_.set(L"\\Strings", L"PRODUCT_ROOT_D", root_);
    const std::wstring package = testbed::uniqueName(L"busy");
    catalogue_.package(package, L"core");
    // Start pending for good, with a wait hint that keeps the product waiting for a minute.
    const std::wstring busy = testServiceName(L"Busy"); // its own display name too: the last one may linger
    service_ = std::make_unique<TestService>(busy, busy, L"--hang-start --wait-hint 60000 " + journal_.option());
    catalogue_.service(package, L"core", service_->name(), L"Tarvo Run-Time");
    tarvosrv_ = std::make_unique<TestService>(L"tarvosrv", L"Tarvo management stand-in", journal_.option());
    web_ = std::make_unique<TestService>(L"W3SVC", L"Web stand-in", journal_.option());
    web_->startAndWait();
    // A server that takes connections into its backlog and never answers them.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{AF_INET, 0, {}, {}};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);

    const int icons = trayIcons();
    program_ = std::make_unique<testbed::ChildTest>(
        L"", std::map<std::wstring, std::wstring>{{L"HOSTPIVOT", L"journal hang"}, {L"HOSTPIVOT_JOURNAL", journal_.path()},
             {L"TARVO_DB_HOST", L"127.0.0.1"}, {L"TARVO_DB_PORT", std::to_wstring(ntohs(address.sin_port))},
             {L"TARVO_DB_PASSWD", L"x"}}, testbed::binDir() + L"\\wardenlight.exe");
    const WPARAM commands[] = {ID_MENU_START, IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS};
    const auto waiting = [&] {
        const std::vector<std::wstring> events = journal_.events();
        fd_set pending{1, {listener_}};
        timeval now{0, 0};
        return wait == serviceStart ? service_->state() == SERVICE_START_PENDING
             : wait == utility      ? std::count(events.begin(), events.end(), L"seen-running tarvosrv") > 0
                                    : select(0, &pending, nullptr, nullptr, &now) == 1;
    };
    if (eventually([&] { return trayIcons() == icons + 1 && controlDialog(); }) &&
        PostMessageW(controlDialog(), WM_COMMAND, commands[wait], 0) && eventually(waiting))
        dialog_ = controlDialog();
    else
        ADD_FAILURE() << "the command does not get to its wait: " << name(wait);
}

BusyProgram::~BusyProgram()
{
    SetEvent(UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, L"Local\\hostpivot-release")).get());
    closesocket(listener_);
}
