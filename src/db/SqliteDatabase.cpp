#include "db/SqliteDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/Logger.h"
#include "db/Statement.h"

namespace Korrafin::DB {

namespace fs = std::filesystem;

std::string sqlErrorText(int rc, const char* context) {
    std::string text = "SQLite error in [";
    text += context ? context : "";
    text += "]: ";
    text += sqlite3_errstr(rc);
    return text;
}

void sqlCheck(int rc, const char* context) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
    std::string text = sqlErrorText(rc, context);
    Logger::instance().logf(LogLevel::Error, "{}", text);
    throw std::runtime_error(text);
}

bool stepRow(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Logger::instance().logf(LogLevel::Error, "{}", sqlErrorText(rc, sqlite3_sql(stmt)));
    return false;
}

void StmtDeleter::operator()(sqlite3_stmt* stmt) const noexcept {
    if (stmt) sqlite3_finalize(stmt);
}

SqliteDatabase::WriteTxn::~WriteTxn() {
    if (!db_.inTransaction) return;
    try {
        db_.Rollback();
    } catch (const std::exception& e) {
        // The failure that brought us here is the one the caller sees.
        Logger::instance().logf(LogLevel::Error, "{}", e.what());
    }
}

// ---------------------------------------------------------------------------
// Machinery

bool execScript(sqlite3* db, const char* sql, std::string& message, const char* fallback) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) == SQLITE_OK) return true;
    message = err ? err : fallback;
    sqlite3_free(err);
    return false;
}

void SqliteDatabase::Exec(const char* sql) {
    std::string message;
    if (!execScript(db, sql, message, "unknown"))
        throw std::runtime_error(std::string("Exec failed [") + sql + "]: " + message);
}

StmtPtr SqliteDatabase::Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    StmtPtr stmt(raw);
    sqlCheck(rc, sql);
    return stmt;
}

void SqliteDatabase::BeginTransaction() {
    Exec("BEGIN IMMEDIATE");
    inTransaction = true;
}

void SqliteDatabase::Commit(bool markCacheStale) {
    Exec("COMMIT");
    inTransaction = false;
    if (markCacheStale) cacheDirty = true;
}

void SqliteDatabase::Rollback() {
    if (!inTransaction) return;
    // Whatever ROLLBACK answers, the transaction is over for this object:
    // SQLite ends it on every failure that would leave ROLLBACK failing.
    inTransaction = false;
    Exec("ROLLBACK");
}

int64_t SqliteDatabase::LastInsertRowId() { return sqlite3_last_insert_rowid(db); }

void SqliteDatabase::RefreshCache() {
    channelCache = GetAllChannels_Locked();
    serverGroupCache = GetAllServerGroups_Locked();
    permissionCache = GetAllPermissions_Locked();
    cacheDirty = false;
}

// ---------------------------------------------------------------------------
// Life cycle

SqliteDatabase::SqliteDatabase(std::string path) : dbPath(std::move(path)) {}

SqliteDatabase::~SqliteDatabase() {
    if (db) sqlite3_close_v2(db);
}

namespace {

// Creates the missing directories of `dir` from the top down, each readable
// by its owner only (the file holds password hashes and keys). Returns whether
// any was created; throws std::system_error with the failing errno.
bool createPrivateDirectories(const fs::path& dir) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
        if (fs::exists(p, ec)) break;
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    bool created = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) == 0) {
            created = true;
        } else if (errno != EEXIST) {
            throw std::system_error(errno, std::generic_category());
        }
    }
    if (!fs::is_directory(dir, ec)) throw std::system_error(ENOTDIR, std::generic_category());
    return created;
}

// A new database file gets mode 0600 before SQLite opens it; SQLite gives its
// WAL and shared-memory files the mode of the database file. An existing file
// keeps its mode. Failure is left to the open that follows to report.
void createPrivateFile(const std::string& path) {
    if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

}  // namespace

void SqliteDatabase::Initialize() {
    std::lock_guard lock(mutex);

    const fs::path parent = fs::path(dbPath).parent_path();
    if (!parent.empty()) {
        bool created = false;
        try {
            created = createPrivateDirectories(parent);
        } catch (const std::system_error& e) {
            const std::string msg = e.code().message();
            std::cerr << "[DB] ERROR: Could not create directory '" << parent.string() << "': " << msg << '\n';
            throw std::runtime_error("[DB] Directory creation failed: " + msg);
        }
        if (created) std::cout << "[DB] Created directory: " << parent.string() << '\n';
    }

    std::cout << "[DB] Opening database: " << dbPath << '\n' << std::flush;

    if (db) {  // a repeated Initialize must not leak the earlier connection
        sqlite3_close_v2(db);
        db = nullptr;
    }
    createPrivateFile(dbPath);
    const int rc = sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        std::cerr << "[DB] FATAL: sqlite3_open_v2 failed (" << rc << "): " << msg << '\n';
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        throw std::runtime_error("[DB] Cannot open database: " + msg);
    }
    std::cout << "[DB] Database file opened successfully.\n" << std::flush;
    Logger::instance().logf(LogLevel::Info, "[DB] Opened database: {}", dbPath);

    ApplyPragmas();

    const int version = GetSchemaVersion();
    if (version == 0) {
        std::cout << "[DB] No schema found – creating fresh database schema (v" << kSchemaVersion << ")…\n"
                  << std::flush;
        Logger::instance().logf(LogLevel::Info, "[DB] Creating fresh database schema (v{})", kSchemaVersion);
        CreateSchema();
        std::cout << "[DB] Schema created.\n";
    } else if (version >= kSchemaVersion) {
        std::cout << "[DB] Schema is up to date (v" << version << ").\n";
        Logger::instance().logf(LogLevel::Info, "[DB] Schema version {} is current.", version);
        // A newer file's rows are its own build's business.
        if (version == kSchemaVersion) EnsureSeedRows();
    } else {
        std::cout << "[DB] Migrating schema from v" << version << " → v" << kSchemaVersion << "…\n" << std::flush;
        Logger::instance().logf(LogLevel::Info, "[DB] Running database migrations from v{}", version);
        RunMigrations(version);
        EnsureSeedRows();
    }

    RefreshCache();

    Logger::instance().logf(LogLevel::Info, "[DB] Database initialized: {}", dbPath);
    std::cout << "[DB] Database ready: " << dbPath << '\n' << std::flush;
}

void SqliteDatabase::ApplyPragmas() {
    // The busy time-out goes first: the pragmas after it may already need a
    // lock that another connection to the same file holds.
    static const char* const pragmas[] = {
        "PRAGMA busy_timeout = 5000",   "PRAGMA journal_mode = WAL",    "PRAGMA foreign_keys = ON",
        "PRAGMA synchronous = NORMAL",  "PRAGMA temp_store = MEMORY",   "PRAGMA cache_size = -8000",
        "PRAGMA wal_autocheckpoint = 1000",
    };
    for (const char* pragma : pragmas) Exec(pragma);
}

// ---------------------------------------------------------------------------
// Diagnostic report

namespace {

std::string repeat(const char* piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
}

}  // namespace

void SqliteDatabase::DebugCheckDatabase() {
    static const char* const kLine = "\u2500";
    std::ostream& out = std::cout;
    const fs::path path(dbPath);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    const bool exists = fs::exists(status);

    out << "[DB] " << repeat(kLine, 2) << " Debug Check " << repeat(kLine, 30) << '\n';
    out << "[DB]  Path    : " << dbPath << '\n';
    out << "[DB]  Exists  : " << (exists ? "YES" : "NO!") << '\n';
    if (exists) {
        std::error_code sizeEc;
        const auto size = fs::file_size(path, sizeEc);
        out << "[DB]  Size    : " << (sizeEc ? std::string("-1") : std::to_string(size)) << " bytes\n";
    }

    std::lock_guard lock(mutex);
    if (!db) {
        out << "[DB]  Handle  : NULL \u2013 not open!\n" << std::flush;
        return;
    }
    static const std::pair<const char*, const char*> counts[] = {
        {"[DB]  Users         : ", "SELECT COUNT(*) FROM Users"},
        {"[DB]  Channels      : ", "SELECT COUNT(*) FROM Channels"},
        {"[DB]  ServerGroups  : ", "SELECT COUNT(*) FROM ServerGroups"},
        {"[DB]  PrivilegeKeys : ", "SELECT COUNT(*) FROM PrivilegeKeys"},
        {"[DB]  Bans          : ", "SELECT COUNT(*) FROM Bans"},
    };
    for (const auto& [label, sql] : counts) {
        int64_t count = -1;
        try {
            StmtPtr stmt = Prepare(sql);  // a failed prepare is logged there
            if (stepRow(stmt.get())) count = colInt64(stmt.get(), 0);
        } catch (const std::exception&) {
            // The report is informative only; start-up does not depend on it.
        }
        out << label << count << '\n';
    }
    out << "[DB] " << repeat(kLine, 46) << '\n' << std::flush;
}

}  // namespace Korrafin::DB
