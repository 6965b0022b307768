// A DB::IDatabase that forwards every operation to another one, counts the
// calls by operation name and runs optional hooks around them. Tests use it to
// prove which store calls an operation makes, to make a store call fail
// (a `before` hook that throws) and to widen race windows (a hook that sleeps).
// Set the hooks before the object is shared; counting is thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "db/IDatabase.h"

namespace Korrafin::Test {

class ForwardingDatabase final : public DB::IDatabase {
public:
    using Hook = std::function<void(std::string_view op)>;

    explicit ForwardingDatabase(std::shared_ptr<DB::IDatabase> inner) : inner_(std::move(inner)) {}

    Hook before;  // may throw: the operation is then not forwarded
    Hook after;   // runs only when the forwarded operation returned

    int calls(std::string_view op) const {
        std::lock_guard lock(mutex_);
        const auto it = counts_.find(std::string(op));
        return it == counts_.end() ? 0 : it->second;
    }
    int totalCalls() const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& [op, c] : counts_) n += c;
        return n;
    }
    void resetCounts() {
        std::lock_guard lock(mutex_);
        counts_.clear();
    }

    using DbUser = DB::DbUser;
    using DbChannel = DB::DbChannel;
    using DbServerSettings = DB::DbServerSettings;
    using DbServerGroup = DB::DbServerGroup;
    using DbChannelGroup = DB::DbChannelGroup;
    using DbPermission = DB::DbPermission;
    using DbPrivilegeKey = DB::DbPrivilegeKey;
    using DbRegisteredUser = DB::DbRegisteredUser;
    using DbPrivateMessage = DB::DbPrivateMessage;
    using DbBotToken = DB::DbBotToken;
    using DbBan = DB::DbBan;

    void Initialize() override {
        return call("Initialize", [&] { return inner_->Initialize(); });
    }
    void CreateSchema() override {
        return call("CreateSchema", [&] { return inner_->CreateSchema(); });
    }
    void RunMigrations(int fromVersion) override {
        return call("RunMigrations", [&] { return inner_->RunMigrations(fromVersion); });
    }
    int GetSchemaVersion() override {
        return call("GetSchemaVersion", [&] { return inner_->GetSchemaVersion(); });
    }
    std::optional<DbUser> GetUserById(int64_t id) override {
        return call("GetUserById", [&] { return inner_->GetUserById(id); });
    }
    std::optional<DbUser> GetUserByUniqueId(const std::string& uniqueIdentifier) override {
        return call("GetUserByUniqueId", [&] { return inner_->GetUserByUniqueId(uniqueIdentifier); });
    }
    int64_t SaveUser(const DbUser& user) override {
        return call("SaveUser", [&] { return inner_->SaveUser(user); });
    }
    void UpdateUserNickname(int64_t id, const std::string& nickname) override {
        return call("UpdateUserNickname", [&] { return inner_->UpdateUserNickname(id, nickname); });
    }
    void UpdateUserRole(int64_t id, int role) override {
        return call("UpdateUserRole", [&] { return inner_->UpdateUserRole(id, role); });
    }
    DbServerSettings GetServerSettings() override {
        return call("GetServerSettings", [&] { return inner_->GetServerSettings(); });
    }
    void SaveServerSettings(const DbServerSettings& settings) override {
        return call("SaveServerSettings", [&] { return inner_->SaveServerSettings(settings); });
    }
    std::vector<DbChannel> GetAllChannels() override {
        return call("GetAllChannels", [&] { return inner_->GetAllChannels(); });
    }
    std::optional<DbChannel> GetChannelById(int64_t id) override {
        return call("GetChannelById", [&] { return inner_->GetChannelById(id); });
    }
    int64_t SaveChannel(const DbChannel& channel) override {
        return call("SaveChannel", [&] { return inner_->SaveChannel(channel); });
    }
    void UpdateChannel(const DbChannel& channel) override {
        return call("UpdateChannel", [&] { return inner_->UpdateChannel(channel); });
    }
    void DeleteChannel(int64_t id) override {
        return call("DeleteChannel", [&] { return inner_->DeleteChannel(id); });
    }
    int64_t IncrementChannelMessageCount(int64_t channelId) override {
        return call("IncrementChannelMessageCount", [&] { return inner_->IncrementChannelMessageCount(channelId); });
    }
    std::optional<std::string> GetChannelContent(int64_t channelId) override {
        return call("GetChannelContent", [&] { return inner_->GetChannelContent(channelId); });
    }
    void SetChannelContent(int64_t channelId, const std::string& json) override {
        return call("SetChannelContent", [&] { return inner_->SetChannelContent(channelId, json); });
    }
    std::vector<DbServerGroup> GetAllServerGroups() override {
        return call("GetAllServerGroups", [&] { return inner_->GetAllServerGroups(); });
    }
    std::optional<DbServerGroup> GetServerGroupById(int64_t id) override {
        return call("GetServerGroupById", [&] { return inner_->GetServerGroupById(id); });
    }
    int64_t SaveServerGroup(const DbServerGroup& group) override {
        return call("SaveServerGroup", [&] { return inner_->SaveServerGroup(group); });
    }
    std::vector<DbChannelGroup> GetAllChannelGroups() override {
        return call("GetAllChannelGroups", [&] { return inner_->GetAllChannelGroups(); });
    }
    int64_t SaveChannelGroup(const DbChannelGroup& group) override {
        return call("SaveChannelGroup", [&] { return inner_->SaveChannelGroup(group); });
    }
    void AssignUserToServerGroup(int64_t userId, int64_t groupId) override {
        return call("AssignUserToServerGroup", [&] { return inner_->AssignUserToServerGroup(userId, groupId); });
    }
    void RemoveUserFromServerGroup(int64_t userId, int64_t groupId) override {
        return call("RemoveUserFromServerGroup", [&] { return inner_->RemoveUserFromServerGroup(userId, groupId); });
    }
    std::vector<int64_t> GetUserServerGroups(int64_t userId) override {
        return call("GetUserServerGroups", [&] { return inner_->GetUserServerGroups(userId); });
    }
    std::vector<DbPermission> GetPermissionsForTarget(const std::string& targetType, int64_t targetId) override {
        return call("GetPermissionsForTarget", [&] { return inner_->GetPermissionsForTarget(targetType, targetId); });
    }
    std::vector<DbPermission> GetAllPermissions() override {
        return call("GetAllPermissions", [&] { return inner_->GetAllPermissions(); });
    }
    int64_t SavePermission(const DbPermission& permission) override {
        return call("SavePermission", [&] { return inner_->SavePermission(permission); });
    }
    void DeletePermission(int64_t id) override {
        return call("DeletePermission", [&] { return inner_->DeletePermission(id); });
    }
    bool ValidatePrivilegeKey(const std::string& token) override {
        return call("ValidatePrivilegeKey", [&] { return inner_->ValidatePrivilegeKey(token); });
    }
    std::optional<DbPrivilegeKey> GetPrivilegeKey(const std::string& token) override {
        return call("GetPrivilegeKey", [&] { return inner_->GetPrivilegeKey(token); });
    }
    int64_t CreatePrivilegeKey(const DbPrivilegeKey& key) override {
        return call("CreatePrivilegeKey", [&] { return inner_->CreatePrivilegeKey(key); });
    }
    void MarkPrivilegeKeyUsed(const std::string& token) override {
        return call("MarkPrivilegeKeyUsed", [&] { return inner_->MarkPrivilegeKeyUsed(token); });
    }
    std::vector<DbPrivilegeKey> GetKeysByType(const std::string& type, bool onlyUnused) override {
        return call("GetKeysByType", [&] { return inner_->GetKeysByType(type, onlyUnused); });
    }
    std::vector<DbPrivilegeKey> GetAllPrivilegeKeys() override {
        return call("GetAllPrivilegeKeys", [&] { return inner_->GetAllPrivilegeKeys(); });
    }
    void RevokePrivilegeKey(int64_t id) override {
        return call("RevokePrivilegeKey", [&] { return inner_->RevokePrivilegeKey(id); });
    }
    std::optional<DbRegisteredUser> GetRegisteredUserByUsername(const std::string& username) override {
        return call("GetRegisteredUserByUsername", [&] { return inner_->GetRegisteredUserByUsername(username); });
    }
    std::optional<DbRegisteredUser> GetRegisteredUserById(int64_t id) override {
        return call("GetRegisteredUserById", [&] { return inner_->GetRegisteredUserById(id); });
    }
    std::optional<DbRegisteredUser> GetRegisteredUserByToken(const std::string& token) override {
        return call("GetRegisteredUserByToken", [&] { return inner_->GetRegisteredUserByToken(token); });
    }
    int64_t RegisterUser(const DbRegisteredUser& user) override {
        return call("RegisterUser", [&] { return inner_->RegisterUser(user); });
    }
    bool UpdateRegisteredUserToken(int64_t id, const std::string& token) override {
        return call("UpdateRegisteredUserToken", [&] { return inner_->UpdateRegisteredUserToken(id, token); });
    }
    bool UpdateRegisteredUserRole(int64_t id, int role) override {
        return call("UpdateRegisteredUserRole", [&] { return inner_->UpdateRegisteredUserRole(id, role); });
    }
    int64_t SavePrivateMessage(const DbPrivateMessage& message) override {
        return call("SavePrivateMessage", [&] { return inner_->SavePrivateMessage(message); });
    }
    std::vector<DbPrivateMessage> GetPrivateMessages(int64_t userA, int64_t userB, int limit) override {
        return call("GetPrivateMessages", [&] { return inner_->GetPrivateMessages(userA, userB, limit); });
    }
    void MarkMessagesRead(int64_t receiverId, int64_t senderId) override {
        return call("MarkMessagesRead", [&] { return inner_->MarkMessagesRead(receiverId, senderId); });
    }
    std::optional<DbBotToken> GetBotToken(const std::string& token) override {
        return call("GetBotToken", [&] { return inner_->GetBotToken(token); });
    }
    int64_t SaveBotToken(const DbBotToken& token) override {
        return call("SaveBotToken", [&] { return inner_->SaveBotToken(token); });
    }
    void UpdateBotTokenLastUsed(int64_t id) override {
        return call("UpdateBotTokenLastUsed", [&] { return inner_->UpdateBotTokenLastUsed(id); });
    }
    std::vector<DbBotToken> GetAllBotTokens() override {
        return call("GetAllBotTokens", [&] { return inner_->GetAllBotTokens(); });
    }
    void DeleteBotToken(int64_t id) override {
        return call("DeleteBotToken", [&] { return inner_->DeleteBotToken(id); });
    }
    void ReorderChannels(const std::vector<int64_t>& ids) override {
        return call("ReorderChannels", [&] { return inner_->ReorderChannels(ids); });
    }
    void SaveBan(const DbBan& ban) override {
        return call("SaveBan", [&] { return inner_->SaveBan(ban); });
    }
    bool IsIpBanned(const std::string& ip) override {
        return call("IsIpBanned", [&] { return inner_->IsIpBanned(ip); });
    }
    std::vector<DbBan> GetAllBans() override {
        return call("GetAllBans", [&] { return inner_->GetAllBans(); });
    }
    void RemoveBan(int64_t id) override {
        return call("RemoveBan", [&] { return inner_->RemoveBan(id); });
    }
    std::string GetSetting(const std::string& key, const std::string& defaultValue) override {
        return call("GetSetting", [&] { return inner_->GetSetting(key, defaultValue); });
    }
    void SetSetting(const std::string& key, const std::string& value) override {
        return call("SetSetting", [&] { return inner_->SetSetting(key, value); });
    }
    bool ClaimPrivilegeKey(const std::string& token) override {
        return call("ClaimPrivilegeKey", [&] { return inner_->ClaimPrivilegeKey(token); });
    }

private:
    template <typename F>
    auto call(const char* op, F&& f) -> decltype(f()) {
        {
            std::lock_guard lock(mutex_);
            ++counts_[op];
        }
        if (before) before(op);
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            if (after) after(op);
        } else {
            auto result = f();
            if (after) after(op);
            return result;
        }
    }

    std::shared_ptr<DB::IDatabase> inner_;
    mutable std::mutex mutex_;
    std::map<std::string, int> counts_;
};

}  // namespace Korrafin::Test
