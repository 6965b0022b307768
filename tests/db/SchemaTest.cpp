// The database file as a format: a fresh file, upgrades from every older
// version, the start-up output, file modes and the diagnostic report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/SqliteDatabase.h"
#include "support/LogCapture.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"
#include "support/TestDatabase.h"

using namespace Korrafin;
using Korrafin::Test::LogCapture;
using Korrafin::Test::RawSqlite;
using Korrafin::Test::initQuietly;
using Korrafin::Test::TempDir;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

// Messages logged at `level` since the test began.
std::vector<std::string> logged(LogLevel level) {
    std::vector<std::string> out;
    for (const auto& l : LogCapture::instance().lines())
        if (l.level == level) out.push_back(l.message);
    return out;
}

// Everything about a file's schema that callers depend on, one line per item:
// columns with type, NOT NULL, default and key; indexes with their columns and
// uniqueness; foreign keys with their delete action; AUTOINCREMENT.
std::vector<std::string> describeSchema(RawSqlite& raw) {
    std::vector<std::string> out;
    for (const auto& table :
         raw.column("SELECT name FROM sqlite_master WHERE type='table' AND name<>'sqlite_sequence' ORDER BY name")) {
        const std::string sql = raw.text("SELECT sql FROM sqlite_master WHERE name='" + table + "'");
        out.push_back(table + (sql.find("AUTOINCREMENT") != std::string::npos ? " autoincrement" : ""));
        for (const auto& c : raw.rows("PRAGMA table_info(" + table + ")"))
            out.push_back(table + "." + c[1] + " " + c[2] + " nn=" + c[3] + " dflt=" + c[4] + " pk=" + c[5]);
        for (const auto& ix : raw.rows("PRAGMA index_list(" + table + ")")) {
            std::string cols;
            for (const auto& ic : raw.rows("PRAGMA index_info(" + ix[1] + ")")) cols += ic[2] + ",";
            const std::string name = ix[3] == "c" ? ix[1] : "(" + ix[3] + ")";
            out.push_back(table + " index " + name + " unique=" + ix[2] + " on " + cols);
        }
        for (const auto& fk : raw.rows("PRAGMA foreign_key_list(" + table + ")"))
            out.push_back(table + " fk " + fk[3] + "->" + fk[2] + "." + fk[4] + " on delete " + fk[6]);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Builds a file as the oldest version wrote it, then adds by hand what each
// later version added, up to `version`. Holds some rows to prove they survive.
void buildOldFile(const std::string& path, int version) {
    RawSqlite raw(path);
    raw.exec(R"SQL(
        CREATE TABLE SchemaInfo (version INTEGER NOT NULL DEFAULT 0);
        CREATE TABLE Users (id INTEGER PRIMARY KEY AUTOINCREMENT, nickname TEXT NOT NULL,
            unique_identifier TEXT NOT NULL UNIQUE, created_at INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_users_uid ON Users(unique_identifier);
        CREATE TABLE Channels (id INTEGER PRIMARY KEY AUTOINCREMENT, parent_id INTEGER NOT NULL DEFAULT 0,
            name TEXT NOT NULL, description TEXT NOT NULL DEFAULT '', password TEXT NOT NULL DEFAULT '',
            has_password INTEGER NOT NULL DEFAULT 0, max_users INTEGER NOT NULL DEFAULT 0,
            sort_order INTEGER NOT NULL DEFAULT 0, is_permanent INTEGER NOT NULL DEFAULT 1,
            required_role INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_channels_parent ON Channels(parent_id);
        CREATE TABLE ServerGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,
            priority INTEGER NOT NULL DEFAULT 0, default_perm INTEGER NOT NULL DEFAULT 0);
        CREATE TABLE ChannelGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,
            default_perm INTEGER NOT NULL DEFAULT 0);
        CREATE TABLE UserGroups (user_id INTEGER NOT NULL, group_id INTEGER NOT NULL,
            PRIMARY KEY(user_id, group_id),
            FOREIGN KEY(user_id) REFERENCES Users(id) ON DELETE CASCADE,
            FOREIGN KEY(group_id) REFERENCES ServerGroups(id) ON DELETE CASCADE);
        CREATE INDEX idx_usergroups_uid ON UserGroups(user_id);
        CREATE TABLE Permissions (id INTEGER PRIMARY KEY AUTOINCREMENT, target_type TEXT NOT NULL,
            target_id INTEGER NOT NULL, permission_name TEXT NOT NULL, value INTEGER NOT NULL DEFAULT 1,
            priority INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_perms_target ON Permissions(target_id, target_type);
        CREATE INDEX idx_perms_name ON Permissions(permission_name);
        CREATE TABLE PrivilegeKeys (id INTEGER PRIMARY KEY AUTOINCREMENT, token TEXT NOT NULL UNIQUE,
            type TEXT NOT NULL DEFAULT 'serveradmin', target_id INTEGER NOT NULL DEFAULT 0,
            created_at INTEGER NOT NULL DEFAULT 0, used INTEGER NOT NULL DEFAULT 0,
            description TEXT NOT NULL DEFAULT '');
        CREATE INDEX idx_privkeys_token ON PrivilegeKeys(token);
        CREATE TABLE Bans (id INTEGER PRIMARY KEY AUTOINCREMENT, ip TEXT NOT NULL,
            nickname TEXT NOT NULL DEFAULT '', reason TEXT NOT NULL DEFAULT '',
            banned_by INTEGER NOT NULL DEFAULT 0, expires_at INTEGER NOT NULL DEFAULT 0,
            created_at INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_bans_ip ON Bans(ip);
        CREATE TABLE Settings (key TEXT PRIMARY KEY, value TEXT NOT NULL DEFAULT '');
        INSERT INTO SchemaInfo(version) VALUES (1);
        INSERT INTO Users(nickname, unique_identifier, created_at) VALUES ('alice', 'uid-alice', 111);
        INSERT INTO Channels(name, description, sort_order) VALUES ('Old Lobby', 'kept', 3);
        INSERT INTO ServerGroups(name, priority, default_perm) VALUES ('Only Group', 42, 9);
        INSERT INTO PrivilegeKeys(token, created_at) VALUES ('OLD-KEY', 5);
        INSERT INTO Bans(ip, created_at) VALUES ('10.0.0.1', 6);
        INSERT INTO Settings(key, value) VALUES ('web_panel_password', 'secret');
    )SQL");
    static const char* const additions[] = {
        // what version N + 2 added, at index N
        R"SQL(CREATE TABLE RegisteredUsers (id INTEGER PRIMARY KEY AUTOINCREMENT, username TEXT NOT NULL UNIQUE,
            display_name TEXT NOT NULL DEFAULT '', password_hash TEXT NOT NULL,
            session_token TEXT NOT NULL DEFAULT '', role INTEGER NOT NULL DEFAULT 0,
            created_at INTEGER NOT NULL DEFAULT 0, last_login_at INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_regusers_username ON RegisteredUsers(username);
        CREATE INDEX idx_regusers_token ON RegisteredUsers(session_token);
        CREATE TABLE PrivateMessages (id INTEGER PRIMARY KEY AUTOINCREMENT,
            sender_user_id INTEGER NOT NULL DEFAULT 0, recv_user_id INTEGER NOT NULL DEFAULT 0,
            sender_nick TEXT NOT NULL DEFAULT '', content TEXT NOT NULL, sent_at INTEGER NOT NULL DEFAULT 0,
            read_by_recv INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_pm_sender ON PrivateMessages(sender_user_id, recv_user_id);
        CREATE INDEX idx_pm_recv ON PrivateMessages(recv_user_id);
        CREATE TABLE BotTokens (id INTEGER PRIMARY KEY AUTOINCREMENT, token TEXT NOT NULL UNIQUE,
            bot_name TEXT NOT NULL DEFAULT '', description TEXT NOT NULL DEFAULT '',
            permissions INTEGER NOT NULL DEFAULT 0, active INTEGER NOT NULL DEFAULT 1,
            created_at INTEGER NOT NULL DEFAULT 0, last_used_at INTEGER NOT NULL DEFAULT 0);
        CREATE INDEX idx_bottokens_token ON BotTokens(token);)SQL",
        "ALTER TABLE Channels ADD COLUMN channel_type INTEGER NOT NULL DEFAULT 0;"
        "CREATE TABLE ServerSettings (key TEXT PRIMARY KEY, value TEXT NOT NULL DEFAULT '');",
        "ALTER TABLE Channels ADD COLUMN log_mode INTEGER NOT NULL DEFAULT 0;",
        "ALTER TABLE Users ADD COLUMN role INTEGER NOT NULL DEFAULT 0;",
        "ALTER TABLE Channels ADD COLUMN icon_url TEXT NOT NULL DEFAULT '';",
        "ALTER TABLE Channels ADD COLUMN banner_url TEXT NOT NULL DEFAULT '';",
        "CREATE TABLE ChannelContent (channel_id INTEGER PRIMARY KEY, content_json TEXT NOT NULL DEFAULT '',"
        " updated_at INTEGER NOT NULL DEFAULT 0,"
        " FOREIGN KEY(channel_id) REFERENCES Channels(id) ON DELETE CASCADE);",
        "ALTER TABLE Channels ADD COLUMN text_color TEXT NOT NULL DEFAULT '';",
        "ALTER TABLE Channels ADD COLUMN message_count INTEGER NOT NULL DEFAULT 0;",
    };
    for (int v = 2; v <= version; ++v) raw.exec(additions[v - 2]);
    raw.exec("UPDATE SchemaInfo SET version = " + std::to_string(version));
}

class SchemaTest : public testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    TempDir tmp;
};

// The schema of a file made fresh by the code, computed once per process.
const std::vector<std::string>& freshSchema() {
    static const std::vector<std::string> schema = [] {
        TempDir dir;
        const std::string path = dir.file("fresh.db");
        {
            DB::SqliteDatabase db(path);
            initQuietly(db);
        }
        RawSqlite raw(path);
        return describeSchema(raw);
    }();
    return schema;
}

}  // namespace

TEST_F(SchemaTest, FreshFileHasTheDocumentedTablesColumnsAndIndexes) {
    const std::vector<std::string> expected = {
        "BotTokens autoincrement",
        "BotTokens index (u) unique=1 on token,",
        "BotTokens index idx_bottokens_token unique=0 on token,",
        "BotTokens.active INTEGER nn=1 dflt=1 pk=0",
        "BotTokens.bot_name TEXT nn=1 dflt='' pk=0",
        "BotTokens.created_at INTEGER nn=1 dflt=0 pk=0",
        "BotTokens.description TEXT nn=1 dflt='' pk=0",
        "BotTokens.id INTEGER nn=0 dflt=NULL pk=1",
        "BotTokens.last_used_at INTEGER nn=1 dflt=0 pk=0",
        "BotTokens.permissions INTEGER nn=1 dflt=0 pk=0",
        "BotTokens.token TEXT nn=1 dflt=NULL pk=0",
        "Bans autoincrement",
        "Bans index idx_bans_ip unique=0 on ip,",
        "Bans.banned_by INTEGER nn=1 dflt=0 pk=0",
        "Bans.created_at INTEGER nn=1 dflt=0 pk=0",
        "Bans.expires_at INTEGER nn=1 dflt=0 pk=0",
        "Bans.id INTEGER nn=0 dflt=NULL pk=1",
        "Bans.ip TEXT nn=1 dflt=NULL pk=0",
        "Bans.nickname TEXT nn=1 dflt='' pk=0",
        "Bans.reason TEXT nn=1 dflt='' pk=0",
        "ChannelContent",
        "ChannelContent fk channel_id->Channels.id on delete CASCADE",
        "ChannelContent.channel_id INTEGER nn=0 dflt=NULL pk=1",
        "ChannelContent.content_json TEXT nn=1 dflt='' pk=0",
        "ChannelContent.updated_at INTEGER nn=1 dflt=0 pk=0",
        "ChannelGroups autoincrement",
        "ChannelGroups.default_perm INTEGER nn=1 dflt=0 pk=0",
        "ChannelGroups.id INTEGER nn=0 dflt=NULL pk=1",
        "ChannelGroups.name TEXT nn=1 dflt=NULL pk=0",
        "Channels autoincrement",
        "Channels index idx_channels_parent unique=0 on parent_id,",
        "Channels.banner_url TEXT nn=1 dflt='' pk=0",
        "Channels.channel_type INTEGER nn=1 dflt=0 pk=0",
        "Channels.description TEXT nn=1 dflt='' pk=0",
        "Channels.has_password INTEGER nn=1 dflt=0 pk=0",
        "Channels.icon_url TEXT nn=1 dflt='' pk=0",
        "Channels.id INTEGER nn=0 dflt=NULL pk=1",
        "Channels.is_permanent INTEGER nn=1 dflt=1 pk=0",
        "Channels.log_mode INTEGER nn=1 dflt=0 pk=0",
        "Channels.max_users INTEGER nn=1 dflt=0 pk=0",
        "Channels.message_count INTEGER nn=1 dflt=0 pk=0",
        "Channels.name TEXT nn=1 dflt=NULL pk=0",
        "Channels.parent_id INTEGER nn=1 dflt=0 pk=0",
        "Channels.password TEXT nn=1 dflt='' pk=0",
        "Channels.required_role INTEGER nn=1 dflt=0 pk=0",
        "Channels.sort_order INTEGER nn=1 dflt=0 pk=0",
        "Channels.text_color TEXT nn=1 dflt='' pk=0",
        "Permissions autoincrement",
        "Permissions index idx_perms_name unique=0 on permission_name,",
        "Permissions index idx_perms_target unique=0 on target_id,target_type,",
        "Permissions.id INTEGER nn=0 dflt=NULL pk=1",
        "Permissions.permission_name TEXT nn=1 dflt=NULL pk=0",
        "Permissions.priority INTEGER nn=1 dflt=0 pk=0",
        "Permissions.target_id INTEGER nn=1 dflt=NULL pk=0",
        "Permissions.target_type TEXT nn=1 dflt=NULL pk=0",
        "Permissions.value INTEGER nn=1 dflt=1 pk=0",
        "PrivateMessages autoincrement",
        "PrivateMessages index idx_pm_recv unique=0 on recv_user_id,",
        "PrivateMessages index idx_pm_sender unique=0 on sender_user_id,recv_user_id,",
        "PrivateMessages.content TEXT nn=1 dflt=NULL pk=0",
        "PrivateMessages.id INTEGER nn=0 dflt=NULL pk=1",
        "PrivateMessages.read_by_recv INTEGER nn=1 dflt=0 pk=0",
        "PrivateMessages.recv_user_id INTEGER nn=1 dflt=0 pk=0",
        "PrivateMessages.sender_nick TEXT nn=1 dflt='' pk=0",
        "PrivateMessages.sender_user_id INTEGER nn=1 dflt=0 pk=0",
        "PrivateMessages.sent_at INTEGER nn=1 dflt=0 pk=0",
        "PrivilegeKeys autoincrement",
        "PrivilegeKeys index (u) unique=1 on token,",
        "PrivilegeKeys index idx_privkeys_token unique=0 on token,",
        "PrivilegeKeys.created_at INTEGER nn=1 dflt=0 pk=0",
        "PrivilegeKeys.description TEXT nn=1 dflt='' pk=0",
        "PrivilegeKeys.id INTEGER nn=0 dflt=NULL pk=1",
        "PrivilegeKeys.target_id INTEGER nn=1 dflt=0 pk=0",
        "PrivilegeKeys.token TEXT nn=1 dflt=NULL pk=0",
        "PrivilegeKeys.type TEXT nn=1 dflt='serveradmin' pk=0",
        "PrivilegeKeys.used INTEGER nn=1 dflt=0 pk=0",
        "RegisteredUsers autoincrement",
        "RegisteredUsers index (u) unique=1 on username,",
        "RegisteredUsers index idx_regusers_token unique=0 on session_token,",
        "RegisteredUsers index idx_regusers_username unique=0 on username,",
        "RegisteredUsers.created_at INTEGER nn=1 dflt=0 pk=0",
        "RegisteredUsers.display_name TEXT nn=1 dflt='' pk=0",
        "RegisteredUsers.id INTEGER nn=0 dflt=NULL pk=1",
        "RegisteredUsers.last_login_at INTEGER nn=1 dflt=0 pk=0",
        "RegisteredUsers.password_hash TEXT nn=1 dflt=NULL pk=0",
        "RegisteredUsers.role INTEGER nn=1 dflt=0 pk=0",
        "RegisteredUsers.session_token TEXT nn=1 dflt='' pk=0",
        "RegisteredUsers.username TEXT nn=1 dflt=NULL pk=0",
        "SchemaInfo",
        "SchemaInfo.version INTEGER nn=1 dflt=0 pk=0",
        "ServerGroups autoincrement",
        "ServerGroups.default_perm INTEGER nn=1 dflt=0 pk=0",
        "ServerGroups.id INTEGER nn=0 dflt=NULL pk=1",
        "ServerGroups.name TEXT nn=1 dflt=NULL pk=0",
        "ServerGroups.priority INTEGER nn=1 dflt=0 pk=0",
        "ServerSettings",
        "ServerSettings index (pk) unique=1 on key,",
        "ServerSettings.key TEXT nn=0 dflt=NULL pk=1",
        "ServerSettings.value TEXT nn=1 dflt='' pk=0",
        "Settings",
        "Settings index (pk) unique=1 on key,",
        "Settings.key TEXT nn=0 dflt=NULL pk=1",
        "Settings.value TEXT nn=1 dflt='' pk=0",
        "UserGroups",
        "UserGroups fk group_id->ServerGroups.id on delete CASCADE",
        "UserGroups fk user_id->Users.id on delete CASCADE",
        "UserGroups index (pk) unique=1 on user_id,group_id,",
        "UserGroups index idx_usergroups_uid unique=0 on user_id,",
        "UserGroups.group_id INTEGER nn=1 dflt=NULL pk=2",
        "UserGroups.user_id INTEGER nn=1 dflt=NULL pk=1",
        "Users autoincrement",
        "Users index (u) unique=1 on unique_identifier,",
        "Users index idx_users_uid unique=0 on unique_identifier,",
        "Users.created_at INTEGER nn=1 dflt=0 pk=0",
        "Users.id INTEGER nn=0 dflt=NULL pk=1",
        "Users.nickname TEXT nn=1 dflt=NULL pk=0",
        "Users.role INTEGER nn=1 dflt=0 pk=0",
        "Users.unique_identifier TEXT nn=1 dflt=NULL pk=0",
    };
    EXPECT_THAT(freshSchema(), testing::UnorderedElementsAreArray(expected));
}

TEST_F(SchemaTest, FreshFileHoldsOnlyTheSeedRowsAndVersion10) {
    const std::string path = tmp.file("seed.db");
    DB::SqliteDatabase db(path);
    initQuietly(db);
    RawSqlite raw(path);
    EXPECT_THAT(raw.rows("SELECT * FROM SchemaInfo"), ElementsAre(ElementsAre("10")));
    EXPECT_THAT(raw.rows("SELECT id, name, priority, default_perm FROM ServerGroups ORDER BY id"),
                ElementsAre(ElementsAre("1", "Guest", "0", "7"), ElementsAre("2", "Member", "10", "7"),
                            ElementsAre("3", "Moderator", "50", "63"), ElementsAre("4", "Admin", "90", "4095"),
                            ElementsAre("5", "Server Admin", "100", "-1")));
    EXPECT_THAT(raw.rows("SELECT * FROM Channels"),
                ElementsAre(ElementsAre("1", "0", "Lobby", "", "", "0", "0", "0", "1", "0", "0", "0", "", "", "",
                                        "0")));
    for (const char* table : {"Users", "ChannelContent", "ServerSettings", "ChannelGroups", "UserGroups",
                              "Permissions", "PrivilegeKeys", "Bans", "Settings", "RegisteredUsers",
                              "PrivateMessages", "BotTokens"}) {
        EXPECT_EQ(raw.scalar(std::string("SELECT COUNT(*) FROM ") + table), 0) << table;
    }
    EXPECT_EQ(raw.text("PRAGMA journal_mode"), "wal");
    EXPECT_THAT(logged(LogLevel::Info),
                testing::Contains("Seeded default server groups and lobby channel"));
}

TEST_F(SchemaTest, StartUpOutputAndDirectoryCreation) {
    const std::string dir = tmp.file("data/sub");
    const std::string path = dir + "/server.db";
    {
        DB::SqliteDatabase db(path);
        const std::string out = initQuietly(db);
        const auto lines = linesStartingWith(out, "[DB]");
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(lines[0], "[DB] Created directory: " + dir);
        EXPECT_EQ(lines[1], "[DB] Opening database: " + path);
        EXPECT_EQ(lines[2], "[DB] Database file opened successfully.");
        EXPECT_EQ(lines[lines.size() - 2], "[DB] Schema created.");
        EXPECT_EQ(lines.back(), "[DB] Database ready: " + path);
        EXPECT_THAT(logged(LogLevel::Info),
                    testing::IsSupersetOf({"[DB] Opened database: " + path, "[DB] Database initialized: " + path}));
    }
    // The second start finds the directory and a current schema.
    DB::SqliteDatabase again(path);
    const auto lines = linesStartingWith(initQuietly(again), "[DB]");
    EXPECT_THAT(lines, ElementsAre("[DB] Opening database: " + path, "[DB] Database file opened successfully.",
                                   "[DB] Schema is up to date (v10).", "[DB] Database ready: " + path));
}

TEST_F(SchemaTest, PathWithoutDirectoryCreatesNoDirectory) {
    const fs::path old = fs::current_path();
    fs::current_path(tmp.path());
    DB::SqliteDatabase db("plain.db");
    std::string out;
    EXPECT_NO_THROW(out = initQuietly(db));
    fs::current_path(old);
    EXPECT_THAT(out, testing::Not(HasSubstr("Created directory")));
    EXPECT_TRUE(fs::exists(tmp.path() / "plain.db"));
}

TEST_F(SchemaTest, NewDirectoriesAndFilesAreOwnerOnly) {
    const mode_t oldMask = ::umask(022);
    const std::string path = tmp.file("a/b/server.db");
    fs::create_directory(tmp.file("open"));
    fs::permissions(tmp.file("open"), fs::perms(0755));
    const std::string inOpen = tmp.file("open/keep.db");
    {
        DB::SqliteDatabase db(path);
        initQuietly(db);
        db.SetSetting("web_panel_password", "pw");  // makes SQLite write its WAL file
        DB::SqliteDatabase other(inOpen);
        initQuietly(other);
    }
    ::umask(oldMask);
    auto mode = [](const std::string& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 0777;
    };
    EXPECT_EQ(mode(tmp.file("a")), 0700u);
    EXPECT_EQ(mode(tmp.file("a/b")), 0700u);
    EXPECT_EQ(mode(path), 0600u);
    if (fs::exists(path + "-wal")) {
        EXPECT_EQ(mode(path + "-wal"), 0600u);
    }
    EXPECT_EQ(mode(tmp.file("open")), 0755u) << "an existing directory keeps its mode";
    EXPECT_EQ(mode(inOpen), 0600u);
}

TEST_F(SchemaTest, UnusableDirectoryOrFileFailsWithItsTexts) {
    // A regular file where a directory must be.
    Korrafin::Test::writeFile(tmp.file("blocker"), "x");
    {
        DB::SqliteDatabase db(tmp.file("blocker/sub/server.db"));
        CaptureStderr();
        try {
            initQuietly(db);
            ADD_FAILURE() << "expected a throw";
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), testing::StartsWith("[DB] Directory creation failed: "));
        }
        EXPECT_THAT(GetCapturedStderr(), HasSubstr("[DB] ERROR: Could not create directory '"));
    }
    // A directory where the file must be: the open fails.
    fs::create_directory(tmp.file("isdir.db"));
    DB::SqliteDatabase db(tmp.file("isdir.db"));
    CaptureStderr();
    try {
        initQuietly(db);
        ADD_FAILURE() << "expected a throw";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), testing::StartsWith("[DB] Cannot open database: "));
    }
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("[DB] FATAL: sqlite3_open_v2 failed ("));
    // The failed object reports itself as not open.
    CaptureStdout();
    db.DebugCheckDatabase();
    EXPECT_THAT(GetCapturedStdout(), HasSubstr("[DB]  Handle  : NULL \u2013 not open!"));
}

TEST_F(SchemaTest, NewerVersionIsOpenedUnchanged) {
    const std::string path = tmp.file("v11.db");
    {
        DB::SqliteDatabase db(path);
        initQuietly(db);
    }
    RawSqlite(path).exec("UPDATE SchemaInfo SET version = 11");
    DB::SqliteDatabase db(path);
    EXPECT_THAT(initQuietly(db), HasSubstr("[DB] Schema is up to date (v11).\n"));
    EXPECT_EQ(RawSqlite(path).scalar("SELECT version FROM SchemaInfo"), 11);
}

TEST_F(SchemaTest, EmptySchemaInfoRunsTheScriptAgainWithoutSeedingTwice) {
    const std::string path = tmp.file("empty-info.db");
    {
        DB::SqliteDatabase db(path);
        initQuietly(db);
    }
    RawSqlite(path).exec("DELETE FROM SchemaInfo; DELETE FROM Channels;");
    DB::SqliteDatabase db(path);
    initQuietly(db);
    RawSqlite raw(path);
    EXPECT_THAT(raw.rows("SELECT * FROM SchemaInfo"), ElementsAre(ElementsAre("10")));
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM ServerGroups"), 5);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM Channels"), 0) << "groups exist, so nothing is seeded";
}

// A first start that dies after its schema but before its seed rows must
// not leave a file without groups and lobby for ever: the next start adds
// them, with the lobby as channel 1, and leaves every other row alone.
TEST_F(SchemaTest, SeedRowsMissingFromACompleteSchemaAreAddedAtTheNextStart) {
    const std::string path = tmp.file("unseeded.db");
    {
        DB::SqliteDatabase db(path);
        initQuietly(db);
    }
    RawSqlite(path).exec(
        "DELETE FROM ServerGroups; DELETE FROM Channels; DELETE FROM sqlite_sequence;"
        "INSERT INTO Settings(key, value) VALUES ('kept', 'yes');");

    LogCapture::instance().clear();
    DB::SqliteDatabase db(path);
    initQuietly(db);
    RawSqlite raw(path);
    EXPECT_THAT(raw.rows("SELECT id, name FROM ServerGroups ORDER BY id"),
                ElementsAre(ElementsAre("1", "Guest"), ElementsAre("2", "Member"), ElementsAre("3", "Moderator"),
                            ElementsAre("4", "Admin"), ElementsAre("5", "Server Admin")));
    EXPECT_THAT(raw.rows("SELECT id, name, parent_id FROM Channels"), ElementsAre(ElementsAre("1", "Lobby", "0")));
    EXPECT_EQ(raw.text("SELECT value FROM Settings WHERE key = 'kept'"), "yes");
    EXPECT_THAT(logged(LogLevel::Warn), testing::Contains(HasSubstr("seed rows were added")));
    // What the snapshot serves is what the file now holds.
    EXPECT_EQ(db.GetAllServerGroups().size(), 5u);
    ASSERT_EQ(db.GetAllChannels().size(), 1u);
    DB::DbChannel next;
    next.name = "next";
    EXPECT_EQ(db.SaveChannel(next), 2) << "new channels come after the lobby";

    // A start that finds them in place adds nothing.
    LogCapture::instance().clear();
    DB::SqliteDatabase again(path);
    initQuietly(again);
    EXPECT_EQ(RawSqlite(path).scalar("SELECT COUNT(*) FROM ServerGroups"), 5);
    EXPECT_THAT(logged(LogLevel::Warn), testing::Not(testing::Contains(HasSubstr("seed rows"))));
}

// The schema and its seed rows are one transaction: when the seed fails, no
// table of the script is left behind, and the next start begins afresh.
TEST_F(SchemaTest, SchemaAndSeedRowsCommitTogetherOrNotAtAll) {
    const std::string path = tmp.file("half.db");
    // A ServerGroups table that refuses every row makes the seed fail.
    RawSqlite(path).exec(
        "CREATE TABLE ServerGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL CHECK(0), "
        "priority INTEGER NOT NULL DEFAULT 0, default_perm INTEGER NOT NULL DEFAULT 0);");
    {
        DB::SqliteDatabase db(path);
        EXPECT_THROW(initQuietly(db), std::runtime_error);
    }
    RawSqlite raw(path);
    EXPECT_THAT(raw.column("SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sqlite_sequence'"),
                ElementsAre("ServerGroups"))
        << "nothing of the script stays";

    raw.exec("DROP TABLE ServerGroups");
    DB::SqliteDatabase db(path);
    initQuietly(db);
    EXPECT_EQ(RawSqlite(path).scalar("SELECT version FROM SchemaInfo"), 10);
    EXPECT_EQ(RawSqlite(path).scalar("SELECT COUNT(*) FROM ServerGroups"), 5);
    EXPECT_EQ(RawSqlite(path).scalar("SELECT COUNT(*) FROM Channels WHERE id = 1"), 1);
}

// ---------------------------------------------------------------------------
// Upgrades

class MigrationTest : public SchemaTest, public testing::WithParamInterface<int> {};

TEST_P(MigrationTest, EveryOlderVersionEndsAtTheFreshSchemaWithItsDataKept) {
    const int from = GetParam();
    const std::string path = tmp.file("old.db");
    buildOldFile(path, from);
    DB::SqliteDatabase db(path);
    const std::string out = initQuietly(db);

    EXPECT_THAT(out, HasSubstr("[DB] Migrating schema from v" + std::to_string(from) + " \u2192 v10\u2026\n"));
    std::vector<std::string> migrationLines;
    for (const auto& m : logged(LogLevel::Info))
        if (m.rfind("[DB] Migration v", 0) == 0) migrationLines.push_back(m);
    ASSERT_EQ(migrationLines.size(), static_cast<size_t>(10 - from));
    EXPECT_THAT(migrationLines.front(), testing::StartsWith("[DB] Migration v" + std::to_string(from) + "\u2192v"));
    EXPECT_EQ(migrationLines.back(), "[DB] Migration v9\u2192v10 applied (Channels.message_count)");

    RawSqlite raw(path);
    EXPECT_EQ(raw.scalar("SELECT version FROM SchemaInfo"), 10);
    EXPECT_EQ(describeSchema(raw), freshSchema());
    // Old rows survive, new columns read as their defaults, nothing is seeded.
    const auto alice = db.GetUserByUniqueId("uid-alice");
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->nickname, "alice");
    EXPECT_EQ(alice->created_at, 111);
    EXPECT_EQ(alice->role, 0);
    const auto channels = db.GetAllChannels();
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0].name, "Old Lobby");
    EXPECT_EQ(channels[0].description, "kept");
    EXPECT_EQ(channels[0].sort_order, 3);
    EXPECT_EQ(channels[0].message_count, 0);
    EXPECT_EQ(channels[0].channel_type, 0);
    ASSERT_EQ(db.GetAllServerGroups().size(), 1u);
    EXPECT_TRUE(db.ValidatePrivilegeKey("OLD-KEY"));
    EXPECT_TRUE(db.IsIpBanned("10.0.0.1"));
    EXPECT_EQ(db.GetSetting("web_panel_password", ""), "secret");
    // And the upgraded file works: the added tables take rows.
    DB::DbRegisteredUser bob;
    bob.username = "bob";
    bob.password_hash = "h";
    EXPECT_EQ(db.RegisterUser(bob), 1);
    db.SetChannelContent(channels[0].id, "{}");
    EXPECT_EQ(db.IncrementChannelMessageCount(channels[0].id), 1);
}

INSTANTIATE_TEST_SUITE_P(FromEachVersion, MigrationTest, testing::Range(1, 10));

TEST_F(SchemaTest, ColumnThatAlreadyExistsIsSkipped) {
    const std::string path = tmp.file("v5.db");
    buildOldFile(path, 5);
    RawSqlite(path).exec("ALTER TABLE Channels ADD COLUMN icon_url TEXT NOT NULL DEFAULT '';");
    DB::SqliteDatabase db(path);
    EXPECT_NO_THROW(initQuietly(db));
    RawSqlite raw(path);
    EXPECT_EQ(raw.scalar("SELECT version FROM SchemaInfo"), 10);
    EXPECT_EQ(describeSchema(raw), freshSchema());
}

TEST_F(SchemaTest, FailingStepStopsTheUpgradeAndKeepsItsVersion) {
    const std::string path = tmp.file("v4.db");
    buildOldFile(path, 4);
    RawSqlite(path).exec("DROP TABLE UserGroups; DROP TABLE Users;");  // step 4 to 5 cannot add Users.role
    {
        DB::SqliteDatabase db(path);
        try {
            initQuietly(db);
            ADD_FAILURE() << "expected a throw";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Migration v5 failed: no such table: Users");
        }
    }
    RawSqlite raw(path);
    EXPECT_EQ(raw.scalar("SELECT version FROM SchemaInfo"), 4);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM pragma_table_info('Channels') WHERE name='icon_url'"), 0)
        << "no later step ran";

    // Once the file is repaired the next start picks up from version 4.
    raw.exec("CREATE TABLE Users (id INTEGER PRIMARY KEY AUTOINCREMENT, nickname TEXT NOT NULL,"
             " unique_identifier TEXT NOT NULL UNIQUE, created_at INTEGER NOT NULL DEFAULT 0);"
             "CREATE INDEX idx_users_uid ON Users(unique_identifier);"
             "CREATE TABLE UserGroups (user_id INTEGER NOT NULL, group_id INTEGER NOT NULL,"
             " PRIMARY KEY(user_id, group_id),"
             " FOREIGN KEY(user_id) REFERENCES Users(id) ON DELETE CASCADE,"
             " FOREIGN KEY(group_id) REFERENCES ServerGroups(id) ON DELETE CASCADE);"
             "CREATE INDEX idx_usergroups_uid ON UserGroups(user_id);");
    DB::SqliteDatabase db(path);
    EXPECT_NO_THROW(initQuietly(db));
    EXPECT_EQ(raw.scalar("SELECT version FROM SchemaInfo"), 10);
    EXPECT_EQ(describeSchema(raw), freshSchema());
}

TEST_F(SchemaTest, FailingStepLeavesNoneOfItsChangesBehind) {
    const std::string path = tmp.file("v2.db");
    buildOldFile(path, 2);
    // An index takes the name of the table that step 2 to 3 creates after
    // adding its column: the step fails half-way.
    RawSqlite(path).exec("CREATE INDEX ServerSettings ON Bans(ip);");
    {
        DB::SqliteDatabase db(path);
        try {
            initQuietly(db);
            ADD_FAILURE() << "expected a throw";
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), testing::StartsWith("Migration v3 failed: "));
        }
    }
    RawSqlite raw(path);
    EXPECT_EQ(raw.scalar("SELECT version FROM SchemaInfo"), 2);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM pragma_table_info('Channels') WHERE name='channel_type'"), 0);
}

// ---------------------------------------------------------------------------
// Diagnostic report

TEST_F(SchemaTest, DebugReportOfAnOpenDatabase) {
    const std::string path = tmp.file("report.db");
    DB::SqliteDatabase db(path);
    initQuietly(db);
    DB::DbBan ban;
    ban.ip = "1.2.3.4";
    db.SaveBan(ban);
    CaptureStdout();
    db.DebugCheckDatabase();
    const std::string out = GetCapturedStdout();
    const std::string bar2 = "\u2500\u2500";
    std::string bar30, bar46;
    for (int i = 0; i < 30; ++i) bar30 += "\u2500";
    for (int i = 0; i < 46; ++i) bar46 += "\u2500";
    const std::string size = std::to_string(fs::file_size(path));
    EXPECT_EQ(out, "[DB] " + bar2 + " Debug Check " + bar30 + "\n" + "[DB]  Path    : " + path + "\n" +
                       "[DB]  Exists  : YES\n" + "[DB]  Size    : " + size + " bytes\n" +
                       "[DB]  Users         : 0\n" + "[DB]  Channels      : 1\n" + "[DB]  ServerGroups  : 5\n" +
                       "[DB]  PrivilegeKeys : 0\n" + "[DB]  Bans          : 1\n" + "[DB] " + bar46 + "\n");
}

TEST_F(SchemaTest, DebugReportNeverThrows) {
    // Never opened, no file.
    DB::SqliteDatabase missing(tmp.file("nothing.db"));
    CaptureStdout();
    EXPECT_NO_THROW(missing.DebugCheckDatabase());
    const auto lines = linesStartingWith(GetCapturedStdout(), "[DB]");
    EXPECT_THAT(lines, ElementsAre(testing::HasSubstr("Debug Check"), "[DB]  Path    : " + tmp.file("nothing.db"),
                                   "[DB]  Exists  : NO!", "[DB]  Handle  : NULL \u2013 not open!"));

    // A size that cannot be read.
    fs::create_directory(tmp.file("dir.db"));
    DB::SqliteDatabase dir(tmp.file("dir.db"));
    CaptureStdout();
    EXPECT_NO_THROW(dir.DebugCheckDatabase());
    EXPECT_THAT(GetCapturedStdout(), HasSubstr("[DB]  Exists  : YES\n[DB]  Size    : -1 bytes\n"));

    // A table that went missing behind the object's back.
    const std::string path = tmp.file("broken.db");
    DB::SqliteDatabase broken(path);
    initQuietly(broken);
    RawSqlite(path).exec("DROP TABLE Bans");
    CaptureStdout();
    EXPECT_NO_THROW(broken.DebugCheckDatabase());
    const auto report = linesStartingWith(GetCapturedStdout(), "[DB]");
    ASSERT_EQ(report.size(), 10u);
    EXPECT_EQ(report[7], "[DB]  PrivilegeKeys : 0");
    EXPECT_EQ(report[8], "[DB]  Bans          : -1");
    EXPECT_THAT(logged(LogLevel::Error),
                testing::Contains("SQLite error in [SELECT COUNT(*) FROM Bans]: SQL logic error"));
}
