// Resolves named permissions of stored users from a database: a user's own
// entry wins, else the user's server group of highest priority that names
// the permission, else a built-in default by role. Writers store first and
// then update memory, so a failed store write leaves memory unchanged.
// Any thread may call any operation. One mutex guards all maps; Resolve and
// LoadFromDatabase hold it while they call the store (this mutex, then the
// database's), the writers never hold both. Store exceptions propagate.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/IDatabase.h"
#include "db/Records.h"
#include "permissions/PermNames.h"
#include "permissions/Roles.h"

namespace Korrafin {

struct PermResolution {
    bool granted = false;
    int32_t value = 0;
    int32_t priority = 0;
    std::string source;  // "user", "servergroup:<name>" or "default"
};

class GroupPermissionSystem {
public:
    struct PermEntry {
        std::string name;
        int32_t value = 0;  // 0 denies, anything else grants
        int32_t priority = 0;
    };
    using EntryMap = std::unordered_map<int64_t, std::vector<PermEntry>>;

    // Reads nothing yet; call LoadFromDatabase to fill memory.
    explicit GroupPermissionSystem(std::shared_ptr<DB::IDatabase> db);
    GroupPermissionSystem(const GroupPermissionSystem&) = delete;
    GroupPermissionSystem& operator=(const GroupPermissionSystem&) = delete;

    // Replaces all memory (the cached group lists included) from the store.
    void LoadFromDatabase();
    void Refresh();

    // May read and cache the user's group list from the store.
    PermResolution Resolve(int64_t userId, UserRole role, const char* name) const;
    // The owner holds every name without resolving; channelId is not used.
    bool HasPermission(int64_t userId, UserRole role, const char* name, uint16_t channelId) const;
    bool DefaultPermForRole(UserRole role, const char* name) const;

    // The first entry with this name, copied.
    std::optional<PermEntry> FindNamedPerm(const std::vector<PermEntry>& entries, const char* name) const;
    // The id's vector in `map`, null when absent. Call with the mutex held
    // when `map` is one of this object's maps.
    const std::vector<PermEntry>* FindPerms(const EntryMap& map, int64_t id) const;

    // Writers: names must not be null. Each stores first, then updates memory.
    // Stores a user row of priority 100 and keeps one entry of that name.
    void GrantUserPermission(int64_t userId, const char* name, int32_t value);
    void RevokeUserPermission(int64_t userId, const char* name);
    void SetGroupPermission(int64_t groupId, const char* name, int32_t value, int32_t priority);
    // For a user whose group list is not held yet, these start it from the
    // stored memberships (users above 0) rather than from the change alone.
    void AddUserToGroup(int64_t userId, int64_t groupId);
    void RemoveUserFromGroup(int64_t userId, int64_t groupId);

private:
    void loadLocked();
    // The user's stored group ids when no list is held yet (userId > 0 only).
    // Reads the store without holding the mutex.
    std::optional<std::vector<int64_t>> storedGroupsIfNotHeld(int64_t userId) const;
    // Requires the mutex: the user's held group list, started from `stored`
    // (or empty) when none is held yet.
    std::vector<int64_t>& heldGroupsLocked(int64_t userId, std::optional<std::vector<int64_t>> stored);
    // Stores the permission row, then keeps it as the one entry of its name
    // for `id` in `map`.
    void storeNamed(EntryMap& map, const char* targetType, int64_t id, const char* name, int32_t value,
                    int32_t priority);

    EntryMap userPerms_;
    EntryMap groupPerms_;
    EntryMap channelGroupPerms_;
    mutable std::unordered_map<int64_t, std::vector<int64_t>> userGroups_;  // filled on demand by Resolve
    std::unordered_map<int64_t, DB::DbServerGroup> groups_;
    std::shared_ptr<DB::IDatabase> db_;
    mutable std::mutex mutex_;
};

}  // namespace Korrafin
