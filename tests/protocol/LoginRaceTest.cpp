// Many connections at once over real sockets: logins racing for one
// nickname, and chat from several senders into one channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

class LoginRaceTest : public ::testing::Test {
protected:
    std::shared_ptr<VirtualServer> makeVs() { return makeVServer(vsConfig(3, "Korrafin Server", 64), tdb.db); }

    TestDatabase tdb;
};

TEST_F(LoginRaceTest, OfManyLoginsWithOneNicknameExactlyOneIsAccepted) {
    // The identity lookup between the nickname test and the login's success
    // takes a moment, as a busy store would.
    tdb.db->after = [](std::string_view op) {
        if (op == "GetUserByUniqueId") std::this_thread::sleep_for(5ms);
    };
    constexpr int kClients = 8;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        auto vs = makeVs();
        std::vector<Harness> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(connectTo(vs, 10 + i, "127.0.0.1", SessionHarness::Transport::Unix));
            sayHello(*clients.back());
        }
        std::atomic<int> ready{0};
        std::vector<uint16_t> results(kClients, 0xFFFF);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i) {
            threads.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() < kClients) std::this_thread::yield();
                clients[i]->client.send(authRequest("same", "", "identity-" + std::to_string(i)));
                for (;;) {
                    auto p = clients[i]->client.next();
                    if (!p) return;
                    if (p->type == MessageType::AuthResponse) {
                        results[i] = authResultOf(*p).result;
                        return;
                    }
                }
            });
        }
        for (auto& t : threads) t.join();

        int accepted = 0;
        for (int i = 0; i < kClients; ++i) {
            if (results[i] == 0) {
                ++accepted;
                EXPECT_EQ(clients[i]->session->state(), SessionState::Authenticated);
            } else {
                EXPECT_EQ(results[i], 9) << "client " << i;
                EXPECT_EQ(clients[i]->session->state(), SessionState::AwaitingAuth);
                EXPECT_EQ(clients[i]->session->nickname(), "");
            }
        }
        EXPECT_EQ(accepted, 1);
        int bearers = 0;
        for (const auto& s : vs->allSessions()) bearers += s->nickname() == "same" ? 1 : 0;
        EXPECT_EQ(bearers, 1);
    }
}

TEST_F(LoginRaceTest, ConcurrentChatGivesUniqueIdsInEachSendersOrder) {
    constexpr int kClients = 6;
    constexpr int kMessages = 25;
    constexpr int kTotal = kClients * kMessages;
    auto vs = makeVs();
    std::vector<Harness> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(connectTo(vs, 20 + i, "127.0.0.1", SessionHarness::Transport::Unix));
        logIn(*clients.back(), "chatter" + std::to_string(i));
    }
    for (auto& c : clients) receivedSoFar(*c);

    std::atomic<int> ready{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kClients; ++i) {
        senders.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kClients) std::this_thread::yield();
            for (int m = 0; m < kMessages; ++m)
                clients[i]->client.send(chatRequest(std::to_string(i) + ":" + std::to_string(m)));
        });
    }
    for (auto& t : senders) t.join();

    // Each receiver, on a thread of its own, reads every message.
    std::vector<std::vector<Packet>> received(kClients);
    std::vector<std::thread> readers;
    for (int i = 0; i < kClients; ++i) {
        readers.emplace_back([&, i] {
            int chats = 0;
            while (chats < kTotal) {
                auto p = clients[i]->client.next();
                if (!p) return;
                if (p->type == MessageType::ChatMessage) ++chats;
                received[i].push_back(std::move(*p));
            }
        });
    }
    for (auto& t : readers) t.join();

    for (int r = 0; r < kClients; ++r) {
        SCOPED_TRACE(r);
        std::set<uint64_t> ids;
        std::map<uint32_t, std::pair<int, uint64_t>> lastBySender;  // next message number, last id
        for (const auto& p : received[r]) {
            if (p.type != MessageType::ChatMessage) continue;
            auto rd = p.reader();
            const uint32_t sender = rd.readLE<uint32_t>();
            EXPECT_EQ(rd.readLE<uint16_t>(), 1);
            rd.readStr();
            const std::string text = rd.readStr();
            const uint64_t id = rd.readLE<uint64_t>();
            EXPECT_TRUE(ids.insert(id).second) << "id " << id << " twice";
            auto& [next, lastId] = lastBySender[sender];
            EXPECT_EQ(text, std::to_string(sender - 20) + ":" + std::to_string(next)) << "a sender's messages in order";
            EXPECT_GT(id, lastId) << "a sender's ids increase";
            ++next;
            lastId = id;
        }
        ASSERT_EQ(ids.size(), static_cast<std::size_t>(kTotal));
        EXPECT_EQ(*ids.begin(), 1u);
        EXPECT_EQ(*ids.rbegin(), static_cast<uint64_t>(kTotal));
    }
    EXPECT_EQ(vs->lastMessageId.load(), static_cast<uint64_t>(kTotal));
    EXPECT_EQ(tdb.real->GetChannelById(1)->message_count, kTotal) << "every message counted once";
}

}  // namespace
}  // namespace Korrafin::Test
