// The SQLite implementation of DB::IDatabase: one connection to one file.
// Construct with the path, call Initialize once on the creating thread, then
// share it; every operation locks the object's one (non-recursive) mutex for
// its whole run. Writes run as one "BEGIN IMMEDIATE" transaction each (the
// message count increment alone commits by itself) and are rolled back before
// their exception leaves. Not copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "db/IDatabase.h"
#include "db/Records.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Korrafin::DB {

// Finalizes a prepared statement; the one way statements are released.
struct StmtDeleter {
    void operator()(sqlite3_stmt* stmt) const noexcept;
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

class SqliteDatabase final : public IDatabase {
public:
    // The version a fresh file gets and every older file is upgraded to.
    static constexpr int kSchemaVersion = 10;

    // Stores the path; touches no file.
    explicit SqliteDatabase(std::string path);
    // Closes the connection when it is open.
    ~SqliteDatabase() override;

    void Initialize() override;
    void CreateSchema() override;
    void RunMigrations(int fromVersion) override;
    int GetSchemaVersion() override;

    std::optional<DbUser> GetUserById(int64_t id) override;
    std::optional<DbUser> GetUserByUniqueId(const std::string& uniqueIdentifier) override;
    int64_t SaveUser(const DbUser& user) override;
    void UpdateUserNickname(int64_t id, const std::string& nickname) override;
    void UpdateUserRole(int64_t id, int role) override;
    DbServerSettings GetServerSettings() override;
    void SaveServerSettings(const DbServerSettings& settings) override;
    std::vector<DbChannel> GetAllChannels() override;
    std::optional<DbChannel> GetChannelById(int64_t id) override;
    int64_t SaveChannel(const DbChannel& channel) override;
    void UpdateChannel(const DbChannel& channel) override;
    void DeleteChannel(int64_t id) override;
    int64_t IncrementChannelMessageCount(int64_t channelId) override;
    std::optional<std::string> GetChannelContent(int64_t channelId) override;
    void SetChannelContent(int64_t channelId, const std::string& json) override;

    std::vector<DbServerGroup> GetAllServerGroups() override;
    std::optional<DbServerGroup> GetServerGroupById(int64_t id) override;
    int64_t SaveServerGroup(const DbServerGroup& group) override;
    std::vector<DbChannelGroup> GetAllChannelGroups() override;
    int64_t SaveChannelGroup(const DbChannelGroup& group) override;
    void AssignUserToServerGroup(int64_t userId, int64_t groupId) override;
    void RemoveUserFromServerGroup(int64_t userId, int64_t groupId) override;
    std::vector<int64_t> GetUserServerGroups(int64_t userId) override;
    std::vector<DbPermission> GetPermissionsForTarget(const std::string& targetType, int64_t targetId) override;
    std::vector<DbPermission> GetAllPermissions() override;
    int64_t SavePermission(const DbPermission& permission) override;
    void DeletePermission(int64_t id) override;

    bool ValidatePrivilegeKey(const std::string& token) override;
    std::optional<DbPrivilegeKey> GetPrivilegeKey(const std::string& token) override;
    int64_t CreatePrivilegeKey(const DbPrivilegeKey& key) override;
    void MarkPrivilegeKeyUsed(const std::string& token) override;
    std::vector<DbPrivilegeKey> GetKeysByType(const std::string& type, bool onlyUnused) override;
    std::vector<DbPrivilegeKey> GetAllPrivilegeKeys() override;
    void RevokePrivilegeKey(int64_t id) override;

    std::optional<DbRegisteredUser> GetRegisteredUserByUsername(const std::string& username) override;
    std::optional<DbRegisteredUser> GetRegisteredUserById(int64_t id) override;
    std::optional<DbRegisteredUser> GetRegisteredUserByToken(const std::string& token) override;
    int64_t RegisterUser(const DbRegisteredUser& user) override;
    bool UpdateRegisteredUserToken(int64_t id, const std::string& token) override;
    bool UpdateRegisteredUserRole(int64_t id, int role) override;
    int64_t SavePrivateMessage(const DbPrivateMessage& message) override;
    std::vector<DbPrivateMessage> GetPrivateMessages(int64_t userA, int64_t userB, int limit) override;
    void MarkMessagesRead(int64_t receiverId, int64_t senderId) override;

    std::optional<DbBotToken> GetBotToken(const std::string& token) override;
    int64_t SaveBotToken(const DbBotToken& token) override;
    void UpdateBotTokenLastUsed(int64_t id) override;
    std::vector<DbBotToken> GetAllBotTokens() override;
    void DeleteBotToken(int64_t id) override;

    void ReorderChannels(const std::vector<int64_t>& ids) override;

    void SaveBan(const DbBan& ban) override;
    bool IsIpBanned(const std::string& ip) override;
    std::vector<DbBan> GetAllBans() override;
    void RemoveBan(int64_t id) override;

    std::string GetSetting(const std::string& key, const std::string& defaultValue) override;
    void SetSetting(const std::string& key, const std::string& value) override;

    bool ClaimPrivilegeKey(const std::string& token) override;

    // Writes the diagnostic report (path, existence, size, row counts) to
    // standard output. Locks the mutex only while counting. Never throws:
    // whatever cannot be read is printed as -1.
    void DebugCheckDatabase();

private:
    class WriteTxn;

    // A write of one statement: takes `mutex`, runs the statement as one
    // transaction and commits it (the read snapshot goes stale). Write tells
    // whether a row changed, Insert gives the inserted row's id. Defined in
    // Statement.h; they throw like writeStep.
    template <typename... Args>
    bool Write(const char* sql, const char* context, const Args&... args);
    template <typename... Args>
    int64_t Insert(const char* sql, const char* context, const Args&... args);

    // Internal machinery; none of it locks. The caller holds `mutex`.
    void Exec(const char* sql);
    StmtPtr Prepare(const char* sql);
    void BeginTransaction();
    void Commit(bool markCacheStale = true);
    void Rollback();
    int64_t LastInsertRowId();
    void RefreshCache();
    std::vector<DbChannel> GetAllChannels_Locked();
    std::vector<DbServerGroup> GetAllServerGroups_Locked();
    std::vector<DbPermission> GetAllPermissions_Locked();
    void ApplyPragmas();
    // Inserts the default groups and the lobby when ServerGroups is empty,
    // inside the caller's transaction; whether it did.
    bool SeedDefaults();
    // SeedDefaults in a transaction of its own, logged when it added rows.
    void EnsureSeedRows();
    bool ColumnExists(const char* table, const char* column);
    void MigrationStep(int toVersion, const char* table, const char* columnDef, const char* script);

    std::string dbPath;
    sqlite3* db = nullptr;
    std::mutex mutex;
    std::vector<DbChannel> channelCache;
    std::vector<DbServerGroup> serverGroupCache;
    std::vector<DbPermission> permissionCache;
    bool cacheDirty = true;
    bool inTransaction = false;
};

}  // namespace Korrafin::DB
