#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "vserver/ChannelManager.h"

using Korrafin::ChannelInfo;
using Korrafin::ChannelManager;

namespace {

ChannelInfo named(uint16_t id, const char* name) {
    ChannelInfo c;
    c.id = id;
    c.name = name;
    return c;
}

}  // namespace

// Creators, movers and readers at once: every automatic id is handed out once,
// the lobby is never touched, and counts add up at the end.
TEST(ChannelManagerThreads, MixedUseKeepsTheTreeConsistent) {
    ChannelManager m;
    m.createChannel(named(1, "Lobby"));
    std::atomic<int> hookCalls{0};
    m.onCreated = [&](const ChannelInfo& c) {
        hookCalls.fetch_add(1);
        (void)m.userCount(c.id);  // calling back from a hook must not deadlock
    };

    constexpr int kCreators = 4;
    constexpr int kPerCreator = 500;
    constexpr int kMovers = 4;
    constexpr int kMoves = 2000;
    std::vector<std::vector<uint16_t>> created(kCreators);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    for (int t = 0; t < kCreators; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerCreator; ++i) {
                const uint16_t id = m.createChannel(named(0, "auto"));
                created[t].push_back(id);
                if (i % 10 == 9) m.deleteChannel(id);  // some ids go away again
                m.incrementMessageCount(id);
            }
        });
    }
    for (int t = 0; t < kMovers; ++t) {
        threads.emplace_back([&, t] {
            const uint32_t client = 1000 + t;
            uint16_t current = 0;
            for (int i = 0; i < kMoves; ++i) {
                const uint16_t target = (i % 3 == 0) ? 1 : static_cast<uint16_t>(2 + (i * 7 + t) % 50);
                if (current) m.removeUser(current, client);
                current = m.addUser(target, client) ? target : 0;
            }
            if (current) m.removeUser(current, client);
            m.addUser(1, client);
        });
    }
    threads.emplace_back([&] {
        while (!stop.load()) {
            for (const auto& c : m.all()) {
                (void)m.usersIn(c.id);
                (void)m.find(c.id);
            }
            (void)m.children(0);
            (void)m.toJson();
        }
    });
    for (std::size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
    stop.store(true);
    threads.back().join();

    std::set<uint16_t> seen;
    for (const auto& ids : created) {
        for (uint16_t id : ids) {
            EXPECT_GE(id, 2);
            EXPECT_TRUE(seen.insert(id).second) << "id handed out twice: " << id;
        }
    }
    EXPECT_EQ(seen.size(), std::size_t{kCreators * kPerCreator});
    EXPECT_EQ(hookCalls.load(), kCreators * kPerCreator);  // the lobby came before the hook

    const auto all = m.all();
    EXPECT_EQ(all.size(), 1u + kCreators * kPerCreator * 9 / 10);
    EXPECT_EQ(m.find(1)->name, "Lobby");
    EXPECT_EQ(m.userCount(1), static_cast<uint32_t>(kMovers));
    for (const auto& c : all) {
        if (c.id == 1) continue;
        EXPECT_EQ(c.messageCount, 1u) << c.id;
        EXPECT_EQ(c.userCount, 0u) << c.id;
    }
    for (int t = 0; t < kMovers; ++t) EXPECT_EQ(m.channelOf(1000 + t), 1);
}

// Many threads drain the last free ids: each id once, then clean failure.
TEST(ChannelManagerThreads, RacingForTheLastIds) {
    ChannelManager m;
    m.createChannel(named(1, "Lobby"));
    for (uint32_t id = 2; id <= 65535 - 100; ++id) m.createChannelWithId(named(static_cast<uint16_t>(id), "x"));

    constexpr int kThreads = 8;
    std::vector<std::vector<uint16_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) got[t].push_back(m.createChannel(named(0, "late")));
        });
    }
    for (auto& th : threads) th.join();

    std::set<uint16_t> handed;
    int failures = 0;
    for (const auto& list : got) {
        for (uint16_t id : list) {
            if (id == 0) {
                ++failures;
                continue;
            }
            EXPECT_GT(id, 65535 - 100);
            EXPECT_TRUE(handed.insert(id).second) << id;
        }
    }
    EXPECT_EQ(handed.size(), 100u);
    EXPECT_EQ(failures, kThreads * 30 - 100);
    EXPECT_EQ(m.find(1)->name, "Lobby");
    EXPECT_EQ(m.find(2)->name, "x");
}

// A hidden channel is nobody's until its list is built; once it is being
// announced, a find waits for the end of the announcement instead of
// missing it, and then sees the tree as it is: the channel, or nothing
// when it went meanwhile.
TEST(ChannelManagerThreads, AFindOfAChannelBeingAnnouncedWaitsForItsReveal) {
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "deleted while announced" : "revealed");
        ChannelManager m;
        m.createChannel(named(1, "Lobby"));
        const uint16_t id = m.createHiddenIfFree(named(0, "new"));
        ASSERT_NE(id, 0);
        EXPECT_FALSE(m.find(id)) << "no list holds it yet";

        const auto list = m.announce(id);
        EXPECT_EQ(list, m.listPacket());
        std::atomic<bool> done{false};
        std::optional<ChannelInfo> found;
        std::thread asker([&] {
            found = m.find(id);
            done = true;
        });
        while (m.waitingFinds() == 0) std::this_thread::yield();
        EXPECT_FALSE(done.load()) << "answered before the announcement ended";
        EXPECT_TRUE(m.find(1)) << "other channels are found meanwhile";
        if (deleted) {
            ASSERT_TRUE(m.deleteChannel(id));
        } else {
            m.reveal(id);
        }
        asker.join();
        EXPECT_EQ(found.has_value(), !deleted);
        EXPECT_EQ(m.waitingFinds(), 0u);
    }
}
