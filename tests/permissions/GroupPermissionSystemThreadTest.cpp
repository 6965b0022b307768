// Resolutions racing with writers and reloads, for ThreadSanitizer and for
// the lock order (resolver mutex, then the database's; writers never both).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "permissions/GroupPermissionSystem.h"
#include "support/Names.h"
#include "support/TestDatabase.h"

using namespace Korrafin;

TEST(GroupPermissionThreadTest, ResolveRacesWithWritersAndReloads) {
    Logger::instance().setLevel(LogLevel::Warn);
    Korrafin::Test::TestDatabase t;
    std::vector<int64_t> users;
    for (int i = 0; i < 4; ++i) users.push_back(t.addUser(Korrafin::Test::numbered("t", i)));
    const int64_t admin = t.groupId("Admin");
    const int64_t guest = t.groupId("Guest");

    GroupPermissionSystem gps(t.db);
    gps.LoadFromDatabase();
    gps.SetGroupPermission(admin, Perm::BAN_USERS, 1, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> ownerRefused{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 60; ++i) {
            const int64_t u = users[static_cast<size_t>(i) % users.size()];
            gps.GrantUserPermission(u, Perm::KICK_USERS, i % 2);
            gps.AddUserToGroup(u, i % 3 ? admin : guest);
            gps.RemoveUserFromGroup(u, guest);
            gps.RevokeUserPermission(u, Perm::KICK_USERS);
            gps.SetGroupPermission(guest, Perm::SPEAK, i % 2, i);
            if (i % 10 == 0) gps.Refresh();
        }
        stop = true;
    });
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                for (const int64_t u : users) {
                    (void)gps.Resolve(u, UserRole::Member, Perm::KICK_USERS);
                    (void)gps.Resolve(u, UserRole::Member, Perm::BAN_USERS);
                    if (!gps.HasPermission(u, UserRole::Owner, Perm::ADMIN_CONSOLE, 0)) ++ownerRefused;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(ownerRefused.load(), 0);

    // After the writers settle, memory agrees with a fresh load of the store.
    GroupPermissionSystem fresh(t.db);
    fresh.LoadFromDatabase();
    for (const int64_t u : users) {
        for (const char* name : {Perm::KICK_USERS, Perm::BAN_USERS, Perm::SPEAK}) {
            const PermResolution a = gps.Resolve(u, UserRole::Member, name);
            const PermResolution b = fresh.Resolve(u, UserRole::Member, name);
            EXPECT_EQ(a.granted, b.granted);
            EXPECT_EQ(a.source, b.source);
        }
    }
    Logger::instance().setLevel(LogLevel::Info);
}
