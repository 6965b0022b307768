#include "permissions/GroupPermissionSystem.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/Logger.h"

namespace Korrafin {

namespace {

bool sameName(const std::string& a, const char* b) { return b != nullptr && a == b; }

void eraseNamed(std::vector<GroupPermissionSystem::PermEntry>& v, const char* name) {
    std::erase_if(v, [name](const GroupPermissionSystem::PermEntry& e) { return sameName(e.name, name); });
}

}  // namespace

GroupPermissionSystem::GroupPermissionSystem(std::shared_ptr<DB::IDatabase> db) : db_(std::move(db)) {}

void GroupPermissionSystem::LoadFromDatabase() {
    std::lock_guard lock(mutex_);
    loadLocked();
}

void GroupPermissionSystem::Refresh() { LoadFromDatabase(); }

void GroupPermissionSystem::loadLocked() {
    userPerms_.clear();
    groupPerms_.clear();
    channelGroupPerms_.clear();
    userGroups_.clear();
    groups_.clear();

    for (auto& g : db_->GetAllServerGroups()) {
        const int64_t id = g.id;
        groups_.insert_or_assign(id, std::move(g));
    }
    for (auto& row : db_->GetAllPermissions()) {
        EntryMap* target = nullptr;
        if (row.target_type == "user") target = &userPerms_;
        else if (row.target_type == "servergroup") target = &groupPerms_;
        else if (row.target_type == "channelgroup") target = &channelGroupPerms_;
        if (!target) continue;
        (*target)[row.target_id].push_back(PermEntry{std::move(row.permission_name), row.value, row.priority});
    }
    Logger::instance().logf(LogLevel::Info, "GroupPermissionSystem: loaded {} group perm sets, {} user overrides",
                            groupPerms_.size(), userPerms_.size());
}

PermResolution GroupPermissionSystem::Resolve(int64_t userId, UserRole role, const char* name) const {
    std::lock_guard lock(mutex_);

    if (userId > 0) {
        if (const auto* entries = FindPerms(userPerms_, userId)) {
            if (auto e = FindNamedPerm(*entries, name)) return {e->value != 0, e->value, e->priority, "user"};
        }
        if (!userGroups_.contains(userId)) {
            // Read before inserting, so a store failure caches nothing.
            auto ids = db_->GetUserServerGroups(userId);
            userGroups_.emplace(userId, std::move(ids));
        }
    }

    if (const auto git = userGroups_.find(userId); git != userGroups_.end()) {
        int32_t bestGroupPriority = -1;
        std::optional<PermEntry> best;
        std::string source;
        for (const int64_t gid : git->second) {
            const auto rec = groups_.find(gid);
            const int32_t groupPriority = rec == groups_.end() ? 0 : rec->second.priority;
            const auto* entries = FindPerms(groupPerms_, gid);
            if (!entries) continue;
            auto candidate = FindNamedPerm(*entries, name);
            if (!candidate) continue;

            bool take = false;
            if (groupPriority > bestGroupPriority) {
                take = true;
            } else if (groupPriority == bestGroupPriority) {
                // Entry priority breaks a tie of group priority; a full tie keeps the earlier group.
                take = best ? candidate->priority > best->priority : candidate->priority >= 0;
            }
            if (!take) continue;
            best = std::move(candidate);
            bestGroupPriority = groupPriority;
            if (rec != groups_.end()) source = "servergroup:" + rec->second.name;
        }
        if (best) return {best->value != 0, best->value, bestGroupPriority, std::move(source)};
    }

    const bool granted = DefaultPermForRole(role, name);
    return {granted, granted ? 1 : 0, -1, "default"};
}

bool GroupPermissionSystem::HasPermission(int64_t userId, UserRole role, const char* name, uint16_t) const {
    if (role == UserRole::Owner) return true;
    return Resolve(userId, role, name).granted;
}

bool GroupPermissionSystem::DefaultPermForRole(UserRole role, const char* name) const {
    if (role == UserRole::Owner) return true;
    if (name == nullptr) return false;
    const std::string_view n(name);
    const auto r = static_cast<uint8_t>(role);

    for (const char* p : {Perm::JOIN_CHANNEL, Perm::SPEAK, Perm::TEXT_CHAT})
        if (n == p) return true;
    for (const char* p : {Perm::MOVE_USERS, Perm::KICK_USERS, Perm::SERVER_MUTE, Perm::EDIT_CHANNELS})
        if (n == p) return r > static_cast<uint8_t>(UserRole::Member);
    for (const char* p : {Perm::BAN_USERS, Perm::CREATE_CHANNELS, Perm::DELETE_CHANNELS, Perm::MANAGE_ROLES,
                          Perm::MANAGE_BANS, Perm::ASSIGN_GROUPS, Perm::ADMIN_CONSOLE, Perm::USE_PRIV_KEY})
        if (n == p) return r > static_cast<uint8_t>(UserRole::Moderator);
    return false;
}

std::optional<GroupPermissionSystem::PermEntry> GroupPermissionSystem::FindNamedPerm(
    const std::vector<PermEntry>& entries, const char* name) const {
    for (const auto& e : entries)
        if (sameName(e.name, name)) return e;
    return std::nullopt;
}

const std::vector<GroupPermissionSystem::PermEntry>* GroupPermissionSystem::FindPerms(const EntryMap& map,
                                                                                      int64_t id) const {
    const auto it = map.find(id);
    return it == map.end() ? nullptr : &it->second;
}

void GroupPermissionSystem::storeNamed(EntryMap& map, const char* targetType, int64_t id, const char* name,
                                       int32_t value, int32_t priority) {
    DB::DbPermission row;
    row.target_type = targetType;
    row.target_id = id;
    row.permission_name = name;
    row.value = value;
    row.priority = priority;
    db_->SavePermission(row);

    std::lock_guard lock(mutex_);
    auto& v = map[id];
    eraseNamed(v, name);
    v.push_back(PermEntry{name, value, priority});
}

void GroupPermissionSystem::GrantUserPermission(int64_t userId, const char* name, int32_t value) {
    storeNamed(userPerms_, "user", userId, name, value, 100);
}

void GroupPermissionSystem::RevokeUserPermission(int64_t userId, const char* name) {
    for (const auto& row : db_->GetPermissionsForTarget("user", userId))
        if (sameName(row.permission_name, name)) db_->DeletePermission(row.id);

    std::lock_guard lock(mutex_);
    eraseNamed(userPerms_[userId], name);
}

void GroupPermissionSystem::SetGroupPermission(int64_t groupId, const char* name, int32_t value, int32_t priority) {
    storeNamed(groupPerms_, "servergroup", groupId, name, value, priority);
}

std::optional<std::vector<int64_t>> GroupPermissionSystem::storedGroupsIfNotHeld(int64_t userId) const {
    if (userId <= 0) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        if (userGroups_.contains(userId)) return std::nullopt;
    }
    return db_->GetUserServerGroups(userId);
}

std::vector<int64_t>& GroupPermissionSystem::heldGroupsLocked(int64_t userId,
                                                              std::optional<std::vector<int64_t>> stored) {
    return userGroups_.try_emplace(userId, stored ? std::move(*stored) : std::vector<int64_t>{}).first->second;
}

void GroupPermissionSystem::AddUserToGroup(int64_t userId, int64_t groupId) {
    db_->AssignUserToServerGroup(userId, groupId);
    // A list built from this change alone would hide the user's other stored
    // groups from Resolve until the next load, so start from the stored list.
    auto stored = storedGroupsIfNotHeld(userId);

    std::lock_guard lock(mutex_);
    auto& list = heldGroupsLocked(userId, std::move(stored));
    if (std::find(list.begin(), list.end(), groupId) == list.end()) list.push_back(groupId);
}

void GroupPermissionSystem::RemoveUserFromGroup(int64_t userId, int64_t groupId) {
    db_->RemoveUserFromServerGroup(userId, groupId);
    auto stored = storedGroupsIfNotHeld(userId);

    std::lock_guard lock(mutex_);
    std::erase(heldGroupsLocked(userId, std::move(stored)), groupId);
}

}  // namespace Korrafin
