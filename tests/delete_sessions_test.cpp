// Delete Sessions (command 1015) of the control dialog against the bed's database, with the
// connection settings and the password answered by the sandbox's management service.
#include "panel/MySQLDatabaseProvider.h"
#include "resource.h"
#include "runtime/Config.h"
#include "services/Service.h"

#include "support/DialogHarness.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <functional>

using testbed::env;

TEST(DeleteSessions, EmptiesTheTableOrShowsWhyNot)
{
    const std::wstring strings = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv\\Strings", pipe = testbed::uniqueName(L"kzo");
    testreg::ScopedValue marker{INSTALLER_KEY, INSTALLER_MARKER}, pipeName{CONFIG_ROOT_KEY, L"kzopipe"},
        tries{CONFIG_ROOT_KEY, L"PipeConnectTryCount"}, host{strings, L"MySQL_DB_HOST"}, port{strings, L"MySQL_DB_PORT"},
        login{strings, L"TARVO_DATABASE_LOGIN"}, name{strings, L"mySQLDBName"},
        password{L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv\\Passwords", L"TARVO_DATABASE_PASSWORD"};
    const auto provision = [&] { // what a panel server has
        marker.setString(L"C:\\Tarvo"), host.setString(env(L"WL_TEST_DB_HOST")), port.setString(env(L"WL_TEST_DB_PORT"));
        login.setString(L"admin"), name.setString(L"kzo"), password.setString(env(L"WL_TEST_DB_PASSWORD"));
    };
    pipeName.setString(pipe);
    tries.setDword(1); // a stopped service costs one attempt per lookup; the count lives as long as this process
    for (int i = 0; i < 16; ++i)
        getPipeConnectTryCount(10);
    provision();
    MessageBoxAnswerer creation; // a bed without a catalogue fails the dialog's first refresh
    DialogHarness harness;
    const auto deleteSessions = [&] { // the boxes shown, "caption|style|text"
        MessageBoxAnswerer answerer;
        harness.command(IDC_DELETE_SESSIONS);
        std::vector<std::wstring> boxes;
        for (const auto& box : answerer.boxes())
            boxes.push_back(box.caption + L"|" + std::to_wstring(box.style) + L"|" + withoutLines(box.text));
        return boxes;
    };
    MySQLDatabaseProvider db;
    db.connect(env(L"WL_TEST_DB_HOST"), L"kzo", L"admin", env(L"WL_TEST_DB_PASSWORD"), _wtoi(env(L"WL_TEST_DB_PORT").c_str()), L"");
    const auto sessions = [&] {
        const RecordSetRef rows = db.query(L"SELECT COUNT(*) FROM sessions");
        return rows->moveNext() ? rows->getString(0, L"", false) : L"none";
    };
    db.execute(L"DELETE FROM sessions");
    db.execute(L"INSERT INTO sessions (sess_id, login) VALUES ('s1', 'admin'), ('s2', 'jdoe')");

    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const UniqueServiceHandle tarvosrv(CreateServiceW(
        manager.get(), L"tarvosrv", L"Tarvo Management Service", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, (L"\"" + testbed::binDir() + L"\\tarvosrv_sandbox.exe\"").c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(tarvosrv);
    EXPECT_EQ(std::vector<std::wstring>{L"Delete All Sessions|16|File not found. (Error code 2) at Unable to connect to pipe "
                                        L"\\\\.\\pipe\\" + pipe + L"\n   at (Con::ClientOverlappedPipe::create line #)\n"
                                        L"   at Unable to call getInstance()(TarvoSrvClient::getInstance line #)"},
              deleteSessions());
    EXPECT_EQ(L"2", sessions());

    EXPECT_EQ(0u, service::startService(L"tarvosrv"));
    for (const wchar_t* rows : {L"2", L"0"}) { // the second time the table is empty
        EXPECT_EQ(rows, sessions());
        EXPECT_EQ(std::vector<std::wstring>{}, deleteSessions());
        EXPECT_EQ(L"0", sessions());
    }

    db.execute(L"INSERT INTO sessions (sess_id, login) VALUES ('s3', 'admin')");
    const std::pair<std::function<void()>, std::wstring> failures[] = {
        {[&] { port.setString(L"1"); },
         L"Failed to connect to database: Can't connect to server on '127.0.0.1' (10061)\n"
         L"   at Unable to call connect(127.0.0.1, kzo, admin, 1, )(MySQLDatabaseProvider::connect line #)"},
        {[&] { login.setString(L"wl_reader"), password.setString(env(L"WL_TEST_DB_READER_PASSWORD")); },
         L"Can't execute DELETE FROM sessions: MySql error 1142:DELETE command denied to user 'wl_reader'@'127.0.0.1' for "
         L"table `kzo`.`sessions`\n   at Unable to call execute(DELETE FROM sessions)(MySQLDatabaseProvider::execute line #)"},
        {[&] { marker.remove(); }, L"Unable to connect to Tarvo database on service node\n   at (KZODatabase::connect line #)"},
    };
    for (const auto& [breakIt, box] : failures) {
        provision();
        breakIt();
        EXPECT_EQ(std::vector<std::wstring>{L"Delete All Sessions|16|" + box}, deleteSessions());
        EXPECT_EQ(L"1", sessions());
    }
    service::controlService(SERVICE_CONTROL_STOP, L"tarvosrv");
    DeleteService(tarvosrv.get());
}
