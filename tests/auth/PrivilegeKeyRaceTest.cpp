// Clients presenting one key at the same moment: exactly one redeems it.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "core/Logger.h"
#include "support/TestDatabase.h"

using namespace Korrafin;

TEST(PrivilegeKeyRaceTest, OneKeyHasExactlyOneWinner) {
    Logger::instance().setLevel(LogLevel::Fatal);
    Korrafin::Test::TestDatabase t;
    // Every store call returns a little late, which widens any gap between
    // checking a key and marking it used.
    t.db->after = [](std::string_view) { std::this_thread::sleep_for(std::chrono::microseconds(300)); };

    constexpr int kThreads = 4;
    constexpr int kKeys = 20;
    std::vector<int64_t> users;
    for (int i = 0; i < kThreads; ++i) users.push_back(t.addUser("racer" + std::to_string(i)));
    // One group per key, so every grant can be traced to its key.
    std::vector<std::string> tokens;
    std::vector<int64_t> groups;
    for (int k = 0; k < kKeys; ++k) {
        groups.push_back(t.addGroup("race" + std::to_string(k), 5));
        DB::DbPrivilegeKey key;
        key.token = "RACE-" + std::to_string(k);
        key.type = "servergroup";
        key.target_id = groups.back();
        t.real->CreatePrivilegeKey(key);
        tokens.push_back(key.token);
    }

    Auth::PrivilegeKeyManager manager(t.db);
    std::vector<std::atomic<int>> wins(kKeys);
    std::barrier sync(kThreads);
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < kKeys; ++k) {
                sync.arrive_and_wait();
                if (manager.RedeemToken(tokens[static_cast<size_t>(k)], users[static_cast<size_t>(i)],
                                        "racer" + std::to_string(i)))
                    ++wins[static_cast<size_t>(k)];
            }
        });
    }
    for (auto& th : threads) th.join();
    testing::internal::GetCapturedStdout();
    Logger::instance().setLevel(LogLevel::Info);

    for (int k = 0; k < kKeys; ++k) {
        const auto idx = static_cast<size_t>(k);
        EXPECT_EQ(wins[idx].load(), 1) << tokens[idx];
        EXPECT_TRUE(t.real->GetPrivilegeKey(tokens[idx])->used);
        int members = 0;
        for (const int64_t u : users)
            for (const int64_t g : t.real->GetUserServerGroups(u)) members += g == groups[idx] ? 1 : 0;
        EXPECT_EQ(members, 1) << "group of " << tokens[idx];
    }
}
