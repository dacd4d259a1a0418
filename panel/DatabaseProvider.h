#pragma once
// The panel database as the rest of the program sees it: a connection (IDatabaseProvider)
// and the rows of one query result (IDatabaseRecordSet), whatever client library is behind.
#include "runtime/Exception.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace VDatabase {

// The server refused the connection, as opposed to any other database error.
class ConnectException : public vexception {
public:
    using vexception::vexception;
};

} // namespace VDatabase

// The rows of one result, held completely in memory, with a current row. Reference-counted:
// created with no references, destroyed when the last holder releases it.
class IDatabaseRecordSet {
public:
    virtual ~IDatabaseRecordSet() = default;

    // Fetches the next row and makes it current; false when there is none.
    virtual bool moveNext() = 0;
    // Position before row 0 (or before the last row): the next moveNext returns it. Both
    // return whether that row exists; no row is current until then.
    virtual bool moveFirst() = 0;
    virtual bool moveLast() = 0;
    virtual uint32_t fieldCount() const = 0;
    // The column with exactly that name (the later one of two with the same name), -1 if none.
    virtual int32_t fieldIndex(const std::wstring& name) const = 0;
    virtual bool hasField(const std::wstring& name) const = 0;
    virtual std::wstring fieldName(uint32_t index) const = 0;
    // The current row's value is SQL NULL, or with emptyIsNull the empty string.
    virtual bool isNull(uint32_t index, bool emptyIsNull) const = 0;
    // The value is the empty string; resultForNull for SQL NULL.
    virtual bool isEmpty(uint32_t index, bool resultForNull) const = 0;
    virtual std::wstring getString(uint32_t index, const std::wstring& defaultValue, bool emptyIsNull) const = 0;
    // False, out untouched, when isNull(index, emptyIsNull); else the value into out.
    virtual bool getValue(uint32_t index, std::wstring& out, bool emptyIsNull) const = 0;
    virtual uint64_t rowCount() const = 0;
    virtual void addRef() = 0;
    virtual void release() = 0;
};

// The one handle that holders keep a record set by: copies share it, the last one to go
// releases it. A null record set is allowed.
class RecordSetRef {
public:
    RecordSetRef() = default;
    explicit RecordSetRef(IDatabaseRecordSet* set) : set_(set)
    {
        if (set_)
            set_->addRef();
    }
    RecordSetRef(const RecordSetRef& other) : RecordSetRef(other.set_) {}
    RecordSetRef(RecordSetRef&& other) noexcept : set_(std::exchange(other.set_, nullptr)) {}
    RecordSetRef& operator=(RecordSetRef other) noexcept
    {
        std::swap(set_, other.set_);
        return *this;
    }
    ~RecordSetRef()
    {
        if (set_)
            set_->release();
    }

    IDatabaseRecordSet* get() const noexcept { return set_; }
    IDatabaseRecordSet* operator->() const noexcept { return set_; }
    explicit operator bool() const noexcept { return set_ != nullptr; }

private:
    IDatabaseRecordSet* set_ = nullptr;
};

class IDatabaseProvider;

// Asked to restore a provider's lost connection before its statement is tried once more.
class IReconnectCallback {
public:
    virtual ~IReconnectCallback() = default;
    virtual void reconnect(IDatabaseProvider& provider) = 0;
};

// One connection to the database server. Not for use by two threads at once.
class IDatabaseProvider {
public:
    virtual ~IDatabaseProvider() = default;

    // Drops any open connection and opens a new one; an empty dbName selects no database and
    // an empty socket means the library's default transport. VDatabase::ConnectException
    // when the server refuses.
    virtual void connect(const std::wstring& host, const std::wstring& dbName, const std::wstring& login,
                         const std::wstring& password, int32_t port, const std::wstring& socket) = 0;
    virtual bool isConnected() const = 0;
    virtual bool ping() = 0;
    virtual void close() = 0;
    virtual std::wstring version() = 0;
    virtual std::wstring providerName() const = 0;
    // The text escaped for use inside a quoted literal.
    virtual std::wstring escape(const std::wstring& text) = 0;
    virtual void selectDatabase(const std::wstring& name) = 0;
    // A statement that returns rows.
    virtual RecordSetRef query(const std::wstring& statement) = 0;
    // A statement that returns none.
    virtual void execute(const std::wstring& statement) = 0;
    // An "INSERT" statement run as a "REPLACE".
    virtual void replace(const std::wstring& statement) = 0;
    virtual uint64_t lastInsertId() = 0;
    virtual void beginTrans() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // A fresh identifier from the counter table ms_jet_counter.
    virtual uint64_t generateNextId() = 0;
    virtual bool tableExists(const std::wstring& name) = 0;
    virtual int32_t transactionDepth() const = 0;
    virtual std::wstring lastError() const = 0;
    // Changes the password of the connected user.
    virtual void setPassword(const std::wstring& password) = 0;
    // Not owned; none turns reconnecting off.
    virtual void setReconnectCallback(IReconnectCallback*) {}
};

// "MySQL" (exactly) or the empty name give the MySQL provider; any other name raises.
std::unique_ptr<IDatabaseProvider> CreateDatabaseProvider(const std::wstring& name);
