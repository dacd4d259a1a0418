// The database provider against the bed's MariaDB server.
#include "panel/MySQLDatabaseProvider.h"
#include "runtime/Config.h"

#include "support/Capture.h"
#include "support/LogCapture.h"
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

// The bed's database as login (admin when not given).
void open(IDatabaseProvider& db, const wchar_t* login = L"admin", const std::wstring& password = env(L"WL_TEST_DB_PASSWORD"),
          const std::wstring& dbName = L"kzo")
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
    EXPECT_EQ(L"MySQL", CreateDatabaseProvider(L"")->providerName());
    const struct { const wchar_t *a, *b; int order; const wchar_t *names, *password; } versions[] = {
        {L"4.0.27", L"4.1", -1, L"", L"SET PASSWORD"}, {L"4.1", L"4.1", 0, L"SET NAMES 'utf8'", L"SET PASSWORD"},
        {L"5.5.2", L"5.5.3", -1, L"SET NAMES 'utf8'", L"SET PASSWORD"}, {L"none", L"0", 0, L"", L"SET PASSWORD"},
        {L"5.7.5", L"5.7.6", -1, L"SET NAMES 'utf8mb4'", L"SET PASSWORD = PASSWORD('p')"},
        {L"5.7.6", L"5.7", 1, L"SET NAMES 'utf8mb4'", L"ALTER USER USER() IDENTIFIED BY 'p'"},
        {L"5.5.5-10.3.2-MariaDB", L"5.5.5", 0, L"SET NAMES 'utf8mb4'", L"SET PASSWORD"},
    };
    for (const auto& v : versions) {
        EXPECT_EQ(std::make_pair(v.order, -v.order), std::make_pair(compareVersions(v.a, v.b), compareVersions(v.b, v.a)));
        EXPECT_EQ(v.names, MySQLDatabaseProvider::characterSetStatement(v.a)) << v.a;
        EXPECT_EQ(0u, MySQLDatabaseProvider::passwordStatement(v.a, L"p").find(v.password)) << v.a;
    }
    const std::pair<const wchar_t*, const wchar_t*> masks[] = {
        {L"SET PASSWORD = PASSWORD('se''cr\\'et')", L"SET PASSWORD = PASSWORD('*')"},
        {L"alter user x identified by 'a\\\\' , y Identified By 'b'", L"alter user x identified by '*' , y Identified By '*'"},
        {L"GRANT ALL TO u IDENTIFIED BY 'p1'; set password=password('p2')", L"GRANT ALL TO u IDENTIFIED BY '*'; set password=password('*')"},
        {L"PASSWORD('')", L"PASSWORD('*')"}, {L"PASSWORD('open", L"PASSWORD('*"}, {L"SELECT 'PASSWORD'", L"SELECT 'PASSWORD'"},
    };
    for (const auto& [statement, masked] : masks)
        EXPECT_EQ(masked, MySQLDatabaseProvider::removePasswordFromSql(statement));
}

TEST(Database, StatementsAndRecordSets)
{
    MySQLDatabaseProvider refused;
    EXPECT_NE(std::wstring::npos, testbed::thrown<VDatabase::ConnectException>([&] { open(refused, L"admin", L"wrong"); })
                                      .value_or(VDatabase::ConnectException(L"")).message().find(L"Access denied for user 'admin'@"));
    EXPECT_FALSE(refused.isConnected() || refused.ping());
    EXPECT_EQ(L"MySQLDatabaseProvider is not connected to a database\n   at (MySQLDatabaseProvider::connection line #)\n"
              L"   at Unable to call execute(DO 1)(MySQLDatabaseProvider::execute line #)",
              thrownText([&] { refused.execute(L"DO 1"); }));

    MySQLDatabaseProvider db;
    open(db, L"admin", env(L"WL_TEST_DB_PASSWORD"), L"");
    EXPECT_EQ(Texts{L"NULL"}, values(db, L"SELECT DATABASE()"));
    db.selectDatabase(L"kzo");
    EXPECT_EQ((Texts{L"kzo", L"utf8mb4", L"READ-UNCOMMITTED", db.version()}),
              values(db, L"SELECT DATABASE(), @@character_set_client, @@tx_isolation, VERSION()"));
    db.execute(L"CREATE TEMPORARY TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, a TEXT, b TEXT) CHARSET=utf8mb4");
    db.replace(L"insert into t (id, a, b) values (1, 'x', 'y')");
    db.replace(L"INSERT INTO t (id, a, b) values (1, NULL, '')");
    db.execute(L"INSERT INTO t (b) VALUES ('" + db.escape(L"O'Brien \\ Grüße 日本 😀") + L"')");
    EXPECT_EQ(2u, db.lastInsertId());
    EXPECT_EQ((Texts{L"1", L"NULL", L"", L"2", L"NULL", L"O'Brien \\ Grüße 日本 😀"}), values(db, L"SELECT * FROM t"));
    EXPECT_EQ(L"Can't execute replace(). Invalid INSERT request: INSERT\n"
              L"   at Unable to call replace(INSERT)(MySQLDatabaseProvider::replace line #)",
              thrownText([&] { db.replace(L"INSERT"); }));
    EXPECT_NE(L"no error", thrownText([&] { db.replace(L"UPDATE t SET b = 'z'"); }));
    EXPECT_EQ(L"Can't get result for query UPDATE t SET b = 'u' MySQLDatabaseProvider error \n"
              L"   at Unable to call query(UPDATE t SET b = 'u')(MySQLDatabaseProvider::query line #)",
              thrownText([&] { db.query(L"UPDATE t SET b = 'u'"); }));
    EXPECT_EQ((Texts{L"u", L"u"}), values(db, L"SELECT b FROM t"));

    const uint64_t id = db.generateNextId();
    EXPECT_EQ(id + 1, db.generateNextId());
    EXPECT_EQ((Texts{std::to_wstring(id + 1)}), values(db, L"SELECT id FROM ms_jet_counter"));
    EXPECT_EQ((std::vector<bool>{true, false, false, false}),
              (std::vector<bool>{db.tableExists(L"ms_jet_counter"), db.tableExists(L"ms_jet_counte_"),
                                 db.tableExists(L"ms%"), db.tableExists(L"session_")}));

    RecordSetRef first = db.query(L"SELECT 1 AS id, 2 AS id, NULL, '' AS e, 'v' UNION SELECT 3, 4, 'n', 'e', 'w'");
    RecordSetRef second = first;
    first = RecordSetRef();
    EXPECT_EQ(L"VMySQLRecordSet has no current row\n   at (VMySQLRecordSet::value line #)",
              thrownText([&] { second->isNull(0, false); }));
    EXPECT_EQ((std::vector<int64_t>{5, 2, 1, -1}), (std::vector<int64_t>{second->fieldCount(), int64_t(second->rowCount()),
                                                                       second->fieldIndex(L"id"), second->fieldIndex(L"ID")}));
    ASSERT_TRUE(second->moveNext());
    std::wstring out = L"kept";
    EXPECT_EQ((std::vector<bool>{true, true, false, true, true, false, false}),
              (std::vector<bool>{second->isNull(2, false), second->isEmpty(2, true), second->isNull(3, false),
                                 second->isNull(3, true), second->isEmpty(3, false), second->isEmpty(2, false),
                                 second->getValue(3, out, true)}));
    EXPECT_EQ((Texts{L"kept", L"default", L""}), (Texts{out, second->getString(3, L"default", true),
                                                        second->getString(3, L"default", false)}));
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

    SYSTEMTIME now;
    GetLocalTime(&now);
    std::ifstream file(formatString(L"%s\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", root, now.wYear, now.wMonth,
                                    now.wDay).c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::wstring debugFile(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(std::wstring::npos, debugFile.find(L"MySQLDatabaseProvider Execute: SET PASSWORD = PASSWORD('*')"));
    EXPECT_NE(std::wstring::npos, seen.find(L"Can't execute SET PASSWORD == PASSWORD('*'): MySql error 1064:"));
    seen += debugFile;
    for (const auto& [level, text] : capture.messages)
        seen += text;
    for (const auto& [level, error] : capture.errors)
        seen += error.fullText();
    for (const std::wstring& secret : {oldPassword, newPassword, std::wstring(L"n3w")})
        EXPECT_EQ(std::wstring::npos, seen.find(secret)) << secret;
}
