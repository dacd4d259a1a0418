// The panel database against the bed's MariaDB server: the provider, and Delete Sessions
// (command 1015) of the control dialog with the connection settings and the password
// answered by the sandbox's management service "tarvosrv".
#include "panel/MySQLDatabaseProvider.h"
#include "resource.h"
#include "runtime/Config.h"
#include "services/Service.h"

#include "support/Capture.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <regex>

namespace {

using testbed::env;
using testbed::thrownText;
using Texts = std::vector<std::wstring>;
using Flags = std::vector<bool>;

// The bed's database as login (admin when not given).
void open(IDatabaseProvider& db, const wchar_t* login = L"admin",
          const std::wstring& password = env(L"WL_TEST_DB_PASSWORD"), const std::wstring& dbName = L"kzo")
{
    db.connect(env(L"WL_TEST_DB_HOST"), dbName, login, password, _wtoi(env(L"WL_TEST_DB_PORT").c_str()), L"");
}

// Every value of the result, row after row; "NULL" for SQL NULL.
Texts values(IDatabaseProvider& db, const std::wstring& statement)
{
    Texts all;
    for (RecordSetRef rows = db.query(statement); rows->moveNext();)
        for (uint32_t i = 0; i < rows->fieldCount(); ++i)
            all.push_back(rows->getString(i, L"NULL", false));
    return all;
}

struct Reconnect : IReconnectCallback {
    bool restore = true;
    int calls = 0;
    void reconnect(IDatabaseProvider& db) override { ++calls, restore ? open(db) : void(); }
};

} // namespace

TEST(Database, VersionsMasksAndFactory)
{
    EXPECT_EQ(L"Unable to build database provider mysql\n   at (CreateDatabaseProvider line #)",
              thrownText([] { CreateDatabaseProvider(L"mysql"); }));
    const struct { const wchar_t *a, *b; int order; const wchar_t *names, *password; } versions[] = {
        {L"4.0.27", L"4.1", -1, L"", L"SET PASSWORD = PASSWORD('"}, {L"none", L"0", 0, L"", L"SET"},
        {L"5.5.2", L"5.5.3", -1, L"SET NAMES 'utf8'", L"SET"}, {L"5.7.5", L"5.7.6", -1, L"SET NAMES 'utf8mb4'", L"SET"},
        {L"5.7.6", L"5.7", 1, L"SET NAMES 'utf8mb4'", L"ALTER USER USER() IDENTIFIED BY '"},
        {L"5.5.5-10.3.2-MariaDB", L"5.5.5", 0, L"SET NAMES 'utf8mb4'", L"SET"},
    };
    for (const auto& v : versions) {
        EXPECT_EQ(std::make_pair(v.order, -v.order), std::make_pair(compareVersions(v.a, v.b), compareVersions(v.b, v.a)));
        EXPECT_EQ(v.names, MySQLDatabaseProvider::characterSetStatement(v.a)) << v.a;
        EXPECT_EQ(0u, MySQLDatabaseProvider::passwordStatement(v.a, L"p").find(v.password)) << v.a;
    }
    const std::pair<const wchar_t*, const wchar_t*> masks[] = {
        {L"SET PASSWORD = PASSWORD('se''cr\\'et')", L"SET PASSWORD = PASSWORD('*')"},
        {L"alter user x identified by 'a\\\\', y Identified By 'b'", L"alter user x identified by '*', y Identified By '*'"},
        {L"GRANT ALL TO u IDENTIFIED BY 'p1'; set password=password('p2')",
         L"GRANT ALL TO u IDENTIFIED BY '*'; set password=password('*')"},
        {L"PASSWORD('')", L"PASSWORD('*')"}, {L"PASSWORD('open", L"PASSWORD('*"}, {L"SELECT 'PASSWORD'", L"SELECT 'PASSWORD'"},
    };
    for (const auto& [statement, masked] : masks)
        EXPECT_EQ(masked, MySQLDatabaseProvider::removePasswordFromSql(statement));
}

TEST(Database, StatementsAndRecordSets)
{
    MySQLDatabaseProvider refused;
    EXPECT_TRUE(testbed::thrown<VDatabase::ConnectException>([&] { open(refused, L"admin", L"wrong"); }));
    EXPECT_FALSE(refused.isConnected() || refused.ping());
    EXPECT_EQ(L"MySQLDatabaseProvider is not connected to a database\n   at (MySQLDatabaseProvider::connection line #)\n"
              L"   at Unable to call execute(DO 1)(MySQLDatabaseProvider::execute line #)",
              thrownText([&] { refused.execute(L"DO 1"); }));

    MySQLDatabaseProvider db;
    open(db, L"admin", env(L"WL_TEST_DB_PASSWORD"), L"");
    EXPECT_EQ(Texts{L"NULL"}, values(db, L"SELECT DATABASE()"));
    EXPECT_NE(std::wstring::npos, thrownText([&] { db.selectDatabase(L"k`zo"); }).find(L"to database 'k`zo'"));
    db.selectDatabase(L"kzo");
    EXPECT_EQ((Texts{L"kzo", L"utf8mb4", L"READ-UNCOMMITTED", db.version()}),
              values(db, L"SELECT DATABASE(), @@character_set_client, @@tx_isolation, VERSION()"));
    db.execute(L"CREATE TEMPORARY TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, a TEXT, b TEXT) CHARSET=utf8mb4");
    db.replace(L"insert into t (id, a, b) values (1, 'x', 'y')");
    db.replace(L"INSERT INTO t (id, a, b) values (1, NULL, '')");
    db.execute(L"INSERT INTO t (b) VALUES ('" + db.escape(L"O'Brien \\ Grüße 日本 😀") + L"')");
    EXPECT_EQ((Texts{L"1", L"NULL", L"", L"2", L"NULL", L"O'Brien \\ Grüße 日本 😀"}), values(db, L"SELECT * FROM t"));
    EXPECT_EQ(L"Can't execute replace(). Invalid INSERT request: INSERT\n"
              L"   at Unable to call replace(INSERT)(MySQLDatabaseProvider::replace line #)",
              thrownText([&] { db.replace(L"INSERT"); }));
    EXPECT_NE(L"no error", thrownText([&] { db.replace(L"UPDATE t SET b = 'z'"); }));
    EXPECT_EQ(L"Can't get result for query UPDATE t SET b = 'u' MySQLDatabaseProvider error \n"
              L"   at Unable to call query(UPDATE t SET b = 'u')(MySQLDatabaseProvider::query line #)",
              thrownText([&] { db.query(L"UPDATE t SET b = 'u'"); }));
    const uint64_t id = db.generateNextId();
    EXPECT_EQ(Texts{std::to_wstring(id + 1)}, (db.generateNextId(), values(db, L"SELECT id FROM ms_jet_counter")));
    EXPECT_EQ((Flags{true, false, false, false}), (Flags{db.tableExists(L"ms_jet_counter"),
              db.tableExists(L"ms_jet_counte_"), db.tableExists(L"ms%"), db.tableExists(L"session_")}));

    RecordSetRef first = db.query(L"SELECT 1 AS id, 2 AS id, NULL, '' AS e, 'v' UNION SELECT 3, 4, 'n', 'e', 'w'");
    RecordSetRef second = first;
    first = RecordSetRef();
    EXPECT_EQ(L"VMySQLRecordSet has no current row\n   at (VMySQLRecordSet::value line #)",
              thrownText([&] { second->isNull(0, false); }));
    EXPECT_EQ(std::make_pair(1, -1), std::make_pair(second->fieldIndex(L"id"), second->fieldIndex(L"ID")));
    ASSERT_TRUE(second->moveNext());
    std::wstring out = L"kept";
    EXPECT_EQ((Flags{true, true, false, true, true, false, false, true, true}),
              (Flags{second->isNull(2, false), second->isEmpty(2, true), second->isNull(3, false), second->isNull(3, true),
                     second->isEmpty(3, false), second->isEmpty(2, false), second->getValue(3, out, true), out == L"kept",
                     second->getString(3, L"d", true) == L"d" && second->getString(3, L"d", false).empty()}));
    EXPECT_TRUE(second->moveLast() && second->moveNext() && second->getString(4, L"", false) == L"w");
    EXPECT_TRUE(!second->moveNext() && second->moveFirst() && !db.query(L"SELECT 1 FROM t WHERE 0")->moveFirst());
}

TEST(Database, LostConnectionIsRestoredOnceAndNeverInsideATransaction)
{
    MySQLDatabaseProvider db, killer;
    open(db), open(killer);
    const auto killThenRun = [&] { // whether "DO 1" failed for the lost connection
        killer.execute(L"KILL " + values(db, L"SELECT CONNECTION_ID()").at(0));
        return std::regex_match(testbed::thrown([&] { db.execute(L"DO 1"); }).value_or(vexception(L"")).message(),
                                std::wregex(L"Can't execute DO 1: MySql error (2006|2013|1927):.+"));
    };
    EXPECT_TRUE(killThenRun());
    Reconnect reconnect;
    open(db);
    db.setReconnectCallback(&reconnect);
    EXPECT_FALSE(killThenRun());
    db.beginTrans();
    EXPECT_TRUE(killThenRun());
    EXPECT_EQ(1, reconnect.calls);
    db.rollback(); // outside the transaction now: restored
    db.rollback();
    EXPECT_EQ(0, db.transactionDepth());
    reconnect.restore = false; // the retry meets the dead connection again
    EXPECT_TRUE(killThenRun());
    EXPECT_EQ(3, reconnect.calls);
}

// With Debug on, neither the old nor the new password of a login reaches the debug file, a
// line or error of the log (the text that every sink, the event log too, is given) or an
// error text, also when the server quotes the failing statement.
TEST(Database, PasswordsStayOutOfLogsAndMessages)
{
    wchar_t temp[MAX_PATH];
    const std::wstring root = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + testbed::uniqueName(L"dbroot");
    SHCreateDirectoryExW(nullptr, (root + L"\\admin\\logs").c_str(), nullptr);
    testreg::ScopedValue productRoot(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"), debug(CONFIG_ROOT_KEY, L"Debug");
    productRoot.setString(root);
    debug.setDword(1);
    for (int i = 0; i < 16; ++i)
        isDebug();
    LogCapture capture;

    const std::wstring oldPassword = env(L"WL_TEST_DB_OWNER_PASSWORD"), newPassword = L"n3w'S\\ecret";
    MySQLDatabaseProvider owner, again;
    open(owner, L"wl_owner", oldPassword, L"");
    owner.setPassword(newPassword);
    open(again, L"wl_owner", newPassword, L"");
    again.setPassword(oldPassword);
    std::wstring seen = thrownText([&] { owner.execute(L"SET PASSWORD == PASSWORD('" + owner.escape(newPassword) + L"')"); });
    EXPECT_NE(std::wstring::npos, seen.find(L"Can't execute SET PASSWORD == PASSWORD('*'): MySql error 1064:"));

    SYSTEMTIME now;
    GetLocalTime(&now);
    std::ifstream file(formatString(L"%s\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", root, now.wYear, now.wMonth,
                                    now.wDay).c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::wstring debugFile(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(std::wstring::npos, debugFile.find(L"MySQLDatabaseProvider Execute: SET PASSWORD = PASSWORD('*')"));
    for (const auto& [level, text] : capture.messages)
        seen += text;
    for (const auto& [level, error] : capture.errors)
        seen += error.fullText();
    for (const std::wstring& secret : {oldPassword, newPassword, std::wstring(L"n3w")})
        EXPECT_EQ(std::wstring::npos, (seen + debugFile).find(secret)) << secret;
}

TEST(Database, DeleteSessionsEmptiesTheTableOrShowsWhyNot)
{
    const std::wstring settings = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv\\", pipe = testbed::uniqueName(L"kzo");
    testreg::ScopedValue marker{INSTALLER_KEY, INSTALLER_MARKER}, pipeName{CONFIG_ROOT_KEY, L"kzopipe"},
        tries{CONFIG_ROOT_KEY, L"PipeConnectTryCount"}, host{settings + L"Strings", L"MySQL_DB_HOST"},
        port{settings + L"Strings", L"MySQL_DB_PORT"}, login{settings + L"Strings", L"TARVO_DATABASE_LOGIN"},
        name{settings + L"Strings", L"mySQLDBName"}, password{settings + L"Passwords", L"TARVO_DATABASE_PASSWORD"};
    const auto provision = [&] { // what a panel server has
        marker.setString(L"C:\\Tarvo"), host.setString(env(L"WL_TEST_DB_HOST")), port.setString(env(L"WL_TEST_DB_PORT"));
        login.setString(L"admin"), name.setString(L"kzo"), password.setString(env(L"WL_TEST_DB_PASSWORD"));
    };
    provision();
    pipeName.setString(pipe);
    tries.setDword(1); // one attempt per lookup while the service is stopped, for the rest of this process
    for (int i = 0; i < 16; ++i)
        getPipeConnectTryCount(10);
    MessageBoxAnswerer creation; // a bed without a catalogue fails the dialog's first refresh
    DialogHarness harness;
    const auto deleteSessions = [&] { // the boxes shown, "caption|style|text;" each
        MessageBoxAnswerer answerer;
        harness.command(IDC_DELETE_SESSIONS);
        std::wstring shown;
        for (const auto& box : answerer.boxes())
            shown += box.caption + L"|" + std::to_wstring(box.style) + L"|" + withoutLines(box.text) + L";";
        return shown;
    };
    MySQLDatabaseProvider db;
    open(db);
    const auto sessions = [&] { return values(db, L"SELECT COUNT(*) FROM sessions").at(0); };
    db.execute(L"DELETE FROM sessions");
    db.execute(L"INSERT INTO sessions (sess_id, login) VALUES ('s1', 'admin'), ('s2', 'jdoe')");

    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const UniqueServiceHandle tarvosrv(CreateServiceW(manager.get(), L"tarvosrv", L"Tarvo Management Service",
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
        (L"\"" + testbed::binDir() + L"\\tarvosrv_sandbox.exe\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(tarvosrv);
    EXPECT_EQ(L"Delete All Sessions|16|File not found. (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\" + pipe +
                  L"\n   at (Con::ClientOverlappedPipe::create line #)\n"
                  L"   at Unable to call getInstance()(TarvoSrvClient::getInstance line #);",
              deleteSessions());
    EXPECT_EQ(L"2", sessions());

    EXPECT_EQ(0u, service::startService(L"tarvosrv"));
    for (const wchar_t* rows : {L"2", L"0"}) { // the second time the table is empty
        EXPECT_EQ(rows, sessions());
        EXPECT_EQ(L"", deleteSessions());
        EXPECT_EQ(L"0", sessions());
    }
    db.execute(L"INSERT INTO sessions (sess_id, login) VALUES ('s3', 'admin')");
    const std::pair<std::function<void()>, std::wstring> failures[] = {
        {[&] { port.setString(L"1"); },
         L"Failed to connect to database: Can't connect to server on '127.0.0.1' (10061)\n"
         L"   at Unable to call connect(127.0.0.1, kzo, admin, 1, )(MySQLDatabaseProvider::connect line #)"},
        {[&] { login.setString(L"wl_reader"), password.setString(env(L"WL_TEST_DB_READER_PASSWORD")); },
         L"Can't execute DELETE FROM sessions: MySql error 1142:DELETE command denied to user 'wl_reader'@'127.0.0.1' "
         L"for table `kzo`.`sessions`\n"
         L"   at Unable to call execute(DELETE FROM sessions)(MySQLDatabaseProvider::execute line #)"},
        {[&] { marker.remove(); }, L"Unable to connect to Tarvo database on service node\n   at (KZODatabase::connect line #)"},
    };
    for (const auto& [breakIt, box] : failures) {
        provision();
        breakIt();
        EXPECT_EQ(L"Delete All Sessions|16|" + box + L";", deleteSessions());
        EXPECT_EQ(L"1", sessions());
    }
    service::controlService(SERVICE_CONTROL_STOP, L"tarvosrv");
    DeleteService(tarvosrv.get());
}
