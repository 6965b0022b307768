// Checks racing with override and channel changes, for ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "permissions/PermissionSystem.h"

using namespace Korrafin;

TEST(PermissionSystemThreadTest, ChecksRaceWithSetters) {
    PermissionSystem ps;
    std::atomic<bool> stop{false};

    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            const auto id = static_cast<uint32_t>(i % 16);
            ps.setUserPermOverride(id, Permission::KICK_USERS, Permission::SPEAK);
            ps.setChannelPermOverride(static_cast<uint16_t>(1 + i % 8), UserRole::Moderator);
            ps.clearUserPermOverride(id);
            ps.setChannelPermOverride(static_cast<uint16_t>(1 + i % 8), UserRole::Guest);
        }
        stop = true;
    });

    std::vector<std::thread> readers;
    std::atomic<long> ownerFailures{0}, guestKicks{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            while (!stop) {
                for (uint32_t id = 0; id < 16; ++id) {
                    const auto ch = static_cast<uint16_t>(id % 9);
                    if (!ps.check(id, UserRole::Owner, Permission::ADMIN_CONSOLE, ch)) ++ownerFailures;
                    // No override ever grants to client 100 + t.
                    if (ps.check(100 + t, UserRole::Guest, Permission::KICK_USERS, ch)) ++guestKicks;
                    (void)ps.check(id, UserRole::Member, Permission::KICK_USERS | Permission::SPEAK, ch);
                }
            }
        });
    }
    writer.join();
    for (auto& r : readers) r.join();
    EXPECT_EQ(ownerFailures.load(), 0);
    EXPECT_EQ(guestKicks.load(), 0);
}
