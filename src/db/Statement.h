// Private to the storage layer: checking result codes, binding values,
// stepping reads, reading columns, the write-transaction guard, and the
// one-statement writes. Every function here but Write and Insert runs inside
// an operation that already holds the database mutex and does not lock;
// Write and Insert are such operations and take the mutex themselves.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/UnixTime.h"
#include "db/SqliteDatabase.h"

namespace Korrafin::DB {

// "SQLite error in [" + context + "]: " + SQLite's generic text for rc.
std::string sqlErrorText(int rc, const char* context);

// Returns for SQLITE_OK, SQLITE_ROW and SQLITE_DONE; any other code is logged
// at error level and thrown as std::runtime_error with sqlErrorText.
void sqlCheck(int rc, const char* context);

// Runs a script; on failure returns SQLite's message (or `fallback`) in
// `message` instead of throwing.
bool execScript(sqlite3* db, const char* sql, std::string& message, const char* fallback);

// Steps a read. True on a row; false when the rows end. A step that fails also
// ends the rows, as reads never throw on their step, but the failure is
// logged at error level so it is never silent.
bool stepRow(sqlite3_stmt* stmt);

namespace detail {

// Text is copied by SQLite (the caller's buffer may go before the step) and
// bound with its length, so every byte is kept, NUL bytes included; the column
// readers give it back by the column's byte count.
inline int bindOne(sqlite3_stmt* s, int i, const std::string& v) {
    return sqlite3_bind_text64(s, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}
inline int bindOne(sqlite3_stmt* s, int i, const char* v) { return sqlite3_bind_text(s, i, v, -1, SQLITE_TRANSIENT); }
inline int bindOne(sqlite3_stmt* s, int i, bool v) { return sqlite3_bind_int(s, i, v ? 1 : 0); }
inline int bindOne(sqlite3_stmt* s, int i, int32_t v) { return sqlite3_bind_int(s, i, v); }
inline int bindOne(sqlite3_stmt* s, int i, int64_t v) { return sqlite3_bind_int64(s, i, v); }

}  // namespace detail

// Binds the values to parameters 1, 2, ... in order. A failed bind (a
// parameter index out of range, memory) throws like a failed prepare.
template <typename... Args>
void bindAll(sqlite3_stmt* stmt, const Args&... args) {
    [[maybe_unused]] int index = 1;
    (void)stmt;
    (sqlCheck(detail::bindOne(stmt, index++, args), sqlite3_sql(stmt)), ...);
}

// Binds, steps once and checks the step under the operation's context word.
// The statement is finalized when this returns or throws.
template <typename... Args>
void writeStep(StmtPtr stmt, const char* context, const Args&... args) {
    bindAll(stmt.get(), args...);
    sqlCheck(sqlite3_step(stmt.get()), context);
}

// Binds and takes the first row through the reader; none gives an empty optional.
template <typename Reader, typename... Args>
auto readOne(StmtPtr stmt, Reader reader, const Args&... args) -> std::optional<decltype(reader(stmt.get()))> {
    bindAll(stmt.get(), args...);
    if (!stepRow(stmt.get())) return std::nullopt;
    return reader(stmt.get());
}

// Binds and collects every row through the reader.
template <typename Reader, typename... Args>
auto readAll(StmtPtr stmt, Reader reader, const Args&... args) -> std::vector<decltype(reader(stmt.get()))> {
    bindAll(stmt.get(), args...);
    std::vector<decltype(reader(stmt.get()))> rows;
    while (stepRow(stmt.get())) rows.push_back(reader(stmt.get()));
    return rows;
}

// Column readers: NULL text reads as empty; flags are true when not 0.
inline std::string colText(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    if (!p) return {};
    return std::string(p, static_cast<size_t>(sqlite3_column_bytes(s, i)));
}
inline int32_t colInt(sqlite3_stmt* s, int i) { return sqlite3_column_int(s, i); }
inline int64_t colInt64(sqlite3_stmt* s, int i) { return sqlite3_column_int64(s, i); }
inline bool colBool(sqlite3_stmt* s, int i) { return sqlite3_column_int64(s, i) != 0; }

// Row readers, one per record; each reads the columns in field order.
DbUser RowToUser(sqlite3_stmt* s);
DbChannel RowToChannel(sqlite3_stmt* s);
DbServerGroup RowToSGroup(sqlite3_stmt* s);
DbPermission RowToPerm(sqlite3_stmt* s);

// The write transaction of one operation: begun on construction; whatever
// leaves the scope before commit() rolls it back, before the caller's lock is
// released. Declare it after the lock and before any statement, so statements
// are finalized first.
class SqliteDatabase::WriteTxn {
public:
    explicit WriteTxn(SqliteDatabase& database) : db_(database) { db_.BeginTransaction(); }
    ~WriteTxn();
    WriteTxn(const WriteTxn&) = delete;
    WriteTxn& operator=(const WriteTxn&) = delete;

    void commit(bool markCacheStale = true) { db_.Commit(markCacheStale); }
    void rollback() { db_.Rollback(); }

private:
    SqliteDatabase& db_;
};

template <typename... Args>
bool SqliteDatabase::Write(const char* sql, const char* context, const Args&... args) {
    std::lock_guard lock(mutex);
    WriteTxn txn(*this);
    writeStep(Prepare(sql), context, args...);
    const bool changed = sqlite3_changes(db) > 0;
    txn.commit();
    return changed;
}

template <typename... Args>
int64_t SqliteDatabase::Insert(const char* sql, const char* context, const Args&... args) {
    std::lock_guard lock(mutex);
    WriteTxn txn(*this);
    writeStep(Prepare(sql), context, args...);
    const int64_t id = LastInsertRowId();
    txn.commit();
    return id;
}

}  // namespace Korrafin::DB
