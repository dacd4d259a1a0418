// The panel database against the bed's MariaDB server: the provider, and Delete Sessions
// (command 1015) of the control dialog with the connection settings and the password
// answered by the sandbox's management service "tarvosrv".
#include "panel/MySQLDatabaseProvider.h"
#include "resource.h"
#include "runtime/Config.h"
#include "support/Capture.h"
#include "support/DialogHarness.h"
#include "support/LogCapture.h"
#include "support/MessageBoxAnswerer.h"
#include "support/SandboxConsole.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using testbed::env;
using testbed::thrownText;
using Texts = std::vector<std::wstring>;

void open(IDatabaseProvider& db, const std::wstring& login = L"admin", const std::wstring& password =
          env(L"WL_TEST_DB_PASSWORD"), const std::wstring& name = L"kzo")
{
    db.connect(env(L"WL_TEST_DB_HOST"), name, login, password, std::stoi(env(L"WL_TEST_DB_PORT")), L"");
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

struct Reconnect : IReconnectCallback { // restores the connection when restore is set
    bool restore = true; int calls = 0;
    void reconnect(IDatabaseProvider& db) override { ++calls, restore ? open(db) : void(); }
};

} // namespace

// The server's version chooses the character-set and password statements, and passwords are
// masked in every statement shown: neither the old nor the new password of a login reaches the
// log (the text that every sink, the debug file included, is given) or an error text, also when
// the server quotes the failing statement.
TEST(Database, VersionsMasksStatementsRecordSetsLostConnectionsAndPasswords)
{
    const struct { const wchar_t *a, *b; int order; const wchar_t *names, *password; } versions[] = {
        {L"4.0.27", L"4.1", -1, L"", L"SET PASSWORD = PASSWORD('"}, {L"none", L"0", 0, L"", L"SET"},
        {L"5.5.2", L"5.5.3", -1, L"SET NAMES 'utf8'", L"SET"}, {L"5.7.5", L"5.7.6", -1, L"SET NAMES 'utf8mb4'", L"SET"},
        {L"5.7.6", L"5.7", 1, L"SET NAMES 'utf8mb4'", L"ALTER USER USER() IDENTIFIED BY '"},
        {L"5.5.5-10.3.2-MariaDB", L"5.5.5", 0, L"SET NAMES 'utf8mb4'", L"SET"}};
    for (const auto& v : versions)
        EXPECT_EQ(std::make_tuple(v.order, -v.order, std::wstring(v.names), size_t(0)),
                  std::make_tuple(compareVersions(v.a, v.b), compareVersions(v.b, v.a), MySQLDatabaseProvider::
                      characterSetStatement(v.a), MySQLDatabaseProvider::passwordStatement(v.a, L"p").find(v.password)));
    const std::pair<const wchar_t*, const wchar_t*> masks[] = {
        {L"SET PASSWORD = PASSWORD('se''cr\\'et')", L"SET PASSWORD = PASSWORD('*')"},
        {L"alter user x identified by 'a\\\\', y Identified By 'b'", L"alter user x identified by '*', y Identified By '*'"},
        {L"GRANT ALL TO u IDENTIFIED BY 'p1'; set password=password('p2')",
         L"GRANT ALL TO u IDENTIFIED BY '*'; set password=password('*')"},
        {L"PASSWORD('')", L"PASSWORD('*')"}, {L"PASSWORD('open", L"PASSWORD('*"}, {L"SELECT 'PASSWORD'", L"SELECT 'PASSWORD'"}};
    for (const auto& [statement, masked] : masks)
        EXPECT_EQ(masked, MySQLDatabaseProvider::removePasswordFromSql(statement));

    LogCapture capture;
    MySQLDatabaseProvider refused, db, killer, owner, again;
    // A server that is down is met by Delete Sessions below.
    const auto error = testbed::thrown<VDatabase::ConnectException>([&] { open(refused, L"admin", L"wrong"); });
    EXPECT_EQ(L"Failed to connect to database: Access denied for user 'admin'@'127.0.0.1' (using password: YES)",
              error ? error->message() : L"none");

    open(db);
    EXPECT_NE(std::wstring::npos, thrownText([&] { db.selectDatabase(L"k`zo"); }).find(L"to database 'k`zo'"));
    EXPECT_EQ((Texts{L"kzo", L"READ-UNCOMMITTED", db.version()}), values(db, L"SELECT DATABASE(), @@tx_isolation, VERSION()"));
    db.execute(L"CREATE TEMPORARY TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, a TEXT, b TEXT) CHARSET=utf8mb4");
    db.replace(L"insert into t (id, a, b) values (1, 'x', 'y')"), db.replace(L"INSERT INTO t (id, a, b) values (1, NULL, '')");
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
    EXPECT_EQ((std::vector<bool>{true, false, false, false}), (std::vector<bool>{db.tableExists(L"ms_jet_counter"),
              db.tableExists(L"ms_jet_counte_"), db.tableExists(L"ms%"), db.tableExists(L"session_")}));

    RecordSetRef first = db.query(L"SELECT 1 AS id, 2 AS id, NULL, '' AS e, 'v' UNION SELECT 3, 4, 'n', 'e', 'w'");
    RecordSetRef second = std::exchange(first, RecordSetRef());
    EXPECT_EQ(L"VMySQLRecordSet has no current row\n   at (VMySQLRecordSet::value line #)",
              thrownText([&] { second->isNull(0, false); }));
    std::wstring out = L"kept";
    EXPECT_TRUE(second->fieldIndex(L"id") == 1 && second->fieldIndex(L"ID") == -1 && second->moveNext());
    EXPECT_EQ((std::vector<bool>{true, true, false, true, true, false, false, true, true}),
              (std::vector<bool>{second->isNull(2, false), second->isEmpty(2, true), second->isNull(3, false),
                                 second->isNull(3, true), second->isEmpty(3, false), second->isEmpty(2, false),
                                 second->getValue(3, out, true), out == L"kept",
                                 second->getString(3, L"d", true) == L"d" && second->getString(3, L"d", false).empty()}));
    EXPECT_TRUE(second->moveLast() && second->moveNext() && second->getString(4, L"", false) == L"w");
    EXPECT_TRUE(!second->moveNext() && second->moveFirst() && !db.query(L"SELECT 1 FROM t WHERE 0")->moveFirst());

    const auto killThenRun = [&] { // whether "DO 1" failed for the connection killed from the second session
        killer.execute(L"KILL " + values(db, L"SELECT CONNECTION_ID()").at(0));
        return std::regex_match(testbed::thrown([&] { db.execute(L"DO 1"); }).value_or(vexception(L"")).message(),
                                std::wregex(L"Can't execute DO 1: MySql error (2006|2013|1927):.+"));
    };
    Reconnect reconnect;
    open(killer);
    EXPECT_TRUE(killThenRun());
    open(db), db.setReconnectCallback(&reconnect);
    EXPECT_FALSE(killThenRun());
    db.beginTrans();
    EXPECT_TRUE(killThenRun() && reconnect.calls == 1);
    db.rollback(), db.rollback(); // outside the transaction now: restored
    reconnect.restore = false; // the retry meets the dead connection again
    EXPECT_TRUE(killThenRun() && reconnect.calls == 3 && db.transactionDepth() == 0);

    const std::wstring oldPassword = env(L"WL_TEST_DB_OWNER_PASSWORD"), newPassword = L"n3w'S\\ecret";
    open(owner, L"wl_owner", oldPassword, L""), owner.setPassword(newPassword);
    open(again, L"wl_owner", newPassword, L""), again.setPassword(oldPassword);
    std::wstring seen = thrownText([&] { owner.execute(L"SET PASSWORD == PASSWORD('" + owner.escape(newPassword) + L"')"); });
    EXPECT_NE(std::wstring::npos, seen.find(L"Can't execute SET PASSWORD == PASSWORD('*'): MySql error 1064:"));
    for (const auto& [level, text] : capture.messages)
        seen += text;
    for (const auto& [level, error] : capture.errors)
        seen += error.fullText();
    EXPECT_NE(std::wstring::npos, seen.find(L"MySQLDatabaseProvider Execute: SET PASSWORD = PASSWORD('*')"));
    for (const std::wstring& secret : {oldPassword, newPassword, std::wstring(L"n3w")})
        EXPECT_EQ(std::wstring::npos, seen.find(secret)) << secret;
}

TEST(Database, DeleteSessionsEmptiesTheTableOrShowsWhyNot)
{
    const std::wstring pipe = testbed::uniqueName(L"kzo");
    testreg::ScopedValue marker{INSTALLER_KEY, INSTALLER_MARKER}, pipeName{CONFIG_ROOT_KEY, L"kzopipe"},
        tries{CONFIG_ROOT_KEY, L"PipeConnectTryCount"};
    marker.setString(L"C:\\Tarvo"), pipeName.setString(pipe), tries.setDword(1); // one attempt while tarvosrv is stopped
    for (int i = 0; i < 16; ++i) // for the rest of this process
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
    db.execute(L"DELETE FROM sessions"), db.execute(L"INSERT INTO sessions (sess_id, login) VALUES ('s1', 'a'), ('s2', 'b')");
    EXPECT_EQ(L"Delete All Sessions|16|File not found. (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\" + pipe +
                  L"\n   at (Con::ClientOverlappedPipe::create line #)\n"
                  L"   at Unable to call getInstance()(TarvoSrvClient::getInstance line #);",
              deleteSessions());

    testbed::SandboxConsole tarvosrv(pipe); // answers as a panel server's tarvosrv does
    tarvosrv.set(L"\\Strings", L"MySQL_DB_HOST", env(L"WL_TEST_DB_HOST")), tarvosrv.set(L"\\Strings", L"mySQLDBName", L"kzo");
    // A box leaves the two rows; the last two runs empty the table and meet it empty. A server
    // that stops answering (the table locked by another connection) ends the exchange in time.
    const auto savedTimeout = mySqlApi().exchangeTimeout;
    mySqlApi().exchangeTimeout = [] { return 2u; };
    const struct { const wchar_t *port, *login, *password; bool server; std::wstring box; bool locked = false; } cases[] = {
        {L"1", L"admin", L"WL_TEST_DB_PASSWORD", true,
         L"Failed to connect to database: Can't connect to server on '127.0.0.1' (10061)\n"
         L"   at Unable to call connect(127.0.0.1, kzo, admin, 1, )(MySQLDatabaseProvider::connect line #)"},
        {nullptr, L"wl_reader", L"WL_TEST_DB_READER_PASSWORD", true,
         L"Can't execute DELETE FROM sessions: MySql error 1142:DELETE command denied to user 'wl_reader'@'127.0.0.1' "
         L"for table `kzo`.`sessions`\n   at Unable to call execute(DELETE FROM sessions)(MySQLDatabaseProvider::execute line #)"},
        {nullptr, L"admin", L"WL_TEST_DB_PASSWORD", false,
         L"Unable to connect to Tarvo database on service node\n   at (KZODatabase::connect line #)"},
        {nullptr, L"admin", L"WL_TEST_DB_PASSWORD", true, L"Can't execute DELETE FROM sessions: MySql error 2013:The "
         L"server did not answer within 2 s (timed out): Lost connection to server during query\n   at Unable to call "
         L"execute(DELETE FROM sessions)(MySQLDatabaseProvider::execute line #)", true},
        {nullptr, L"admin", L"WL_TEST_DB_PASSWORD", true, L""}, {nullptr, L"admin", L"WL_TEST_DB_PASSWORD", true, L""}};
    for (const auto& c : cases) {
        c.server ? marker.setString(L"C:\\Tarvo") : marker.remove();
        tarvosrv.set(L"\\Strings", L"MySQL_DB_PORT", c.port ? c.port : env(L"WL_TEST_DB_PORT"));
        tarvosrv.set(L"\\Strings", L"TARVO_DATABASE_LOGIN", c.login);
        tarvosrv.set(L"\\Passwords", L"TARVO_DATABASE_PASSWORD", env(c.password));
        if (c.locked)
            db.execute(L"LOCK TABLES sessions WRITE");
        EXPECT_EQ(c.box.empty() ? L"" : L"Delete All Sessions|16|" + c.box + L";", deleteSessions());
        EXPECT_EQ(c.box.empty() ? L"0" : L"2", values(db, L"SELECT COUNT(*) FROM sessions").at(0));
        db.execute(L"UNLOCK TABLES");
    }
    mySqlApi().exchangeTimeout = savedTimeout;
}
