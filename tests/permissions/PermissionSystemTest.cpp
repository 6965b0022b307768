#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "permissions/PermissionSystem.h"

using namespace Korrafin;

namespace {

UserRole role(unsigned v) { return static_cast<UserRole>(static_cast<uint8_t>(v)); }
Permission perm(uint32_t v) { return static_cast<Permission>(v); }

uint32_t maskOf(std::initializer_list<Permission> perms) {
    uint32_t m = 0;
    for (Permission p : perms) m |= bits(p);
    return m;
}

// What each role may do, written as names rather than numbers.
uint32_t expectedMask(unsigned r) {
    const uint32_t everyone = maskOf({Permission::JOIN_CHANNEL, Permission::SPEAK, Permission::TEXT_CHAT});
    switch (r) {
        case 2:
            return everyone | maskOf({Permission::MOVE_USERS, Permission::KICK_USERS, Permission::EDIT_CHANNELS,
                                      Permission::SERVER_MUTE});
        case 3:
            return everyone | maskOf({Permission::MOVE_USERS, Permission::KICK_USERS, Permission::BAN_USERS,
                                      Permission::CREATE_CHANNELS, Permission::DELETE_CHANNELS,
                                      Permission::EDIT_CHANNELS, Permission::SERVER_MUTE, Permission::MANAGE_ROLES});
        case 4: return 0xFFFFFFFFu;
        default: return everyone;  // guest, member and every byte above the owner
    }
}

}  // namespace

TEST(PermissionSystemTest, EveryRoleByteAgainstEveryBit) {
    const PermissionSystem ps;
    for (unsigned r = 0; r <= 255; ++r) {
        EXPECT_EQ(bits(PermissionSystem::defaultPermsForRole(role(r))), expectedMask(r)) << "role " << r;
        for (unsigned b = 0; b < 32; ++b) {
            const uint32_t bit = 1u << b;
            EXPECT_EQ(ps.check(7, role(r), perm(bit), 0), (expectedMask(r) & bit) != 0)
                << "role " << r << " bit 0x" << std::hex << bit;
        }
    }
}

TEST(PermissionSystemTest, NamedCasesAndCombinedRequests) {
    struct Case {
        unsigned role;
        uint32_t perms;
        bool pass;
    };
    const Case cases[] = {
        {0, bits(Permission::TEXT_CHAT), true},
        {1, bits(Permission::KICK_USERS), false},
        {2, bits(Permission::KICK_USERS), true},
        {2, bits(Permission::BAN_USERS), false},
        {3, bits(Permission::ADMIN_CONSOLE), false},
        {3, bits(Permission::MANAGE_ROLES), true},
        {5, bits(Permission::MOVE_USERS), false},
        {255, bits(Permission::KICK_USERS), false},
        // Nothing asked: nothing held in common, so only the owner passes.
        {0, 0, false},
        {3, 0, false},
        {4, 0, true},
        {5, 0, false},
        // Several bits pass when any one of them is held.
        {1, maskOf({Permission::BAN_USERS, Permission::SPEAK}), true},
        {2, maskOf({Permission::BAN_USERS, Permission::MANAGE_ROLES}), false},
        {0, 0xFFFFFFF8u, false},
        {3, 0xFFFFF800u, false},
        {4, 0x80000000u, true},
    };
    const PermissionSystem ps;
    for (const auto& c : cases)
        EXPECT_EQ(ps.check(1, role(c.role), perm(c.perms), 0), c.pass) << "role " << c.role << " perms " << c.perms;
}

TEST(PermissionSystemTest, ChannelMinimumRole) {
    PermissionSystem ps;
    EXPECT_EQ(ps.channelMinRole(9), UserRole::Guest);

    ps.setChannelPermOverride(9, UserRole::Moderator);
    ps.setChannelPermOverride(0, UserRole::Admin);  // channel 0 means "no channel": never consulted
    ps.setChannelPermOverride(20, role(200));
    EXPECT_EQ(ps.channelMinRole(9), UserRole::Moderator);

    struct Case {
        unsigned role;
        uint16_t channel;
        bool pass;
    };
    const Case cases[] = {
        {0, 0, true},  {1, 0, true},  {1, 8, true},  // no minimum on channel 8
        {0, 9, false}, {1, 9, false}, {2, 9, true}, {3, 9, true}, {4, 9, true},
        {5, 9, true},  // an unknown byte ranks above moderator here, then holds the guest mask
        {3, 20, false}, {199, 20, false}, {200, 20, true}, {255, 20, true},
        {4, 20, true},  // the owner ignores any minimum
    };
    for (const auto& c : cases)
        EXPECT_EQ(ps.check(1, role(c.role), Permission::JOIN_CHANNEL, c.channel), c.pass)
            << "role " << c.role << " channel " << c.channel;

    // The minimum refuses even a bit the role holds, and admits without widening the mask.
    EXPECT_FALSE(ps.check(1, UserRole::Member, Permission::TEXT_CHAT, 9));
    EXPECT_FALSE(ps.check(1, UserRole::Moderator, Permission::BAN_USERS, 9));

    ps.setChannelPermOverride(9, UserRole::Guest);
    EXPECT_TRUE(ps.check(1, UserRole::Member, Permission::TEXT_CHAT, 9));
}

TEST(PermissionSystemTest, OverridesApplyGrantThenDenyPerClient) {
    PermissionSystem ps;
    ps.setUserPermOverride(10, Permission::KICK_USERS, perm(0));
    EXPECT_TRUE(ps.check(10, UserRole::Member, Permission::KICK_USERS, 0));
    EXPECT_FALSE(ps.check(11, UserRole::Member, Permission::KICK_USERS, 0)) << "override leaked to another client";

    ps.setUserPermOverride(12, perm(0), Permission::TEXT_CHAT);
    EXPECT_FALSE(ps.check(12, UserRole::Admin, Permission::TEXT_CHAT, 0));
    EXPECT_TRUE(ps.check(12, UserRole::Admin, Permission::TEXT_CHAT | Permission::KICK_USERS, 0));

    // Deny wins over grant for the same bit.
    ps.setUserPermOverride(13, Permission::BAN_USERS, Permission::BAN_USERS);
    EXPECT_FALSE(ps.check(13, UserRole::Member, Permission::BAN_USERS, 0));

    // Setting again replaces both masks.
    ps.setUserPermOverride(10, perm(0), Permission::SPEAK);
    EXPECT_FALSE(ps.check(10, UserRole::Member, Permission::KICK_USERS, 0));
    EXPECT_FALSE(ps.check(10, UserRole::Member, Permission::SPEAK, 0));

    // The channel minimum is tested before the override can grant anything.
    ps.setChannelPermOverride(4, UserRole::Admin);
    ps.setUserPermOverride(14, Permission::JOIN_CHANNEL, perm(0));
    EXPECT_FALSE(ps.check(14, UserRole::Member, Permission::JOIN_CHANNEL, 4));

    // The owner ignores every deny.
    ps.setUserPermOverride(15, perm(0), perm(0xFFFFFFFFu));
    EXPECT_TRUE(ps.check(15, UserRole::Owner, Permission::ADMIN_CONSOLE, 4));
    EXPECT_FALSE(ps.check(15, UserRole::Admin, Permission::JOIN_CHANNEL, 0));

    ps.clearUserPermOverride(10);
    ps.clearUserPermOverride(99);  // absent: no error
    EXPECT_TRUE(ps.check(10, UserRole::Member, Permission::SPEAK, 0));
    EXPECT_FALSE(ps.check(10, UserRole::Member, Permission::KICK_USERS, 0));
}

TEST(RolesTest, RoleTexts) {
    const std::pair<unsigned, std::string> cases[] = {
        {0, "guest"}, {1, "member"}, {2, "moderator"}, {3, "admin"}, {4, "owner"}, {5, ""}, {255, ""}};
    for (const auto& [r, text] : cases) EXPECT_EQ(roleText(role(r)), text) << r;
}
