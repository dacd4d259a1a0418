#include "panel/MySQLDatabaseProvider.h"

#include "runtime/Config.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// Column values, names and the library's texts. UTF-8 never takes fewer bytes than UTF-16
// takes code units, so one call does.
std::wstring fromUtf8(const char* text)
{
    const size_t length = text ? std::strlen(text) : 0;
    if (length == 0)
        return std::wstring();
    std::wstring wide(length, L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), &wide[0], static_cast<int>(length))));
    return wide;
}

// The password literals of statement become "*"; what they held is added to secrets.
std::wstring maskPasswords(const std::wstring& statement, std::vector<std::wstring>* secrets)
{
    static const std::wstring markers[] = {L"PASSWORD('", L"IDENTIFIED BY '"};
    const size_t size = statement.size();
    std::wstring masked;
    size_t copied = 0;
    for (size_t i = 0; i < size; ++i) {
        const wchar_t first = static_cast<wchar_t>(towupper(statement[i]));
        if (first != L'P' && first != L'I')
            continue;
        for (const std::wstring& marker : markers) {
            if (_wcsnicmp(statement.c_str() + i, marker.c_str(), marker.size()) != 0)
                continue;
            // The literal ends at the first quote that is neither escaped by a backslash
            // nor doubled.
            const size_t begin = i + marker.size();
            size_t end = begin;
            while (end < size && statement[end] != L'\'')
                end += statement[end] == L'\\' ? 2 : 1;
            while (end + 1 < size && statement[end + 1] == L'\'') {
                for (end += 2; end < size && statement[end] != L'\'';)
                    end += statement[end] == L'\\' ? 2 : 1;
            }
            end = std::min(end, size);
            masked.append(statement, copied, begin - copied);
            masked += L'*';
            if (secrets && end > begin)
                secrets->push_back(statement.substr(begin, end - begin));
            copied = end;
            i = end;
            break;
        }
    }
    if (copied == 0)
        return statement;
    masked.append(statement, copied, std::wstring::npos);
    return masked;
}

// The server quotes a failing statement in its error text; what the mask hid stays hidden.
std::wstring hideSecrets(std::wstring text, const std::vector<std::wstring>& secrets)
{
    for (const std::wstring& secret : secrets)
        for (size_t at = text.find(secret); at != std::wstring::npos; at = text.find(secret, at + 1))
            text.replace(at, secret.size(), L"*");
    return text;
}

constexpr ULONGLONG timeoutSlackMs = 250;

bool isConnectionLost(unsigned error)
{
    return error == CR_SERVER_LOST || error == CR_SERVER_GONE_ERROR || error == ER_CONNECTION_KILLED;
}

long leadingNumber(const wchar_t*& text)
{
    wchar_t* end = nullptr;
    const long number = wcstol(text, &end, 10);
    text = end;
    return number;
}

} // namespace

int compareVersions(const std::wstring& a, const std::wstring& b)
{
    const wchar_t* left = a.c_str();
    const wchar_t* right = b.c_str();
    for (;;) {
        const long x = leadingNumber(left);
        const long y = leadingNumber(right);
        if (x != y)
            return x < y ? -1 : 1;
        const bool leftGoesOn = *left == L'.';
        const bool rightGoesOn = *right == L'.';
        if (!leftGoesOn || !rightGoesOn)
            return leftGoesOn ? 1 : rightGoesOn ? -1 : 0;
        ++left;
        ++right;
    }
}

MySQLDatabaseProvider::MySQLDatabaseProvider()
{
    guarded({"MySQLDatabaseProvider::MySQLDatabaseProvider", __LINE__}, [] {}, L"");
}

MySQLDatabaseProvider::~MySQLDatabaseProvider()
{
    logGuarded(LOG_WARNING, {"MySQLDatabaseProvider::~MySQLDatabaseProvider", __LINE__}, [this] { close(); },
               L"Exception in ~MySQLDatabaseProvider()");
}

void MySQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& dbName, const std::wstring& login,
                                    const std::wstring& password, int32_t port, const std::wstring& socket)
{
    guarded({"MySQLDatabaseProvider::connect", __LINE__}, [&] {
        close();
        UniqueMySql mysql(mysql_init(nullptr));
        if (!mysql)
            throw vexception(L"Insufficient memory to allocate new object");
        // The connect time-out also bounds the handshake; the others every later exchange, so
        // that a server that stops answering cannot hold the command for ever.
        timeout_ = mySqlApi().exchangeTimeout();
        for (const mysql_option option : {MYSQL_OPT_CONNECT_TIMEOUT, MYSQL_OPT_READ_TIMEOUT, MYSQL_OPT_WRITE_TIMEOUT})
            mysql_options(mysql.get(), option, &timeout_);
        const my_bool reconnect = 0;
        mysql_options(mysql.get(), MYSQL_OPT_RECONNECT, &reconnect);
        const std::string hostText = cstr(host, CP_ACP), loginText = cstr(login, CP_ACP);
        const std::string passwordText = cstr(password, CP_ACP), databaseText = cstr(dbName, CP_ACP);
        const std::string socketText = cstr(socket, CP_ACP);
        const ULONGLONG started = GetTickCount64();
        if (!mysql_real_connect(mysql.get(), hostText.c_str(), loginText.c_str(), passwordText.c_str(),
                                dbName.empty() ? nullptr : databaseText.c_str(), static_cast<unsigned>(port),
                                socket.empty() ? nullptr : socketText.c_str(), 0))
            throw VDatabase::ConnectException(L"Failed to connect to database: " +
                                              errorText(mysql_error(mysql.get()), mysql_errno(mysql.get()), started));
        mysql_ = std::move(mysql);
        execute(L"SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        const std::wstring names = characterSetStatement(version());
        if (!names.empty())
            execute(names);
    }, L"Unable to call connect(%s, %s, %s, %d, %s)", host, dbName, login, port, socket);
}

bool MySQLDatabaseProvider::ping()
{
    return mysql_ && mysql_ping(mysql_.get()) == 0;
}

void MySQLDatabaseProvider::close()
{
    guarded({"MySQLDatabaseProvider::close", __LINE__}, [this] { mysql_.reset(); }, L"Unable to call close()");
}

std::wstring MySQLDatabaseProvider::version()
{
    return guarded({"MySQLDatabaseProvider::version", __LINE__}, [this] {
        const RecordSetRef rows = query(L"select version()");
        if (!rows->moveNext())
            throw vexception(L"Unable to get MySQLDatabaseProvider version");
        return rows->getString(0, L"", true);
    }, L"Unable to call version()");
}

std::wstring MySQLDatabaseProvider::escape(const std::wstring& text)
{
    const std::string utf8 = cstr(text, CP_UTF8);
    std::string escaped(2 * utf8.size() + 1, '\0');
    mysql_real_escape_string(connection(), &escaped[0], utf8.c_str(), static_cast<unsigned long>(utf8.size()));
    return fromUtf8(escaped.c_str());
}

void MySQLDatabaseProvider::selectDatabase(const std::wstring& name)
{
    std::wstring quoted;
    for (const wchar_t c : name)
        quoted += c == L'`' ? L"``" : std::wstring(1, c);
    execute(L"USE `" + quoted + L"`");
}

RecordSetRef MySQLDatabaseProvider::query(const std::wstring& statement)
{
    const std::wstring masked = maskPasswords(statement, nullptr);
    return guarded({"MySQLDatabaseProvider::query", __LINE__}, [&] {
        LogManager::instance().log(LOG_INFO, L"MySQLDatabaseProvider Query: %s", masked);
        send(statement, true);
        UniqueMySqlResult result(mysql_store_result(connection()));
        if (!result)
            throw vexception(L"Can't get result for query " + masked + L" MySQLDatabaseProvider error " + lastError());
        return RecordSetRef(new VMySQLRecordSet(result.release()));
    }, L"Unable to call query(%s)", masked);
}

void MySQLDatabaseProvider::execute(const std::wstring& statement)
{
    const std::wstring masked = maskPasswords(statement, nullptr);
    guarded({"MySQLDatabaseProvider::execute", __LINE__}, [&] {
        LogManager::instance().log(LOG_INFO, L"MySQLDatabaseProvider Execute: %s", masked);
        send(statement, false);
    }, L"Unable to call execute(%s)", masked);
}

void MySQLDatabaseProvider::send(const std::wstring& statement, bool isQuery)
{
    const std::string utf8 = cstr(statement, CP_UTF8);
    for (bool retried = false;; retried = true) {
        const ULONGLONG started = GetTickCount64();
        if (mysql_real_query(connection(), utf8.data(), static_cast<unsigned long>(utf8.size())) == 0)
            return;
        const unsigned error = mysql_errno(connection());
        // Inside a transaction the statements before this one went with the connection:
        // running this one alone on a new connection would commit half a transaction.
        if (!retried && isConnectionLost(error) && reconnect_ && depth_ == 0) {
            LogManager::instance().log(LOG_INFO, isQuery ? L"MySQLDatabaseProvider::query reconnect"
                                                         : L"MySQLDatabaseProvider::execute reconnect");
            reconnect_->reconnect(*this);
            continue;
        }
        std::vector<std::wstring> secrets;
        const std::wstring masked = maskPasswords(statement, &secrets);
        const std::wstring text = hideSecrets(errorText(mysql_error(connection()), error, started), secrets);
        throw vexception(isQuery ? formatString(L"Can't query %s: MySQLDatabaseProvider error %u:%s", masked, error, text)
                                 : formatString(L"Can't execute %s: MySql error %u:%s", masked, error, text));
    }
}

void MySQLDatabaseProvider::replace(const std::wstring& statement)
{
    const std::wstring masked = maskPasswords(statement, nullptr);
    guarded({"MySQLDatabaseProvider::replace", __LINE__}, [&] {
        if (statement.size() <= 6 || _wcsnicmp(statement.c_str(), L"INSERT", 6) != 0)
            throw vexception(L"Can't execute replace(). Invalid INSERT request: " + masked);
        execute(L"REPLACE" + statement.substr(6));
    }, L"Unable to call replace(%s)", masked);
}

uint64_t MySQLDatabaseProvider::lastInsertId()
{
    return mysql_insert_id(connection());
}

void MySQLDatabaseProvider::beginTrans()
{
    guarded({"MySQLDatabaseProvider::beginTrans", __LINE__}, [this] {
        execute(L"START TRANSACTION");
        ++depth_;
    }, L"Unable to call beginTrans()");
}

void MySQLDatabaseProvider::commit()
{
    guarded({"MySQLDatabaseProvider::commit", __LINE__}, [this] { endTransaction(L"COMMIT"); },
            L"Unable to call commit()");
}

void MySQLDatabaseProvider::rollback()
{
    guarded({"MySQLDatabaseProvider::rollback", __LINE__}, [this] { endTransaction(L"ROLLBACK"); },
            L"Unable to call rollback()");
}

void MySQLDatabaseProvider::endTransaction(const wchar_t* statement)
{
    if (depth_ > 0)
        --depth_;
    execute(statement);
}

uint64_t MySQLDatabaseProvider::generateNextId()
{
    return guarded({"MySQLDatabaseProvider::generateNextId", __LINE__}, [this] {
        execute(L"insert into ms_jet_counter(val) values( 0 )");
        const uint64_t id = lastInsertId();
        execute(formatString(L"delete from ms_jet_counter where id < %llu", static_cast<unsigned long long>(id)));
        return id;
    }, L"Unable to call generateNextId()");
}

bool MySQLDatabaseProvider::tableExists(const std::wstring& name)
{
    return guarded({"MySQLDatabaseProvider::tableExists", __LINE__}, [&] {
        // The name is a LIKE pattern: its wildcards and the escape character match themselves.
        std::wstring pattern;
        for (const wchar_t c : name) {
            if (c == L'\\' || c == L'%' || c == L'_')
                pattern += L'\\';
            pattern += c;
        }
        return query(formatString(L"show tables like '%s'", escape(pattern)))->moveNext();
    }, L"Unable to call tableExists(%s)", name);
}

std::wstring MySQLDatabaseProvider::errorText(const char* text, unsigned error, ULONGLONG started) const
{
    // The client's clock and this one tick apart: a little short of the time-out counts too.
    const bool timedOut = (isConnectionLost(error) || error == CR_CONN_HOST_ERROR) &&
                          GetTickCount64() - started + timeoutSlackMs >= timeout_ * 1000ull;
    const std::wstring said = fromUtf8(text);
    return timedOut ? formatString(L"The server did not answer within %u s (timed out): ", timeout_) + said : said;
}

MySqlApi& mySqlApi()
{
    static MySqlApi api{&getMySQLConnectionTimeout};
    return api;
}

std::wstring MySQLDatabaseProvider::lastError() const
{
    return mysql_ ? fromUtf8(mysql_error(mysql_.get())) : std::wstring();
}

void MySQLDatabaseProvider::setPassword(const std::wstring& password)
{
    guarded({"MySQLDatabaseProvider::setPassword", __LINE__},
            [&] { execute(passwordStatement(version(), escape(password))); }, L"Unable to call setPassword()");
}

void MySQLDatabaseProvider::setReconnectCallback(IReconnectCallback* callback)
{
    guarded({"MySQLDatabaseProvider::setReconnectCallback", __LINE__}, [&] { reconnect_ = callback; },
            L"Unable to call setReconnectCallback()");
}

std::wstring MySQLDatabaseProvider::removePasswordFromSql(const std::wstring& statement)
{
    // The context leaves the statement out: it is what must not be shown.
    return guarded({"MySQLDatabaseProvider::removePasswordFromSql", __LINE__},
                   [&] { return maskPasswords(statement, nullptr); }, L"Unable to call removePasswordFromSql()");
}

std::wstring MySQLDatabaseProvider::characterSetStatement(const std::wstring& version)
{
    // utf8mb4 (four-byte characters) came with MySQL 5.5.3; MariaDB reports itself as 5.5.5.
    if (compareVersions(version, L"5.5.3") >= 0)
        return L"SET NAMES 'utf8mb4'";
    return compareVersions(version, L"4.1") >= 0 ? L"SET NAMES 'utf8'" : L"";
}

std::wstring MySQLDatabaseProvider::passwordStatement(const std::wstring& version, const std::wstring& escapedPassword)
{
    if (version.find(L"MariaDB") == std::wstring::npos && compareVersions(version, L"5.7.6") >= 0)
        return L"ALTER USER USER() IDENTIFIED BY '" + escapedPassword + L"'";
    return L"SET PASSWORD = PASSWORD('" + escapedPassword + L"')";
}

MYSQL* MySQLDatabaseProvider::connection() const
{
    if (!mysql_)
        throw vexception(L"MySQLDatabaseProvider is not connected to a database", WL_CONTEXT());
    return mysql_.get();
}

// Nothing here can fail, and every statement makes a record set: no guards, each of which costs
// about 1 % of a statement's round trip on a local server.
VMySQLRecordSet::VMySQLRecordSet(MYSQL_RES* result)
{
    attach(result);
}

VMySQLRecordSet::~VMySQLRecordSet() = default;

void VMySQLRecordSet::attach(MYSQL_RES* result)
{
    if (result != result_.get())
        result_.reset(result);
    row_ = nullptr;
    columns_.clear();
    columnsRead_ = false;
}

void VMySQLRecordSet::close()
{
    guarded({"VMySQLRecordSet::close", __LINE__}, [this] {
        row_ = nullptr;
        result_.reset();
    }, L"Unable to call close()");
}

bool VMySQLRecordSet::moveNext()
{
    row_ = mysql_fetch_row(result());
    return row_ != nullptr;
}

// The library's end-of-data flag is always set for a stored result, so it cannot say
// whether the row is there: the row count does.
bool VMySQLRecordSet::moveFirst()
{
    mysql_data_seek(result(), 0);
    row_ = nullptr;
    return rowCount() != 0;
}

bool VMySQLRecordSet::moveLast()
{
    const uint64_t rows = rowCount();
    if (rows != 0)
        mysql_data_seek(result(), rows - 1);
    row_ = nullptr;
    return rows != 0;
}

uint32_t VMySQLRecordSet::fieldCount() const
{
    return mysql_num_fields(result());
}

int32_t VMySQLRecordSet::fieldIndex(const std::wstring& name) const
{
    if (!columnsRead_ && result_) {
        const unsigned count = mysql_num_fields(result_.get());
        for (unsigned i = 0; i < count; ++i)
            columns_[fromUtf8(mysql_fetch_field_direct(result_.get(), i)->name)] = static_cast<int32_t>(i);
        columnsRead_ = true;
    }
    const auto found = columns_.find(name);
    return found == columns_.end() ? -1 : found->second;
}

std::wstring VMySQLRecordSet::fieldName(uint32_t index) const
{
    if (index >= fieldCount())
        throw vexception(formatString(L"VMySQLRecordSet has no column %u", index), WL_CONTEXT());
    return fromUtf8(mysql_fetch_field_direct(result(), index)->name);
}

bool VMySQLRecordSet::isNull(uint32_t index, bool emptyIsNull) const
{
    const char* text = value(index);
    return !text || (emptyIsNull && *text == '\0');
}

bool VMySQLRecordSet::isEmpty(uint32_t index, bool resultForNull) const
{
    const char* text = value(index);
    return text ? *text == '\0' : resultForNull;
}

std::wstring VMySQLRecordSet::getString(uint32_t index, const std::wstring& defaultValue, bool emptyIsNull) const
{
    std::wstring text;
    if (!getValue(index, text, emptyIsNull))
        return defaultValue;
    return text;
}

bool VMySQLRecordSet::getValue(uint32_t index, std::wstring& out, bool emptyIsNull) const
{
    const char* text = value(index);
    if (!text || (emptyIsNull && *text == '\0'))
        return false;
    out = fromUtf8(text);
    return true;
}

uint64_t VMySQLRecordSet::rowCount() const
{
    return mysql_num_rows(result());
}

void VMySQLRecordSet::release()
{
    if (--references_ == 0)
        delete this;
}

MYSQL_RES* VMySQLRecordSet::result() const
{
    if (!result_)
        throw vexception(L"VMySQLRecordSet is closed", WL_CONTEXT());
    return result_.get();
}

const char* VMySQLRecordSet::value(uint32_t index) const
{
    if (!row_)
        throw vexception(L"VMySQLRecordSet has no current row", WL_CONTEXT());
    if (index >= fieldCount())
        throw vexception(formatString(L"VMySQLRecordSet has no column %u", index), WL_CONTEXT());
    return row_[index];
}
