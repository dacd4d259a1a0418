#pragma once
// The MySQL/MariaDB provider over MariaDB Connector/C.
#include "panel/DatabaseProvider.h"
#include "runtime/Handle.h"

#include <mysql.h>

#include <map>

struct MySqlTraits {
    using Type = MYSQL*;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type connection) noexcept { mysql_close(connection); }
};
using UniqueMySql = UniqueResource<MySqlTraits>;

struct MySqlResultTraits {
    using Type = MYSQL_RES*;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type result) noexcept { mysql_free_result(result); }
};
using UniqueMySqlResult = UniqueResource<MySqlResultTraits>;

// The time-out in seconds of every exchange with the server, the connect included: the
// configured connect time-out unless a test has installed a shorter one.
struct MySqlApi {
    unsigned (*exchangeTimeout)();
};
MySqlApi& mySqlApi();

// -1, 0 or 1 as version a is below, equal to or above b, number by number between the dots;
// the text after a number that does not start with "." is ignored ("5.5.5-10.3.2-MariaDB"
// is 5.5.5).
int compareVersions(const std::wstring& a, const std::wstring& b);

class MySQLDatabaseProvider : public IDatabaseProvider {
public:
    MySQLDatabaseProvider();
    ~MySQLDatabaseProvider() override;
    MySQLDatabaseProvider(const MySQLDatabaseProvider&) = delete;
    MySQLDatabaseProvider& operator=(const MySQLDatabaseProvider&) = delete;

    void connect(const std::wstring& host, const std::wstring& dbName, const std::wstring& login,
                 const std::wstring& password, int32_t port, const std::wstring& socket) override;
    bool isConnected() const override { return static_cast<bool>(mysql_); }
    bool ping() override;
    void close() override;
    std::wstring version() override;
    std::wstring providerName() const override { return L"MySQL"; }
    std::wstring escape(const std::wstring& text) override;
    void selectDatabase(const std::wstring& name) override;
    RecordSetRef query(const std::wstring& statement) override;
    void execute(const std::wstring& statement) override;
    void replace(const std::wstring& statement) override;
    uint64_t lastInsertId() override;
    void beginTrans() override;
    void commit() override;
    void rollback() override;
    uint64_t generateNextId() override;
    bool tableExists(const std::wstring& name) override;
    int32_t transactionDepth() const override { return depth_; }
    std::wstring lastError() const override;
    void setPassword(const std::wstring& password) override;
    void setReconnectCallback(IReconnectCallback* callback) override;

    // The statement as logs and error texts may show it: the literal after every
    // "PASSWORD('" and "IDENTIFIED BY '" (in any case) becomes "*".
    static std::wstring removePasswordFromSql(const std::wstring& statement);
    // What a server of this version is told after connecting: "SET NAMES 'utf8mb4'" where
    // it has that character set, "SET NAMES 'utf8'" from 4.1, nothing before.
    static std::wstring characterSetStatement(const std::wstring& version);
    // setPassword's statement for a server of this version, the password already escaped.
    static std::wstring passwordStatement(const std::wstring& version, const std::wstring& escapedPassword);

private:
    // The open connection; raises when there is none.
    MYSQL* connection() const;
    // Sends the statement, restoring a lost connection once through the callback when no
    // transaction is open.
    void send(const std::wstring& statement, bool isQuery);
    void endTransaction(const wchar_t* statement);
    // The client's text of error; a connection lost after the whole time-out is said to have
    // timed out, which the client's text does not tell.
    std::wstring errorText(const char* text, unsigned error, ULONGLONG started) const;

    IReconnectCallback* reconnect_ = nullptr;
    UniqueMySql mysql_;
    int32_t depth_ = 0;
    unsigned timeout_ = 0; // seconds
};

// The rows of a stored result.
class VMySQLRecordSet : public IDatabaseRecordSet {
public:
    // Takes the result over.
    explicit VMySQLRecordSet(MYSQL_RES* result);
    ~VMySQLRecordSet() override;
    VMySQLRecordSet(const VMySQLRecordSet&) = delete;
    VMySQLRecordSet& operator=(const VMySQLRecordSet&) = delete;

    void attach(MYSQL_RES* result);
    void close();

    bool moveNext() override;
    bool moveFirst() override;
    bool moveLast() override;
    uint32_t fieldCount() const override;
    int32_t fieldIndex(const std::wstring& name) const override;
    bool hasField(const std::wstring& name) const override { return fieldIndex(name) != -1; }
    std::wstring fieldName(uint32_t index) const override;
    bool isNull(uint32_t index, bool emptyIsNull) const override;
    bool isEmpty(uint32_t index, bool resultForNull) const override;
    std::wstring getString(uint32_t index, const std::wstring& defaultValue, bool emptyIsNull) const override;
    bool getValue(uint32_t index, std::wstring& out, bool emptyIsNull) const override;
    uint64_t rowCount() const override;
    void addRef() override { ++references_; }
    void release() override;

private:
    MYSQL_RES* result() const;
    // The current row's value, null for SQL NULL; raises without a current row.
    const char* value(uint32_t index) const;

    // The column names, read at the first look-up by name: most statements read by index.
    mutable std::map<std::wstring, int32_t> columns_;
    mutable bool columnsRead_ = false;
    UniqueMySqlResult result_;
    uint32_t references_ = 0;
    MYSQL_ROW row_ = nullptr;
};
