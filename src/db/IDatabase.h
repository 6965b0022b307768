// Storage interface of one database file, shared by std::shared_ptr among the
// components that use the file. Every operation takes the database's own
// mutex for its whole run and may be called from any thread once Initialize
// has succeeded. A failed prepare or write throws std::runtime_error (except
// RegisterUser, which answers -1 for a taken name); a read that finds nothing
// returns an empty optional, an empty vector or the documented default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/Records.h"

namespace Korrafin::DB {

class IDatabase {
public:
    // The order of these operations is part of the interface.
    virtual ~IDatabase() = default;

    // Opens or creates the file and brings it to the current schema. Once,
    // before the object is shared. Throws std::runtime_error on any failure.
    virtual void Initialize() = 0;
    // Schema steps; called only by Initialize under its lock.
    virtual void CreateSchema() = 0;
    virtual void RunMigrations(int fromVersion) = 0;
    virtual int GetSchemaVersion() = 0;

    // Identities, settings and channels.
    virtual std::optional<DbUser> GetUserById(int64_t id) = 0;
    virtual std::optional<DbUser> GetUserByUniqueId(const std::string& uniqueIdentifier) = 0;
    virtual int64_t SaveUser(const DbUser& user) = 0;
    virtual void UpdateUserNickname(int64_t id, const std::string& nickname) = 0;
    virtual void UpdateUserRole(int64_t id, int role) = 0;
    virtual DbServerSettings GetServerSettings() = 0;
    virtual void SaveServerSettings(const DbServerSettings& settings) = 0;
    virtual std::vector<DbChannel> GetAllChannels() = 0;
    virtual std::optional<DbChannel> GetChannelById(int64_t id) = 0;
    virtual int64_t SaveChannel(const DbChannel& channel) = 0;
    virtual void UpdateChannel(const DbChannel& channel) = 0;
    virtual void DeleteChannel(int64_t id) = 0;
    virtual int64_t IncrementChannelMessageCount(int64_t channelId) = 0;
    virtual std::optional<std::string> GetChannelContent(int64_t channelId) = 0;
    virtual void SetChannelContent(int64_t channelId, const std::string& json) = 0;

    // Groups, memberships and permission rows.
    virtual std::vector<DbServerGroup> GetAllServerGroups() = 0;
    virtual std::optional<DbServerGroup> GetServerGroupById(int64_t id) = 0;
    virtual int64_t SaveServerGroup(const DbServerGroup& group) = 0;
    virtual std::vector<DbChannelGroup> GetAllChannelGroups() = 0;
    virtual int64_t SaveChannelGroup(const DbChannelGroup& group) = 0;
    virtual void AssignUserToServerGroup(int64_t userId, int64_t groupId) = 0;
    virtual void RemoveUserFromServerGroup(int64_t userId, int64_t groupId) = 0;
    virtual std::vector<int64_t> GetUserServerGroups(int64_t userId) = 0;
    virtual std::vector<DbPermission> GetPermissionsForTarget(const std::string& targetType, int64_t targetId) = 0;
    virtual std::vector<DbPermission> GetAllPermissions() = 0;
    virtual int64_t SavePermission(const DbPermission& permission) = 0;
    virtual void DeletePermission(int64_t id) = 0;

    // Privilege keys.
    virtual bool ValidatePrivilegeKey(const std::string& token) = 0;
    virtual std::optional<DbPrivilegeKey> GetPrivilegeKey(const std::string& token) = 0;
    virtual int64_t CreatePrivilegeKey(const DbPrivilegeKey& key) = 0;
    virtual void MarkPrivilegeKeyUsed(const std::string& token) = 0;
    virtual std::vector<DbPrivilegeKey> GetKeysByType(const std::string& type, bool onlyUnused) = 0;
    virtual std::vector<DbPrivilegeKey> GetAllPrivilegeKeys() = 0;
    virtual void RevokePrivilegeKey(int64_t id) = 0;

    // Registered accounts and their direct messages.
    virtual std::optional<DbRegisteredUser> GetRegisteredUserByUsername(const std::string& username) = 0;
    virtual std::optional<DbRegisteredUser> GetRegisteredUserById(int64_t id) = 0;
    virtual std::optional<DbRegisteredUser> GetRegisteredUserByToken(const std::string& token) = 0;
    virtual int64_t RegisterUser(const DbRegisteredUser& user) = 0;
    virtual bool UpdateRegisteredUserToken(int64_t id, const std::string& token) = 0;
    virtual bool UpdateRegisteredUserRole(int64_t id, int role) = 0;
    virtual int64_t SavePrivateMessage(const DbPrivateMessage& message) = 0;
    virtual std::vector<DbPrivateMessage> GetPrivateMessages(int64_t userA, int64_t userB, int limit) = 0;
    virtual void MarkMessagesRead(int64_t receiverId, int64_t senderId) = 0;

    // Bot tokens.
    virtual std::optional<DbBotToken> GetBotToken(const std::string& token) = 0;
    virtual int64_t SaveBotToken(const DbBotToken& token) = 0;
    virtual void UpdateBotTokenLastUsed(int64_t id) = 0;
    virtual std::vector<DbBotToken> GetAllBotTokens() = 0;
    virtual void DeleteBotToken(int64_t id) = 0;

    virtual void ReorderChannels(const std::vector<int64_t>& ids) = 0;

    // Address bans.
    virtual void SaveBan(const DbBan& ban) = 0;
    virtual bool IsIpBanned(const std::string& ip) = 0;
    virtual std::vector<DbBan> GetAllBans() = 0;
    virtual void RemoveBan(int64_t id) = 0;

    // Process-wide key/value settings.
    virtual std::string GetSetting(const std::string& key, const std::string& defaultValue) = 0;
    virtual void SetSetting(const std::string& key, const std::string& value) = 0;

    // Marks the key used only if it is still unused, in one statement; true
    // when this call did so. Of several callers presenting one key at the same
    // moment exactly one gets true. Added last to keep the order above.
    virtual bool ClaimPrivilegeKey(const std::string& token) = 0;

protected:
    IDatabase() = default;
    IDatabase(const IDatabase&) = delete;
    IDatabase& operator=(const IDatabase&) = delete;
};

}  // namespace Korrafin::DB
