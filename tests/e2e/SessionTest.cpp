// Clients of the real binary: connecting on the main port and on a virtual
// server's own port, logging in, chatting, talking over the voice relay, and
// what a restart keeps.
#include "e2e/E2eFixture.h"
#include "support/TestClient.h"
#include "support/UdpPeer.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using SessionTest = E2eTest;

std::optional<ChatLine> nextChat(TestClient& c, const std::string& text) {
    auto p = c.waitFor(MessageType::ChatMessage, kPatience, [&](const Packet& p) { return chatOf(p).text == text; });
    if (!p) return std::nullopt;
    return chatOf(*p);
}

// The count the next ChannelMessageCount announces for `channel`.
std::optional<uint32_t> nextCount(TestClient& c, uint16_t channel) {
    auto p = c.waitFor(MessageType::ChannelMessageCount, kPatience,
                       [&](const Packet& p) { return messageCountOf(p).first == channel; });
    if (!p) return std::nullopt;
    return messageCountOf(*p).second;
}

TEST_F(SessionTest, ClientsOnTheMainPortAndOnAnOwnPortLogInAndChat) {
    // The main port feeds the first virtual server in registry order, which
    // is not necessarily id 1: two have ports of their own, so one of those
    // is another server than the main port's.
    const OwnPorts own = writeThreeVServers();
    auto server = startReady();

    auto alice = TestClient::dial(tcpPort);
    auto bob = TestClient::dial(tcpPort);
    ASSERT_TRUE(alice && bob);
    const auto mainAck = alice->hello();
    ASSERT_TRUE(mainAck);
    const uint16_t mainVs = mainAck->vsId;
    const auto bobAck = bob->hello();
    ASSERT_TRUE(bobAck);
    EXPECT_EQ(bobAck->vsId, mainVs) << "the main port feeds one virtual server";
    const uint16_t otherVs = otherOwnPortServer(mainVs);
    auto carol = TestClient::dial(own.of(otherVs));
    ASSERT_TRUE(carol);
    const auto carolAck = carol->hello();
    ASSERT_TRUE(carolAck);
    EXPECT_EQ(carolAck->vsId, otherVs);

    ASSERT_TRUE(alice->login("alice", "k1"));
    EXPECT_EQ(alice->role, 3);
    ASSERT_TRUE(bob->login("bob"));
    ASSERT_TRUE(carol->login("carol"));
    EXPECT_EQ(alice->channel, 1);
    std::vector<uint32_t> ids{alice->clientId, bob->clientId, carol->clientId};
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3}));

    alice->chat("Moin zusammen");
    for (TestClient* c : {alice.get(), bob.get()}) {
        const auto line = nextChat(*c, "Moin zusammen");
        ASSERT_TRUE(line);
        EXPECT_EQ(line->senderId, alice->clientId);
        EXPECT_EQ(line->channelId, 1);
        EXPECT_EQ(line->nickname, "alice");
        EXPECT_EQ(line->messageId, 1u);
        EXPECT_EQ(nextCount(*c, 1), 1u);
    }
    bob->chat("Hallo");
    const auto reply = nextChat(*alice, "Hallo");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->messageId, 2u);

    // The other virtual server hears none of it.
    EXPECT_FALSE(carol->waitFor(MessageType::ChatMessage, 300ms,
                               [](const Packet& p) { return chatOf(p).senderId != 0; }));
    stopCleanly(*server);
}

TEST_F(SessionTest, VoiceReachesTheOtherMembersOfTheNamedChannelUnchanged) {
    const uint16_t room = seedChannels({"Funk"}).at(0);
    writeConfig(nlohmann::json::parse(R"([{"id":1}])"));
    auto server = startReady();

    auto a = TestClient::dial(tcpPort);
    auto b = TestClient::dial(tcpPort);
    auto c = TestClient::dial(tcpPort);
    UdpPeer va, vb, vc;
    for (auto* p : {a.get(), b.get(), c.get()}) ASSERT_TRUE(p && p->hello());
    ASSERT_TRUE(a->login("a") && b->login("b") && c->login("c"));
    ASSERT_TRUE(a->join(room) && b->join(room));

    // Each says something first, so the relay learns where they listen.
    va.sendTo(udpPort, voiceDatagram(a->clientId, 1, room, 0, {0}));
    vb.sendTo(udpPort, voiceDatagram(b->clientId, 1, room, 0, {0}));
    vc.sendTo(udpPort, voiceDatagram(c->clientId, 1, 1, 0, {0}));
    std::this_thread::sleep_for(200ms);
    va.drain(100ms);
    vb.drain(100ms);
    vc.drain(100ms);

    std::vector<uint8_t> opus(160);
    for (std::size_t i = 0; i < opus.size(); ++i) opus[i] = static_cast<uint8_t>(i * 7);
    const auto frame = voiceDatagram(a->clientId, 1, room, 42, opus, 1);
    va.sendTo(udpPort, frame);
    const auto heard = vb.receive(kPatience);
    ASSERT_TRUE(heard);
    EXPECT_EQ(*heard, frame);
    EXPECT_TRUE(va.drain().empty()) << "the sender hears itself";
    EXPECT_TRUE(vc.drain().empty()) << "the lobby hears the room";

    // c names the room without being in it: nobody hears that.
    vc.sendTo(udpPort, voiceDatagram(c->clientId, 1, room, 1, opus));
    // Someone on another address claims to be a: not relayed, and a's
    // address is not taken over.
    UdpPeer impostor("127.0.0.2");
    impostor.sendTo(udpPort, voiceDatagram(a->clientId, 1, room, 2, opus));
    EXPECT_TRUE(va.drain(300ms).empty());
    EXPECT_TRUE(vb.drain(100ms).empty());
    vb.sendTo(udpPort, voiceDatagram(b->clientId, 1, room, 3, opus));
    EXPECT_TRUE(va.receive(kPatience));
    EXPECT_TRUE(impostor.drain(100ms).empty());
    stopCleanly(*server);
}

TEST_F(SessionTest, ChannelsAndMessageCountsSurviveARestart) {
    const uint16_t room = seedChannels({"Stammtisch"}).at(0);
    writeConfig(nlohmann::json::parse(R"([{"id":1}])"));
    {
        auto server = startReady();
        auto a = TestClient::dial(tcpPort);
        ASSERT_TRUE(a && a->hello() && a->login("a"));
        ASSERT_TRUE(a->join(room));
        for (int i = 1; i <= 3; ++i) {
            a->chat("Nachricht " + std::to_string(i));
            EXPECT_EQ(nextCount(*a, room), static_cast<uint32_t>(i));
        }
        stopCleanly(*server);
    }

    auto server = startReady();
    auto a = TestClient::dial(tcpPort);
    ASSERT_TRUE(a && a->hello() && a->login("a"));
    std::optional<ChannelInfo> kept;
    for (const auto& p : a->seen) {
        if (p.type != MessageType::ChannelList) continue;
        for (const auto& ch : channelsOf(p))
            if (ch.id == room) kept = ch;
        break;  // the list of the login itself
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->name, "Stammtisch");
    EXPECT_EQ(kept->messageCount, 3u);
    ASSERT_TRUE(a->join(room));
    a->chat("und weiter");
    EXPECT_EQ(nextCount(*a, room), 4u);
    stopCleanly(*server);
}

}  // namespace
}  // namespace Korrafin::Test
