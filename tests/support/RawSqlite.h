// A plain SQLite connection for tests: builds files by hand and looks at what
// the code under test wrote, independently of it. Throws on any failure.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Korrafin::Test {

class RawSqlite {
public:
    explicit RawSqlite(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : "open failed";
            sqlite3_close_v2(db_);
            throw std::runtime_error(msg);
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~RawSqlite() { sqlite3_close_v2(db_); }
    RawSqlite(const RawSqlite&) = delete;
    RawSqlite& operator=(const RawSqlite&) = delete;

    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = err ? err : "exec failed";
            sqlite3_free(err);
            throw std::runtime_error(msg + " in: " + sql);
        }
    }

    // Every row, every column as text; NULL reads as "NULL".
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        std::vector<std::vector<std::string>> out;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
                row.push_back(t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(st, i))) : "NULL");
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) throw std::runtime_error(std::string(sqlite3_errstr(rc)) + " in: " + sql);
        return out;
    }

    // The first column of every row.
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> out;
        for (auto& r : rows(sql)) out.push_back(r.empty() ? "" : r[0]);
        return out;
    }

    std::string text(const std::string& sql) {
        auto r = rows(sql);
        if (r.empty() || r[0].empty()) throw std::runtime_error("no row in: " + sql);
        return r[0][0];
    }
    int64_t scalar(const std::string& sql) { return std::stoll(text(sql)); }

    sqlite3* handle() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace Korrafin::Test
