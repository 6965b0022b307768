// Announcements of changes reach every client in the order of the changes:
// while an admin creates channels and others join and leave, each client's
// last channel list is the one a fresh client gets, never an older one.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

// The payload of the last ChannelList among `packets`.
std::optional<std::vector<uint8_t>> lastList(const std::vector<Packet>& packets) {
    std::optional<std::vector<uint8_t>> last;
    for (const auto& p : packets)
        if (p.type == MessageType::ChannelList) last = p.payload;
    return last;
}

TEST(AnnouncementOrder, EveryClientsLastChannelListIsTheCurrentOne) {
    constexpr int kRounds = 4, kMovers = 6, kCreates = 12, kMoves = 24;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        VServerWorld world(7, /*withDatabase=*/false);
        std::vector<uint16_t> rooms;
        for (int r = 0; r < 3; ++r) rooms.push_back(world.addChannel("room " + std::to_string(r)));
        SessionHarness& admin = world.join(10, "admin", UserRole::Admin);
        std::vector<SessionHarness*> movers;
        for (int m = 0; m < kMovers; ++m)
            movers.push_back(&world.join(20 + m, "mover" + std::to_string(m), UserRole::Member));
        SessionHarness& watcher = world.join(90, "watcher", UserRole::Member);

        // Everybody's requests at once, each client read by its own thread.
        std::vector<std::vector<Packet>> got(kMovers + 1);
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            std::vector<uint8_t> burst;
            for (int i = 0; i < kCreates; ++i) {
                ChannelRequest c;
                c.name = "new " + std::to_string(round) + "/" + std::to_string(i);
                const auto r = channelCreateRequest(c);
                burst.insert(burst.end(), r.begin(), r.end());
            }
            got[kMovers] = requestAndWait(admin, burst);
        });
        for (int m = 0; m < kMovers; ++m) {
            threads.emplace_back([&, m] {
                std::vector<uint8_t> burst;
                for (int i = 0; i < kMoves; ++i) {
                    const auto r = i % 2 == 0 ? channelJoinRequest(rooms[(m + i) % rooms.size()])
                                              : packet(MessageType::ChannelLeave);
                    burst.insert(burst.end(), r.begin(), r.end());
                }
                got[m] = requestAndWait(*movers[m], burst);
            });
        }
        for (auto& t : threads) t.join();

        // Every change is made; whatever is still on its way comes before
        // the marker.
        for (int m = 0; m < kMovers; ++m) {
            auto rest = receivedSoFar(*movers[m]);
            got[m].insert(got[m].end(), rest.begin(), rest.end());
        }
        auto rest = receivedSoFar(admin);
        got[kMovers].insert(got[kMovers].end(), rest.begin(), rest.end());
        const auto watched = receivedSoFar(watcher);

        // What a client that logs in now is sent.
        auto fresh = connectTo(world.vs, 99);
        world.vs->sendChannelList(fresh->session);
        const auto freshList = fresh->client.next();
        ASSERT_TRUE(freshList);
        ASSERT_EQ(freshList->type, MessageType::ChannelList);
        ASSERT_EQ(channelsOf(*freshList).size(), 1u + rooms.size() + kCreates);

        for (int c = 0; c <= kMovers; ++c) {
            const auto last = lastList(got[c]);
            ASSERT_TRUE(last) << "client " << c;
            EXPECT_EQ(*last, freshList->payload) << "client " << c << " was left with an older list";
        }
        const auto last = lastList(watched);
        ASSERT_TRUE(last);
        EXPECT_EQ(*last, freshList->payload) << "the bystander was left with an older list";
    }
}

}  // namespace
}  // namespace Korrafin::Test
