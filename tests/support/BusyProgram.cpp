#include "support/BusyProgram.h"

#include "resource.h"
#include "runtime/Config.h"
#include "runtime/Path.h"
#include "support/ProgramWindows.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Accepts connections into its backlog and never answers them; returns the port.
SOCKET silentServer(std::wstring& port)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener, 4);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = std::to_wstring(ntohs(address.sin_port));
    return listener;
}

bool connectionPending(SOCKET listener)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval none{0, 0};
    return select(0, &readable, nullptr, nullptr, &none) == 1;
}

} // namespace

const wchar_t* BusyProgram::name(Wait wait)
{
    return wait == serviceStart ? L"service start" : wait == utility ? L"utility" : L"database";
}

BusyProgram::BusyProgram(Wait wait)
    : root_(testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"busyroot")),
      productRoot_(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), debug_(CONFIG_ROOT_KEY, L"Debug"),
      marker_(INSTALLER_KEY, INSTALLER_MARKER)
{
    makeDir(root_ + L"\\admin\\logs");
    makeDir(root_ + L"\\admin\\bin64");
    CopyFileW((testbed::binDir() + L"\\hostpivot.exe").c_str(), (root_ + L"\\admin\\bin64\\hostpivot.exe").c_str(),
              FALSE);
    productRoot_.setString(root_);
    debug_.setDword(1);
    marker_.setString(L"C:\\Tarvo");
    console_.set(L"\\Strings", L"PRODUCT_ROOT_D", root_);
    std::map<std::wstring, std::wstring> variables;
    WPARAM command = ID_MENU_START;
    const std::wstring package = testbed::uniqueName(L"busy");
    catalogue_.package(package, L"core");
    if (wait == serviceStart) {
        // Start pending for good, with a wait hint that keeps the product waiting for a minute.
        service_ = std::make_unique<TestService>(testServiceName(L"Busy"), L"Busy start",
                                                 L"--hang-start --wait-hint 60000 " + journal_.option());
        catalogue_.service(package, L"core", service_->name(), L"Tarvo Run-Time");
    } else if (wait == utility) {
        tarvosrv_ = std::make_unique<TestService>(L"tarvosrv", L"Tarvo management stand-in", journal_.option());
        web_ = std::make_unique<TestService>(L"W3SVC", L"Web stand-in", journal_.option());
        web_->startAndWait();
        variables = {{L"HOSTPIVOT", L"journal hang"}, {L"HOSTPIVOT_JOURNAL", journal_.path()}};
        command = IDC_STOP_WEBSITE;
    } else {
        std::wstring port;
        listener_ = silentServer(port);
        variables = {{L"TARVO_DB_HOST", L"127.0.0.1"}, {L"TARVO_DB_PORT", port}, {L"TARVO_DB_PASSWD", L"x"}};
        command = IDC_DELETE_SESSIONS;
    }
    const int icons = trayIcons();
    program_ = std::make_unique<testbed::ChildTest>(L"", variables, testbed::binDir() + L"\\wardenlight.exe");
    if (!eventually([&] { return trayIcons() == icons + 1; })) {
        ADD_FAILURE() << "the program shows no icon";
        return;
    }
    dialog_ = controlDialog();
    PostMessageW(dialog_, WM_COMMAND, command, 0);
    const bool waiting = eventually([&] {
        switch (wait) {
        case serviceStart:
            return service_->state() == SERVICE_START_PENDING;
        case utility: {
            const std::vector<std::wstring> events = journal_.events();
            return std::find(events.begin(), events.end(), L"seen-running tarvosrv") != events.end();
        }
        default:
            return connectionPending(listener_);
        }
    });
    if (!waiting) {
        ADD_FAILURE() << "the command does not get to its wait: " << name(wait);
        dialog_ = nullptr;
    }
}

BusyProgram::~BusyProgram()
{
    SetEvent(UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, L"Local\\hostpivot-release")).get());
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
}
