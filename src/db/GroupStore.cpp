// Server and channel groups, memberships (UserGroups), named permission rows
// and the process-wide key/value settings (Settings).
#include <string>

#include "db/SqliteDatabase.h"
#include "db/Statement.h"

namespace Korrafin::DB {

namespace {

constexpr const char* kGroupSelect = "SELECT id, name, priority, default_perm FROM ServerGroups";
constexpr const char* kPermSelect =
    "SELECT id, target_type, target_id, permission_name, value, priority FROM Permissions";

DbChannelGroup RowToCGroup(sqlite3_stmt* s) {
    DbChannelGroup g;
    g.id = colInt64(s, 0);
    g.name = colText(s, 1);
    g.default_perm = colInt(s, 2);
    return g;
}

}  // namespace

DbServerGroup RowToSGroup(sqlite3_stmt* s) {
    DbServerGroup g;
    g.id = colInt64(s, 0);
    g.name = colText(s, 1);
    g.priority = colInt(s, 2);
    g.default_perm = colInt(s, 3);
    return g;
}

DbPermission RowToPerm(sqlite3_stmt* s) {
    DbPermission p;
    p.id = colInt64(s, 0);
    p.target_type = colText(s, 1);
    p.target_id = colInt64(s, 2);
    p.permission_name = colText(s, 3);
    p.value = colInt(s, 4);
    p.priority = colInt(s, 5);
    return p;
}

// ---------------------------------------------------------------------------
// Groups and memberships

std::vector<DbServerGroup> SqliteDatabase::GetAllServerGroups_Locked() {
    static const std::string sql = std::string(kGroupSelect) + " ORDER BY priority DESC";
    return readAll(Prepare(sql.c_str()), RowToSGroup);
}

std::vector<DbServerGroup> SqliteDatabase::GetAllServerGroups() {
    std::lock_guard lock(mutex);
    if (cacheDirty) return GetAllServerGroups_Locked();
    return serverGroupCache;
}

std::optional<DbServerGroup> SqliteDatabase::GetServerGroupById(int64_t id) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kGroupSelect) + " WHERE id = ?";
    return readOne(Prepare(sql.c_str()), RowToSGroup, id);
}

int64_t SqliteDatabase::SaveServerGroup(const DbServerGroup& group) {
    return Insert("INSERT INTO ServerGroups(name, priority, default_perm) VALUES(?, ?, ?)", "SaveServerGroup",
                  group.name, group.priority, group.default_perm);
}

std::vector<DbChannelGroup> SqliteDatabase::GetAllChannelGroups() {
    std::lock_guard lock(mutex);
    return readAll(Prepare("SELECT id, name, default_perm FROM ChannelGroups"), RowToCGroup);
}

int64_t SqliteDatabase::SaveChannelGroup(const DbChannelGroup& group) {
    return Insert("INSERT INTO ChannelGroups(name, default_perm) VALUES(?, ?)", "SaveChannelGroup", group.name,
                  group.default_perm);
}

void SqliteDatabase::AssignUserToServerGroup(int64_t userId, int64_t groupId) {
    Write("INSERT OR IGNORE INTO UserGroups(user_id, group_id) VALUES(?, ?)", "AssignUserToServerGroup", userId,
          groupId);
}

void SqliteDatabase::RemoveUserFromServerGroup(int64_t userId, int64_t groupId) {
    Write("DELETE FROM UserGroups WHERE user_id = ? AND group_id = ?", "RemoveUserFromServerGroup", userId, groupId);
}

std::vector<int64_t> SqliteDatabase::GetUserServerGroups(int64_t userId) {
    std::lock_guard lock(mutex);
    return readAll(Prepare("SELECT group_id FROM UserGroups WHERE user_id = ?"),
                   [](sqlite3_stmt* s) { return colInt64(s, 0); }, userId);
}

// ---------------------------------------------------------------------------
// Permission rows

std::vector<DbPermission> SqliteDatabase::GetPermissionsForTarget(const std::string& targetType, int64_t targetId) {
    std::lock_guard lock(mutex);
    static const std::string sql =
        std::string(kPermSelect) + " WHERE target_type = ? AND target_id = ? ORDER BY priority DESC";
    return readAll(Prepare(sql.c_str()), RowToPerm, targetType, targetId);
}

std::vector<DbPermission> SqliteDatabase::GetAllPermissions_Locked() {
    return readAll(Prepare(kPermSelect), RowToPerm);
}

std::vector<DbPermission> SqliteDatabase::GetAllPermissions() {
    std::lock_guard lock(mutex);
    if (cacheDirty) return GetAllPermissions_Locked();
    return permissionCache;
}

int64_t SqliteDatabase::SavePermission(const DbPermission& p) {
    std::lock_guard lock(mutex);
    WriteTxn txn(*this);
    // One row per target and name: the table has no unique key for it, so the
    // old row goes first, in the same transaction.
    writeStep(Prepare("DELETE FROM Permissions WHERE target_type = ? AND target_id = ? AND permission_name = ?"),
              "SavePermission", p.target_type, p.target_id, p.permission_name);
    writeStep(Prepare("INSERT OR REPLACE INTO Permissions(target_type, target_id, permission_name, value, priority) "
                      "VALUES(?, ?, ?, ?, ?)"),
              "SavePermission", p.target_type, p.target_id, p.permission_name, p.value, p.priority);
    const int64_t id = LastInsertRowId();
    txn.commit();
    return id;
}

void SqliteDatabase::DeletePermission(int64_t id) {
    Write("DELETE FROM Permissions WHERE id = ?", "DeletePermission", id);
}

// ---------------------------------------------------------------------------
// Key/value settings

std::string SqliteDatabase::GetSetting(const std::string& key, const std::string& defaultValue) {
    std::lock_guard lock(mutex);
    auto value = readOne(Prepare("SELECT value FROM Settings WHERE key = ?"),
                         [](sqlite3_stmt* s) -> std::optional<std::string> {
                             if (sqlite3_column_type(s, 0) == SQLITE_NULL) return std::nullopt;
                             return colText(s, 0);
                         },
                         key);
    if (value && *value) return **value;
    return defaultValue;
}

void SqliteDatabase::SetSetting(const std::string& key, const std::string& value) {
    Write("INSERT OR REPLACE INTO Settings(key, value) VALUES(?, ?)", "SetSetting", key, value);
}

}  // namespace Korrafin::DB
