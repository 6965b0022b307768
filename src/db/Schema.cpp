// The file format: the current schema (version 10), its seed rows and the
// upgrade steps from every older version.
#include <strings.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "core/Logger.h"
#include "db/SqliteDatabase.h"
#include "db/Statement.h"

namespace Korrafin::DB {

namespace {

// Each table with its indexes, in the order of the script. The upgrade steps
// reuse the texts of the tables they add, so both ways end at the same file.
const std::string kSchemaInfo =
    "CREATE TABLE IF NOT EXISTS SchemaInfo (version INTEGER NOT NULL DEFAULT 0);"
    "INSERT INTO SchemaInfo(version) SELECT " + std::to_string(SqliteDatabase::kSchemaVersion) +
    " WHERE NOT EXISTS (SELECT 1 FROM SchemaInfo);";

constexpr const char* kUsers =
    "CREATE TABLE IF NOT EXISTS Users ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "nickname TEXT NOT NULL, "
    "unique_identifier TEXT NOT NULL UNIQUE, "
    "created_at INTEGER NOT NULL DEFAULT 0, "
    "role INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_users_uid ON Users(unique_identifier);";

constexpr const char* kChannels =
    "CREATE TABLE IF NOT EXISTS Channels ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "parent_id INTEGER NOT NULL DEFAULT 0, "
    "name TEXT NOT NULL, "
    "description TEXT NOT NULL DEFAULT '', "
    "password TEXT NOT NULL DEFAULT '', "
    "has_password INTEGER NOT NULL DEFAULT 0, "
    "max_users INTEGER NOT NULL DEFAULT 0, "
    "sort_order INTEGER NOT NULL DEFAULT 0, "
    "is_permanent INTEGER NOT NULL DEFAULT 1, "
    "required_role INTEGER NOT NULL DEFAULT 0, "
    "channel_type INTEGER NOT NULL DEFAULT 0, "
    "log_mode INTEGER NOT NULL DEFAULT 0, "
    "icon_url TEXT NOT NULL DEFAULT '', "
    "banner_url TEXT NOT NULL DEFAULT '', "
    "text_color TEXT NOT NULL DEFAULT '', "
    "message_count INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_channels_parent ON Channels(parent_id);";

constexpr const char* kChannelContent =
    "CREATE TABLE IF NOT EXISTS ChannelContent ("
    "channel_id INTEGER PRIMARY KEY, "
    "content_json TEXT NOT NULL DEFAULT '', "
    "updated_at INTEGER NOT NULL DEFAULT 0, "
    "FOREIGN KEY(channel_id) REFERENCES Channels(id) ON DELETE CASCADE);";

constexpr const char* kServerSettings =
    "CREATE TABLE IF NOT EXISTS ServerSettings (key TEXT PRIMARY KEY, value TEXT NOT NULL DEFAULT '');";

constexpr const char* kServerGroups =
    "CREATE TABLE IF NOT EXISTS ServerGroups ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name TEXT NOT NULL, "
    "priority INTEGER NOT NULL DEFAULT 0, "
    "default_perm INTEGER NOT NULL DEFAULT 0);";

constexpr const char* kChannelGroups =
    "CREATE TABLE IF NOT EXISTS ChannelGroups ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name TEXT NOT NULL, "
    "default_perm INTEGER NOT NULL DEFAULT 0);";

constexpr const char* kUserGroups =
    "CREATE TABLE IF NOT EXISTS UserGroups ("
    "user_id INTEGER NOT NULL, "
    "group_id INTEGER NOT NULL, "
    "PRIMARY KEY(user_id, group_id), "
    "FOREIGN KEY(user_id) REFERENCES Users(id) ON DELETE CASCADE, "
    "FOREIGN KEY(group_id) REFERENCES ServerGroups(id) ON DELETE CASCADE);"
    "CREATE INDEX IF NOT EXISTS idx_usergroups_uid ON UserGroups(user_id);";

constexpr const char* kPermissions =
    "CREATE TABLE IF NOT EXISTS Permissions ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "target_type TEXT NOT NULL, "
    "target_id INTEGER NOT NULL, "
    "permission_name TEXT NOT NULL, "
    "value INTEGER NOT NULL DEFAULT 1, "
    "priority INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_perms_target ON Permissions(target_id, target_type);"
    "CREATE INDEX IF NOT EXISTS idx_perms_name ON Permissions(permission_name);";

constexpr const char* kPrivilegeKeys =
    "CREATE TABLE IF NOT EXISTS PrivilegeKeys ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "token TEXT NOT NULL UNIQUE, "
    "type TEXT NOT NULL DEFAULT 'serveradmin', "
    "target_id INTEGER NOT NULL DEFAULT 0, "
    "created_at INTEGER NOT NULL DEFAULT 0, "
    "used INTEGER NOT NULL DEFAULT 0, "
    "description TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS idx_privkeys_token ON PrivilegeKeys(token);";

constexpr const char* kBans =
    "CREATE TABLE IF NOT EXISTS Bans ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "ip TEXT NOT NULL, "
    "nickname TEXT NOT NULL DEFAULT '', "
    "reason TEXT NOT NULL DEFAULT '', "
    "banned_by INTEGER NOT NULL DEFAULT 0, "
    "expires_at INTEGER NOT NULL DEFAULT 0, "
    "created_at INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_bans_ip ON Bans(ip);";

constexpr const char* kSettings =
    "CREATE TABLE IF NOT EXISTS Settings (key TEXT PRIMARY KEY, value TEXT NOT NULL DEFAULT '');";

constexpr const char* kRegisteredUsers =
    "CREATE TABLE IF NOT EXISTS RegisteredUsers ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "username TEXT NOT NULL UNIQUE, "
    "display_name TEXT NOT NULL DEFAULT '', "
    "password_hash TEXT NOT NULL, "
    "session_token TEXT NOT NULL DEFAULT '', "
    "role INTEGER NOT NULL DEFAULT 0, "
    "created_at INTEGER NOT NULL DEFAULT 0, "
    "last_login_at INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_regusers_username ON RegisteredUsers(username);"
    "CREATE INDEX IF NOT EXISTS idx_regusers_token ON RegisteredUsers(session_token);";

constexpr const char* kPrivateMessages =
    "CREATE TABLE IF NOT EXISTS PrivateMessages ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "sender_user_id INTEGER NOT NULL DEFAULT 0, "
    "recv_user_id INTEGER NOT NULL DEFAULT 0, "
    "sender_nick TEXT NOT NULL DEFAULT '', "
    "content TEXT NOT NULL, "
    "sent_at INTEGER NOT NULL DEFAULT 0, "
    "read_by_recv INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_pm_sender ON PrivateMessages(sender_user_id, recv_user_id);"
    "CREATE INDEX IF NOT EXISTS idx_pm_recv ON PrivateMessages(recv_user_id);";

constexpr const char* kBotTokens =
    "CREATE TABLE IF NOT EXISTS BotTokens ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "token TEXT NOT NULL UNIQUE, "
    "bot_name TEXT NOT NULL DEFAULT '', "
    "description TEXT NOT NULL DEFAULT '', "
    "permissions INTEGER NOT NULL DEFAULT 0, "
    "active INTEGER NOT NULL DEFAULT 1, "
    "created_at INTEGER NOT NULL DEFAULT 0, "
    "last_used_at INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS idx_bottokens_token ON BotTokens(token);";

const std::string& schemaScript() {
    static const std::string script = kSchemaInfo + kUsers + kChannels + kChannelContent +
                                      kServerSettings + kServerGroups + kChannelGroups + kUserGroups + kPermissions +
                                      kPrivilegeKeys + kBans + kSettings + kRegisteredUsers + kPrivateMessages +
                                      kBotTokens;
    return script;
}

const std::string& accountTablesScript() {
    static const std::string script = std::string(kRegisteredUsers) + kPrivateMessages + kBotTokens;
    return script;
}

}  // namespace

int SqliteDatabase::GetSchemaVersion() {
    {
        StmtPtr stmt = Prepare("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='SchemaInfo'");
        if (!stepRow(stmt.get()) || colInt64(stmt.get(), 0) == 0) return 0;
    }
    StmtPtr stmt = Prepare("SELECT version FROM SchemaInfo LIMIT 1");
    return stepRow(stmt.get()) ? colInt(stmt.get(), 0) : 0;
}

// The script and the seed rows commit together: a first start that dies on
// the way leaves either no schema (the next start begins again) or a file
// ready to serve, never tables without their groups and lobby.
void SqliteDatabase::CreateSchema() {
    bool seeded = false;
    {
        WriteTxn txn(*this);
        std::string message;
        if (!execScript(db, schemaScript().c_str(), message, "unknown"))
            throw std::runtime_error("Schema creation failed: " + message);
        seeded = SeedDefaults();
        txn.commit();
    }
    if (seeded) Logger::instance().log(LogLevel::Info, "Seeded default server groups and lobby channel");
}

// A complete schema whose seed rows are missing (a file left by an older
// build that died between its schema and its seed) gets them now: without
// them no group can be granted and the lobby's row is never there.
void SqliteDatabase::EnsureSeedRows() {
    bool seeded = false;
    {
        WriteTxn txn(*this);
        seeded = SeedDefaults();
        txn.commit(seeded);
    }
    if (!seeded) return;
    Logger::instance().log(LogLevel::Warn, "[DB] Default server groups were missing; the seed rows were added");
    Logger::instance().log(LogLevel::Info, "Seeded default server groups and lobby channel");
}

bool SqliteDatabase::SeedDefaults() {
    {
        StmtPtr stmt = Prepare("SELECT COUNT(*) FROM ServerGroups");
        stepRow(stmt.get());
        if (colInt64(stmt.get(), 0) >= 1) return false;
    }
    static const char* const seeds[] = {
        "INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Guest', 0, 7)",
        "INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Member', 10, 7)",
        "INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Moderator', 50, 63)",
        "INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Admin', 90, 4095)",
        "INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Server Admin', 100, -1)",
        // The lobby is channel 1 wherever the file stands; a channel that
        // already holds that id stays.
        "INSERT OR IGNORE INTO Channels(id, name, sort_order, is_permanent) VALUES (1, 'Lobby', 0, 1)",
    };
    for (const char* seed : seeds) Exec(seed);
    return true;
}

bool SqliteDatabase::ColumnExists(const char* table, const char* column) {
    const std::string sql = std::string("PRAGMA table_info(") + table + ")";
    StmtPtr stmt = Prepare(sql.c_str());
    while (stepRow(stmt.get())) {
        if (::strcasecmp(colText(stmt.get(), 1).c_str(), column) == 0) return true;
    }
    return false;
}

// One upgrade step and the version it reaches, as one transaction: a step
// that fails leaves neither its changes nor a raised version behind, and
// stops the upgrade. A column that is already there (an earlier run was
// interrupted, or the file was changed by hand) is not added again.
void SqliteDatabase::MigrationStep(int toVersion, const char* table, const char* columnDef, const char* script) {
    const std::string failure = "Migration v" + std::to_string(toVersion) + " failed: ";
    const char* fallback = toVersion == 8 ? "(no message)" : "unknown";
    WriteTxn txn(*this);
    std::string message;
    if (columnDef) {
        const std::string column(columnDef, std::strcspn(columnDef, " "));
        if (!ColumnExists(table, column.c_str())) {
            const std::string alter = std::string("ALTER TABLE ") + table + " ADD COLUMN " + columnDef + ";";
            if (!execScript(db, alter.c_str(), message, fallback)) throw std::runtime_error(failure + message);
        }
    }
    if (script && !execScript(db, script, message, fallback)) throw std::runtime_error(failure + message);
    writeStep(Prepare("UPDATE SchemaInfo SET version = ?"), "RunMigrations version bump", int32_t{toVersion});
    txn.commit();
}

void SqliteDatabase::RunMigrations(int fromVersion) {
    struct Step {
        int from;
        const char* table;      // table that gains a column, or null
        const char* columnDef;  // that column's definition, or null
        const char* script;     // further statements, or null
        const char* logLine;
    };
    static const Step steps[] = {
        {1, nullptr, nullptr, nullptr, "[DB] Migration v1\u2192v2 applied (RegisteredUsers, PrivateMessages, BotTokens)"},
        {2, "Channels", "channel_type INTEGER NOT NULL DEFAULT 0", kServerSettings,
         "[DB] Migration v2\u2192v3 applied (channel_type, ServerSettings)"},
        {3, "Channels", "log_mode INTEGER NOT NULL DEFAULT 0", nullptr,
         "[DB] Migration v3\u2192v4 applied (Channels.log_mode)"},
        {4, "Users", "role INTEGER NOT NULL DEFAULT 0", nullptr, "[DB] Migration v4\u2192v5 applied (Users.role)"},
        {5, "Channels", "icon_url TEXT NOT NULL DEFAULT ''", nullptr,
         "[DB] Migration v5\u2192v6 applied (Channels.icon_url)"},
        {6, "Channels", "banner_url TEXT NOT NULL DEFAULT ''", nullptr,
         "[DB] Migration v6\u2192v7 applied (Channels.banner_url)"},
        {7, nullptr, nullptr, kChannelContent, "[DB] Migration v7\u2192v8 applied (ChannelContent table)"},
        {8, "Channels", "text_color TEXT NOT NULL DEFAULT ''", nullptr,
         "[DB] Migration v8\u2192v9 applied (Channels.text_color)"},
        {9, "Channels", "message_count INTEGER NOT NULL DEFAULT 0", nullptr,
         "[DB] Migration v9\u2192v10 applied (Channels.message_count)"},
    };
    bool ran = false;
    for (const Step& step : steps) {
        if (step.from < fromVersion) continue;
        const char* script = step.from == 1 ? accountTablesScript().c_str() : step.script;
        MigrationStep(step.from + 1, step.table, step.columnDef, script);
        Logger::instance().log(LogLevel::Info, step.logLine);
        ran = true;
    }
    if (!ran) {
        writeStep(Prepare("UPDATE SchemaInfo SET version = ?"), "RunMigrations version bump", int32_t{SqliteDatabase::kSchemaVersion});
    }
}

}  // namespace Korrafin::DB
