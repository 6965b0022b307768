#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "permissions/GroupPermissionSystem.h"
#include "support/Names.h"
#include "support/TestDatabase.h"

using namespace Korrafin;
using Korrafin::Test::numbered;
using Korrafin::Test::permissionRow;
using Korrafin::Test::TestDatabase;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

UserRole role(unsigned v) { return static_cast<UserRole>(static_cast<uint8_t>(v)); }

class GroupPermissionTest : public testing::Test {
protected:
    void SetUp() override { Logger::instance().setLevel(LogLevel::Warn); }
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }

    TestDatabase t;
};

}  // namespace

TEST(GroupPermissionNamesTest, DefaultsByRoleForEveryName) {
    enum Tier { Everyone, ModeratorUp, AdminUp, OwnerOnly };
    struct Name {
        const char* constant;
        const char* text;
        Tier tier;
    };
    const Name names[] = {
        {Perm::JOIN_CHANNEL, "JOIN_CHANNEL", Everyone},
        {Perm::SPEAK, "SPEAK", Everyone},
        {Perm::TEXT_CHAT, "TEXT_CHAT", Everyone},
        {Perm::MOVE_USERS, "MOVE_USERS", ModeratorUp},
        {Perm::KICK_USERS, "KICK_USERS", ModeratorUp},
        {Perm::SERVER_MUTE, "SERVER_MUTE", ModeratorUp},
        {Perm::EDIT_CHANNELS, "EDIT_CHANNELS", ModeratorUp},
        {Perm::BAN_USERS, "BAN_USERS", AdminUp},
        {Perm::CREATE_CHANNELS, "CREATE_CHANNELS", AdminUp},
        {Perm::DELETE_CHANNELS, "DELETE_CHANNELS", AdminUp},
        {Perm::MANAGE_ROLES, "MANAGE_ROLES", AdminUp},
        {Perm::MANAGE_BANS, "MANAGE_BANS", AdminUp},
        {Perm::ASSIGN_GROUPS, "ASSIGN_GROUPS", AdminUp},
        {Perm::ADMIN_CONSOLE, "ADMIN_CONSOLE", AdminUp},
        {Perm::USE_PRIV_KEY, "USE_PRIVILEGE_KEY", AdminUp},
        {"USE_PRIV_KEY", "USE_PRIV_KEY", OwnerOnly},  // the constant's name is not its text
        {"text_chat", "text_chat", OwnerOnly},        // names are case-sensitive
        {"", "", OwnerOnly},
    };
    const GroupPermissionSystem gps(nullptr);  // defaults never touch the store
    for (const auto& n : names) {
        EXPECT_STREQ(n.constant, n.text);
        // Roles compare as unsigned bytes: bytes above the owner rank above admin here.
        for (unsigned r : {0u, 1u, 2u, 3u, 4u, 5u, 255u}) {
            bool expected = false;
            switch (n.tier) {
                case Everyone: expected = true; break;
                case ModeratorUp: expected = r >= 2; break;
                case AdminUp: expected = r >= 3; break;
                case OwnerOnly: expected = r == 4; break;
            }
            EXPECT_EQ(gps.DefaultPermForRole(role(r), n.text), expected) << n.text << " role " << r;
        }
    }
}

TEST_F(GroupPermissionTest, NoEntriesFallBackToRoleDefaults) {
    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    const int64_t u = t.addUser("plain");

    const PermResolution chat = gps.Resolve(u, UserRole::Guest, Perm::TEXT_CHAT);
    EXPECT_TRUE(chat.granted);
    EXPECT_EQ(chat.value, 1);
    EXPECT_EQ(chat.priority, -1);
    EXPECT_EQ(chat.source, "default");

    const PermResolution kick = gps.Resolve(u, UserRole::Member, Perm::KICK_USERS);
    EXPECT_FALSE(kick.granted);
    EXPECT_EQ(kick.value, 0);
    EXPECT_EQ(kick.priority, -1);
    EXPECT_EQ(kick.source, "default");

    EXPECT_TRUE(gps.Resolve(u, UserRole::Admin, Perm::ADMIN_CONSOLE).granted);
    EXPECT_FALSE(gps.Resolve(u, UserRole::Admin, "NOT_A_PERMISSION").granted);
    EXPECT_TRUE(gps.HasPermission(u, UserRole::Owner, "NOT_A_PERMISSION", 0));
}

TEST_F(GroupPermissionTest, UserEntryBeatsEveryGroup) {
    const int64_t u = t.addUser("boss");
    const int64_t top = t.groupId("Server Admin");
    t.real->AssignUserToServerGroup(u, top);
    t.real->SavePermission(permissionRow("servergroup", top, Perm::KICK_USERS, 1, 1000));

    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    EXPECT_TRUE(gps.Resolve(u, UserRole::Admin, Perm::KICK_USERS).granted);

    gps.GrantUserPermission(u, Perm::KICK_USERS, 0);
    PermResolution r = gps.Resolve(u, UserRole::Admin, Perm::KICK_USERS);
    EXPECT_FALSE(r.granted);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.priority, 100);
    EXPECT_EQ(r.source, "user");
    EXPECT_FALSE(gps.HasPermission(u, UserRole::Admin, Perm::KICK_USERS, 0));

    // A second grant replaces the first in memory and in the store.
    gps.GrantUserPermission(u, Perm::KICK_USERS, 5);
    r = gps.Resolve(u, UserRole::Guest, Perm::KICK_USERS);
    EXPECT_TRUE(r.granted);
    EXPECT_EQ(r.value, 5);
    const auto rows = t.real->GetPermissionsForTarget("user", u);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].permission_name, "KICK_USERS");
    EXPECT_EQ(rows[0].value, 5);
    EXPECT_EQ(rows[0].priority, 100);

    // The stored rows load back the same way.
    GroupPermissionSystem fresh(t.db);
    fresh.LoadFromDatabase();
    EXPECT_EQ(fresh.Resolve(u, UserRole::Guest, Perm::KICK_USERS).value, 5);
}

TEST_F(GroupPermissionTest, GroupPriorityThenEntryPriorityThenListOrder) {
    struct Group {
        int32_t priority;
        bool hasEntry;  // an entry named BAN_USERS; otherwise one named SPEAK
        int32_t value;
        int32_t entryPriority;
    };
    struct Case {
        const char* what;
        std::vector<Group> groups;  // in the user's list order
        int winner;                 // index into groups, -1 for the role default
    };
    const Case cases[] = {
        {"higher group priority wins", {{50, true, 0, 99}, {90, true, 1, 0}}, 1},
        {"higher group priority wins listed first", {{90, true, 1, 0}, {50, true, 0, 99}}, 0},
        {"equal group priority: higher entry priority", {{50, true, 1, 5}, {50, true, 0, 10}}, 1},
        {"full tie: earlier group", {{50, true, 0, 3}, {50, true, 1, 3}}, 0},
        {"group without the name is skipped", {{100, false, 1, 0}, {10, true, 0, 0}}, 1},
        {"priority -1 decides with entry priority 0", {{-1, true, 0, 0}}, 0},
        {"priority -1 does not decide with a negative entry priority", {{-1, true, 0, -3}}, -1},
        {"priority below -1 never decides", {{-5, true, 0, 50}}, -1},
        {"priority 0 beats -1", {{-1, true, 1, 0}, {0, true, 0, 0}}, 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t u = t.addUser("u" + std::to_string(n));
        std::vector<int64_t> ids;
        for (const auto& g : c.groups) {
            const int64_t id = t.addGroup(numbered("g", n++), g.priority);
            ids.push_back(id);
            t.real->SavePermission(permissionRow("servergroup", id, g.hasEntry ? Perm::BAN_USERS : Perm::SPEAK, g.value,
                                           g.entryPriority));
            t.real->AssignUserToServerGroup(u, id);
        }
        GroupPermissionSystem gps(t.db);
        gps.LoadFromDatabase();
        // An admin's default grants BAN_USERS, so a group deny must be visible.
        const PermResolution r = gps.Resolve(u, UserRole::Admin, Perm::BAN_USERS);
        if (c.winner < 0) {
            EXPECT_EQ(r.source, "default");
            EXPECT_TRUE(r.granted);
            EXPECT_EQ(r.priority, -1);
            continue;
        }
        const Group& w = c.groups[static_cast<size_t>(c.winner)];
        EXPECT_EQ(r.granted, w.value != 0);
        EXPECT_EQ(r.value, w.value);
        EXPECT_EQ(r.priority, w.priority) << "a group result carries the group's priority";
        EXPECT_EQ(r.source, "servergroup:" + t.real->GetServerGroupById(ids[static_cast<size_t>(c.winner)])->name);
    }
}

TEST_F(GroupPermissionTest, TargetTypesStayApart) {
    const int64_t u = t.addUser("apart");
    const int64_t g = t.groupId("Moderator");
    t.real->AssignUserToServerGroup(u, g);
    // Rows of other target types that share the ids must not leak into the user's answer.
    t.real->SavePermission(permissionRow("channelgroup", g, Perm::MANAGE_ROLES, 1, 0));
    t.real->SavePermission(permissionRow("user", g, Perm::MANAGE_ROLES, 1, 0));
    t.real->SavePermission(permissionRow("servergroup", u, Perm::MANAGE_ROLES, 1, 0));
    t.real->SavePermission(permissionRow("channelgroup", u, Perm::MANAGE_ROLES, 1, 0));
    t.real->SavePermission(permissionRow("servergroup", g, Perm::SPEAK, 0, 0));
    t.real->SavePermission(permissionRow("user", u, Perm::TEXT_CHAT, 0, 0));

    GroupPermissionSystem gps(t.db);
    CaptureStdout();
    Logger::instance().setLevel(LogLevel::Info);
    gps.LoadFromDatabase();
    Logger::instance().setLevel(LogLevel::Warn);
    EXPECT_THAT(GetCapturedStdout(),
                testing::HasSubstr("GroupPermissionSystem: loaded 2 group perm sets, 2 user overrides\033[0m\n"));

    ASSERT_NE(u, g);
    EXPECT_EQ(gps.Resolve(u, UserRole::Member, Perm::MANAGE_ROLES).source, "default");
    const PermResolution speak = gps.Resolve(u, UserRole::Member, Perm::SPEAK);
    EXPECT_FALSE(speak.granted);
    EXPECT_EQ(speak.source, "servergroup:Moderator");
    EXPECT_EQ(speak.priority, 50);
    EXPECT_EQ(gps.Resolve(u, UserRole::Member, Perm::TEXT_CHAT).source, "user");
}

TEST_F(GroupPermissionTest, WithoutLoadGroupsCountAsPriorityZeroAndNameless) {
    const int64_t u = t.addUser("early");
    const int64_t low = t.groupId("Guest");
    const int64_t high = t.groupId("Server Admin");
    GroupPermissionSystem gps(t.db);
    gps.SetGroupPermission(low, Perm::BAN_USERS, 0, 0);
    gps.SetGroupPermission(high, Perm::BAN_USERS, 1, 0);
    gps.AddUserToGroup(u, low);
    gps.AddUserToGroup(u, high);
    // Both groups count as priority 0 and equal entries: the earlier one decides, and no
    // group name is known for the source.
    const PermResolution r = gps.Resolve(u, UserRole::Admin, Perm::BAN_USERS);
    EXPECT_FALSE(r.granted);
    EXPECT_EQ(r.priority, 0);
    EXPECT_EQ(r.source, "");

    gps.Refresh();
    const PermResolution loaded = gps.Resolve(u, UserRole::Admin, Perm::BAN_USERS);
    EXPECT_TRUE(loaded.granted);
    EXPECT_EQ(loaded.priority, 100);
    EXPECT_EQ(loaded.source, "servergroup:Server Admin");
}

TEST_F(GroupPermissionTest, UserZeroAndOwnerReadNothing) {
    const int64_t g = t.groupId("Admin");
    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    gps.GrantUserPermission(0, Perm::TEXT_CHAT, 0);  // a row for id 0 must never apply
    gps.SetGroupPermission(g, Perm::TEXT_CHAT, 0, 0);
    t.db->resetCounts();

    const PermResolution r = gps.Resolve(0, UserRole::Guest, Perm::TEXT_CHAT);
    EXPECT_TRUE(r.granted);
    EXPECT_EQ(r.source, "default");
    EXPECT_EQ(t.db->calls("GetUserServerGroups"), 0);

    EXPECT_TRUE(gps.HasPermission(42, UserRole::Owner, "ANYTHING_AT_ALL", 7));
    EXPECT_TRUE(gps.HasPermission(42, UserRole::Owner, Perm::TEXT_CHAT, 0));
    EXPECT_EQ(t.db->totalCalls(), 0);
}

TEST_F(GroupPermissionTest, GroupListIsReadOnceAndForgottenByRefresh) {
    const int64_t u = t.addUser("cached");
    const int64_t mod = t.groupId("Moderator");
    const int64_t admin = t.groupId("Admin");
    t.real->AssignUserToServerGroup(u, mod);
    t.real->SavePermission(permissionRow("servergroup", mod, Perm::KICK_USERS, 0, 0));
    t.real->SavePermission(permissionRow("servergroup", admin, Perm::KICK_USERS, 1, 0));
    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    t.db->resetCounts();

    EXPECT_FALSE(gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS).granted);
    EXPECT_TRUE(gps.Resolve(u, UserRole::Moderator, Perm::SPEAK).granted);
    EXPECT_EQ(t.db->calls("GetUserServerGroups"), 1);

    // A membership written behind the resolver's back shows after a refresh.
    t.real->AssignUserToServerGroup(u, admin);
    EXPECT_FALSE(gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS).granted);
    gps.Refresh();
    const PermResolution r = gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS);
    EXPECT_TRUE(r.granted);
    EXPECT_EQ(r.source, "servergroup:Admin");
    EXPECT_EQ(t.db->calls("GetUserServerGroups"), 2);
}

TEST_F(GroupPermissionTest, MembershipChangesKeepTheStoredGroups) {
    const int64_t u = t.addUser("member");
    const int64_t admin = t.groupId("Admin");
    const int64_t member = t.groupId("Member");
    const int64_t guest = t.groupId("Guest");
    t.real->AssignUserToServerGroup(u, admin);
    t.real->SavePermission(permissionRow("servergroup", admin, Perm::KICK_USERS, 0, 0));
    t.real->SavePermission(permissionRow("servergroup", member, Perm::KICK_USERS, 1, 0));

    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    // No list is held yet: the change must not hide the stored Admin membership.
    gps.AddUserToGroup(u, member);
    PermResolution r = gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS);
    EXPECT_FALSE(r.granted);
    EXPECT_EQ(r.source, "servergroup:Admin");

    // Adding twice keeps one membership; removing takes it away in memory and store.
    gps.AddUserToGroup(u, member);
    gps.RemoveUserFromGroup(u, admin);
    r = gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS);
    EXPECT_TRUE(r.granted);
    EXPECT_EQ(r.source, "servergroup:Member");
    EXPECT_THAT(t.real->GetUserServerGroups(u), testing::ElementsAre(member));

    // Removal on a user without a held list keeps the other stored groups too.
    const int64_t v = t.addUser("other");
    t.real->AssignUserToServerGroup(v, admin);
    t.real->AssignUserToServerGroup(v, guest);
    GroupPermissionSystem second(t.db);
    second.LoadFromDatabase();
    second.RemoveUserFromGroup(v, guest);
    EXPECT_EQ(second.Resolve(v, UserRole::Moderator, Perm::KICK_USERS).source, "servergroup:Admin");
}

TEST_F(GroupPermissionTest, RevokeRemovesOnlyThatName) {
    const int64_t u = t.addUser("revoked");
    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    gps.GrantUserPermission(u, Perm::BAN_USERS, 0);
    gps.GrantUserPermission(u, Perm::SPEAK, 0);
    gps.RevokeUserPermission(u, Perm::BAN_USERS);
    gps.RevokeUserPermission(u, Perm::MANAGE_BANS);  // nothing of that name: no error

    EXPECT_EQ(gps.Resolve(u, UserRole::Admin, Perm::BAN_USERS).source, "default");
    EXPECT_TRUE(gps.Resolve(u, UserRole::Admin, Perm::BAN_USERS).granted);
    EXPECT_EQ(gps.Resolve(u, UserRole::Admin, Perm::SPEAK).source, "user");
    const auto rows = t.real->GetPermissionsForTarget("user", u);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].permission_name, "SPEAK");
}

TEST_F(GroupPermissionTest, FailedStoreCallsLeaveMemoryUnchanged) {
    const int64_t u = t.addUser("fragile");
    const int64_t admin = t.groupId("Admin");
    t.real->SavePermission(permissionRow("servergroup", admin, Perm::KICK_USERS, 0, 0));
    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();

    std::string failing;
    t.db->before = [&](std::string_view op) {
        if (op == failing) throw std::runtime_error("disk full");
    };

    failing = "SavePermission";
    EXPECT_THROW(gps.GrantUserPermission(u, Perm::KICK_USERS, 1), std::runtime_error);
    EXPECT_THROW(gps.SetGroupPermission(admin, Perm::KICK_USERS, 1, 0), std::runtime_error);
    failing = "GetUserServerGroups";
    EXPECT_THROW(gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS), std::runtime_error);
    failing = "AssignUserToServerGroup";
    EXPECT_THROW(gps.AddUserToGroup(u, admin), std::runtime_error);

    failing.clear();
    // Nothing was cached by the failed read, so this one reads the store again.
    const PermResolution r = gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS);
    EXPECT_TRUE(r.granted);
    EXPECT_EQ(r.source, "default");
    gps.AddUserToGroup(u, admin);
    EXPECT_FALSE(gps.Resolve(u, UserRole::Moderator, Perm::KICK_USERS).granted) << "group entry changed in memory";
}

TEST(GroupPermissionFindTest, FirstEntryOfANameCounts) {
    const GroupPermissionSystem gps(nullptr);
    const std::vector<GroupPermissionSystem::PermEntry> entries = {
        {"SPEAK", 0, 1}, {"KICK_USERS", 7, 2}, {"KICK_USERS", 9, 3}};
    const auto found = gps.FindNamedPerm(entries, Perm::KICK_USERS);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->value, 7);
    EXPECT_EQ(found->priority, 2);
    EXPECT_FALSE(gps.FindNamedPerm(entries, "kick_users").has_value());
    EXPECT_FALSE(gps.FindNamedPerm({}, Perm::SPEAK).has_value());

    GroupPermissionSystem::EntryMap map;
    map[3] = entries;
    EXPECT_EQ(gps.FindPerms(map, 3), &map[3]);
    EXPECT_EQ(gps.FindPerms(map, 4), nullptr);
}
