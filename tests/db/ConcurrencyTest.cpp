// One database object shared by many threads, two objects on one file, and
// waiting for another connection's lock instead of failing at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/SqliteDatabase.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"
#include "support/TestDatabase.h"

using namespace Korrafin;
using Korrafin::Test::RawSqlite;
using Korrafin::Test::TempDir;

namespace {

std::shared_ptr<DB::SqliteDatabase> openDb(const std::string& path) {
    auto db = std::make_shared<DB::SqliteDatabase>(path);
    Korrafin::Test::initQuietly(*db);
    return db;
}

// Runs `body(thread index)` on `n` threads; counts the exceptions that escape.
template <typename Body>
int runThreads(int n, Body body) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
            try {
                body(t);
            } catch (const std::exception& e) {
                ++failures;
                ADD_FAILURE() << "thread " << t << ": " << e.what();
            }
        });
    }
    for (auto& th : threads) th.join();
    return failures.load();
}

// Holds the write lock of `path` on a plain connection for `holdFor`, then
// commits. `locked` is set once the lock is held.
std::thread holdWriteLock(const std::string& path, const char* begin, std::chrono::milliseconds holdFor,
                          std::atomic<bool>& locked) {
    return std::thread([=, &locked] {
        RawSqlite raw(path);
        raw.exec(begin);
        raw.exec("CREATE TABLE IF NOT EXISTS Held (x INTEGER)");
        locked = true;
        std::this_thread::sleep_for(holdFor);
        raw.exec("COMMIT");
    });
}

}  // namespace

TEST(DbConcurrency, ManyThreadsShareOneObject) {
    TempDir tmp;
    auto db = openDb(tmp.file("shared.db"));
    constexpr int kThreads = 8, kRounds = 25;
    const int failures = runThreads(kThreads, [&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            const std::string tag = std::to_string(t) + "-" + std::to_string(i);
            DB::DbChannel c;
            c.name = "c" + tag;
            db->SaveChannel(c);
            db->IncrementChannelMessageCount(1);
            db->SetSetting("s" + std::to_string(t), tag);
            DB::DbPrivilegeKey k;
            k.token = "k" + tag;
            k.type = "serveradmin";
            db->CreatePrivilegeKey(k);
            if (!db->ValidatePrivilegeKey(k.token)) throw std::runtime_error("key not visible to its writer");
            if (db->GetSetting("s" + std::to_string(t), "") != tag) throw std::runtime_error("setting lost");
            if (db->GetAllChannels().empty()) throw std::runtime_error("channels vanished");
            db->GetAllServerGroups();
            db->GetServerSettings();
        }
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(db->GetAllChannels().size(), 1u + kThreads * kRounds);
    EXPECT_EQ(db->IncrementChannelMessageCount(1), kThreads * kRounds + 1);
    EXPECT_EQ(db->GetKeysByType("serveradmin", true).size(), static_cast<size_t>(kThreads * kRounds));
}

TEST(DbConcurrency, TwoObjectsOnOneFileWaitForEachOther) {
    TempDir tmp;
    const std::string path = tmp.file("two.db");
    auto first = openDb(path);
    auto second = openDb(path);
    constexpr int kThreads = 6, kRounds = 20;
    const int failures = runThreads(kThreads, [&](int t) {
        auto& db = (t % 2 == 0) ? *first : *second;
        for (int i = 0; i < kRounds; ++i) {
            DB::DbBan b;
            b.ip = "10.0." + std::to_string(t) + "." + std::to_string(i);
            db.SaveBan(b);
            db.IncrementChannelMessageCount(1);
            DB::DbServerSettings s;
            s.name = "by " + std::to_string(t);
            db.SaveServerSettings(s);
            db.IsIpBanned(b.ip);
        }
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(first->GetAllBans().size(), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(second->IncrementChannelMessageCount(1), kThreads * kRounds + 1);
    EXPECT_EQ(first->GetServerSettings().name.rfind("by ", 0), 0u);
}

TEST(DbConcurrency, WriteWaitsForAnotherConnectionsLock) {
    TempDir tmp;
    const std::string path = tmp.file("busy.db");
    auto db = openDb(path);
    std::atomic<bool> locked{false};
    std::thread holder = holdWriteLock(path, "BEGIN IMMEDIATE", std::chrono::milliseconds(300), locked);
    while (!locked) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(db->SetSetting("k", "v"));
    const auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_EQ(db->GetSetting("k", ""), "v");
}

TEST(DbConcurrency, OpeningWaitsForAnotherConnectionsLock) {
    TempDir tmp;
    const std::string path = tmp.file("opening.db");
    RawSqlite(path).exec("CREATE TABLE Earlier (x INTEGER)");  // a file in rollback-journal mode
    std::atomic<bool> locked{false};
    std::thread holder = holdWriteLock(path, "BEGIN EXCLUSIVE", std::chrono::milliseconds(300), locked);
    while (!locked) std::this_thread::yield();
    std::shared_ptr<DB::SqliteDatabase> db;
    EXPECT_NO_THROW(db = openDb(path));
    holder.join();
    ASSERT_TRUE(db);
    EXPECT_EQ(db->GetAllServerGroups().size(), 5u);
}

TEST(DbConcurrency, OneKeyIsClaimedOnceAcrossThreadsAndObjects) {
    TempDir tmp;
    const std::string path = tmp.file("claim.db");
    auto first = openDb(path);
    auto second = openDb(path);
    constexpr int kKeys = 20, kThreads = 8;
    for (int k = 0; k < kKeys; ++k) {
        DB::DbPrivilegeKey key;
        key.token = "key" + std::to_string(k);
        first->CreatePrivilegeKey(key);
    }
    std::atomic<int> claims[kKeys] = {};
    const int failures = runThreads(kThreads, [&](int t) {
        auto& db = (t % 2 == 0) ? *first : *second;
        for (int k = 0; k < kKeys; ++k)
            if (db.ClaimPrivilegeKey("key" + std::to_string(k))) ++claims[k];
    });
    EXPECT_EQ(failures, 0);
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(claims[k].load(), 1) << "key" << k;
}
