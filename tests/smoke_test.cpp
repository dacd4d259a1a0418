// First contact with each real component the later tests stand on: Wine's Service
// Control Manager, its registry in the 32-bit view, the MariaDB server through the
// cross-built client library, and the Xvfb display.
#include "runtime/Handle.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>
#include <mysql.h>
#include <windows.h>

#include <memory>
#include <string>

namespace {

DWORD waitForState(SC_HANDLE service, DWORD wanted)
{
    SERVICE_STATUS status{};
    for (int i = 0; i < 200; ++i) {
        if (!QueryServiceStatus(service, &status))
            return 0;
        if (status.dwCurrentState == wanted)
            break;
        Sleep(50);
    }
    return status.dwCurrentState;
}

TEST(Smoke, ServiceIsCreatedStartedQueriedAndDeleted)
{
    UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm) << GetLastError();

    const std::wstring name = testbed::uniqueName(L"wlsmoke");
    const std::wstring binary = L"\"" + testbed::binDir() + L"\\testsvc.exe\"";
    UniqueServiceHandle service(CreateServiceW(scm.get(), name.c_str(), L"Smoke test service", SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();

    EXPECT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    EXPECT_EQ(waitForState(service.get(), SERVICE_RUNNING), DWORD(SERVICE_RUNNING));

    wchar_t displayName[256];
    DWORD size = static_cast<DWORD>(std::size(displayName));
    EXPECT_TRUE(GetServiceDisplayNameW(scm.get(), name.c_str(), displayName, &size));
    EXPECT_STREQ(displayName, L"Smoke test service");

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(waitForState(service.get(), SERVICE_STOPPED), DWORD(SERVICE_STOPPED));

    EXPECT_TRUE(DeleteService(service.get())) << GetLastError();
    service.reset();
    // The SCM removes the entry once the service process has let go of it.
    DWORD error = 0;
    for (int i = 0; i < 100 && error != ERROR_SERVICE_DOES_NOT_EXIST; ++i) {
        UniqueServiceHandle gone(OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
        error = gone ? 0 : GetLastError();
        if (gone)
            Sleep(50);
    }
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

DWORD readDword(const std::wstring& key, REGSAM view)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = REG_NONE;
    RegQueryValueExW(handle, L"Answer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(handle);
    return type == REG_DWORD ? value : 0;
}

TEST(Smoke, RegistryValueLandsInThe32BitView)
{
    const std::wstring key = L"SOFTWARE\\Tarvo\\" + testbed::uniqueName(L"WardenlightSmoke");
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const DWORD written = 4711;
    EXPECT_EQ(RegSetValueExW(handle, L"Answer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&written),
                             sizeof(written)),
              ERROR_SUCCESS);
    RegCloseKey(handle);

    EXPECT_EQ(readDword(key, KEY_WOW64_32KEY), written);
    // Seen from the 64-bit side the value sits under WOW6432Node, as on 64-bit Windows.
    EXPECT_EQ(readDword(L"SOFTWARE\\WOW6432Node" + key.substr(8), KEY_WOW64_64KEY), written);

    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
}

TEST(Smoke, DatabaseAnswersThroughTheClientLibrary)
{
    const std::string host = testbed::envNarrow("WL_TEST_DB_HOST");
    const std::string port = testbed::envNarrow("WL_TEST_DB_PORT");
    ASSERT_FALSE(port.empty()) << "the test bed's database is not configured";

    MYSQL* connection = mysql_init(nullptr);
    ASSERT_NE(connection, nullptr);
    std::unique_ptr<MYSQL, decltype(&mysql_close)> owner(connection, &mysql_close);
    unsigned timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    ASSERT_NE(mysql_real_connect(connection, host.c_str(), testbed::envNarrow("WL_TEST_DB_USER").c_str(),
                                 testbed::envNarrow("WL_TEST_DB_PASSWORD").c_str(), "kzo",
                                 static_cast<unsigned>(std::stoul(port)), nullptr, 0),
              nullptr)
        << mysql_error(connection);

    ASSERT_EQ(mysql_query(connection, "SELECT COUNT(*), DATABASE() FROM sessions"), 0) << mysql_error(connection);
    std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> result(mysql_store_result(connection),
                                                                     &mysql_free_result);
    ASSERT_TRUE(result);
    MYSQL_ROW row = mysql_fetch_row(result.get());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "0");
    EXPECT_STREQ(row[1], "kzo");
}

TEST(Smoke, WindowAppearsOnTheBedDisplay)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"wardenlight smoke", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                  200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr) << GetLastError();
    EXPECT_TRUE(IsWindowVisible(window));
    // The bed's Xvfb screen is 1280 x 1024; without it Wine has no real display.
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, static_cast<int>(std::size(title)));
    EXPECT_STREQ(title, L"wardenlight smoke");
    EXPECT_TRUE(DestroyWindow(window));
}

}
