// Everyday requests of logged-in clients over real sockets: channel chat,
// direct messages, message deletes, channel joins and leaves, and presence.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "support/LogCapture.h"
#include "support/RecordingSinks.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

using JoinResult = std::pair<uint16_t, uint16_t>;

class ChatTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }

    std::shared_ptr<VirtualServer> makeVs(uint16_t id = 4, bool withDb = true) {
        return makeVServer(vsConfig(id, "Chat Server"), withDb ? tdb.db : nullptr);
    }

    // A logged-in user in `channel`, with everything it was sent so far read.
    static Harness enter(const std::shared_ptr<VirtualServer>& vs, uint32_t id, const std::string& nickname,
                         uint16_t channel = 1) {
        auto h = connectTo(vs, id);
        logIn(*h, nickname);
        if (channel != 1) {
            const auto got = requestAndWait(*h, channelJoinRequest(channel));
            EXPECT_FALSE(got.empty());
            if (!got.empty()) {
                EXPECT_EQ(joinResultOf(got.back()), (JoinResult{0, channel}));
            }
        }
        return h;
    }

    // Reads what every listed session has been sent so far.
    static void settle(std::initializer_list<SessionHarness*> sessions) {
        for (auto* h : sessions) receivedSoFar(*h);
    }

    TestDatabase tdb;
};

// ---------------------------------------------------------------- channel chat

TEST_F(ChatTest, AChatMessageReachesEveryMemberOfTheChannelWithTheNextId) {
    auto vs = makeVs();
    addChannel(*vs, 5, ChannelType::Text);
    AttachedRecorders recorders(*vs);
    const auto& bot = recorders.bot;
    const auto& plugins = recorders.plugins;

    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    auto c = enter(vs, 9, "cleo", 5);
    auto fresh = connectTo(vs, 10);  // admitted, never logged in
    settle({a.get(), b.get(), c.get(), fresh.get()});

    struct Step {
        SessionHarness* sender;
        std::string text;
        uint16_t channel;
        uint32_t count;  // the channel's count after the message
    };
    const std::vector<Step> steps = {
        {a.get(), "hello", 1, 1},
        {b.get(), "second", 1, 2},
        {c.get(), "elsewhere", 5, 1},
        {a.get(), "third in the lobby", 1, 3},
    };
    uint64_t expectedId = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.text);
        ++expectedId;
        const auto own = requestAndWait(*s.sender, chatRequest(s.text));
        ASSERT_EQ(typesOf(own), (Types{MessageType::ChatMessage, MessageType::ChannelMessageCount}))
            << "the sender gets its own message";
        const ChatLine chat = chatOf(own[0]);
        EXPECT_EQ(chat.senderId, s.sender->clientId);
        EXPECT_EQ(chat.channelId, s.channel);
        EXPECT_EQ(chat.nickname, s.sender->session->nickname());
        EXPECT_EQ(chat.text, s.text);
        EXPECT_EQ(chat.messageId, expectedId);
        EXPECT_EQ(messageCountOf(own[1]), (std::pair<uint16_t, uint32_t>{s.channel, s.count}));

        for (auto* h : {a.get(), b.get(), c.get(), fresh.get()}) {
            if (h == s.sender) continue;
            const auto seen = receivedSoFar(*h);
            const bool member = h->session->channelId() == s.channel;
            if (member) {
                ASSERT_EQ(typesOf(seen), (Types{MessageType::ChatMessage, MessageType::ChannelMessageCount}));
                EXPECT_EQ(seen[0].payload, own[0].payload) << "every member gets the identical packet";
            } else {
                ASSERT_EQ(typesOf(seen), (Types{MessageType::ChannelMessageCount}))
                    << "outside the channel only the count arrives";
            }
            EXPECT_EQ(seen.back().payload, own[1].payload);
        }
    }
    EXPECT_EQ(vs->lastMessageId.load(), 4u);

    const auto chats = bot.events("chat");
    ASSERT_EQ(chats.size(), 4u);
    EXPECT_EQ(chats[2].clientId, 9u);
    EXPECT_EQ(chats[2].nickname, "cleo");
    EXPECT_EQ(chats[2].text, "elsewhere");
    const auto hooked = plugins.chats();
    ASSERT_EQ(hooked.size(), 4u);
    for (std::size_t i = 0; i < hooked.size(); ++i) {
        EXPECT_EQ(hooked[i].messageId, i + 1);
        EXPECT_EQ(hooked[i].text, steps[i].text);
        EXPECT_EQ(hooked[i].channelId, steps[i].channel);
        EXPECT_EQ(hooked[i].clientId, steps[i].sender->clientId);
    }
}

TEST_F(ChatTest, ChatTextsOfOneTo4096BytesAreDelivered) {
    struct Case {
        std::size_t length;
        bool delivered;
    };
    const std::vector<Case> cases = {{0, false}, {1, true}, {4096, true}, {4097, false}, {65535, false}};
    auto vs = makeVs();
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    settle({a.get(), b.get()});
    uint64_t lastId = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'x');
        const auto own = requestAndWait(*a, chatRequest(text));
        const auto seen = receivedSoFar(*b);
        if (c.delivered) {
            ++lastId;
            ASSERT_EQ(own.size(), 2u);
            EXPECT_EQ(chatOf(own[0]).text, text);
            EXPECT_EQ(chatOf(own[0]).messageId, lastId);
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(chatOf(seen[0]).text, text);
        } else {
            EXPECT_TRUE(own.empty()) << "dropped without a reply";
            EXPECT_TRUE(seen.empty());
        }
        EXPECT_EQ(vs->lastMessageId.load(), lastId) << "a dropped text takes no id";
    }
}

TEST_F(ChatTest, OnlyAdminsPostInANewsChannel) {
    struct Case {
        UserRole role;
        bool delivered;
    };
    const std::vector<Case> cases = {
        {UserRole::Guest, false},
        {UserRole::Member, false},
        {UserRole::Moderator, false},
        {UserRole::Admin, true},
        {UserRole::Owner, true},
    };
    auto vs = makeVs();
    addChannel(*vs, 5, ChannelType::News);
    auto poster = enter(vs, 7, "poster", 5);
    auto reader = enter(vs, 8, "reader", 5);
    settle({poster.get(), reader.get()});
    uint64_t lastId = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(roleText(c.role));
        poster->session->setRole(c.role);
        const auto own = requestAndWait(*poster, chatRequest("news"));
        const auto seen = receivedSoFar(*reader);
        if (c.delivered) {
            ++lastId;
            ASSERT_EQ(typesOf(own), (Types{MessageType::ChatMessage, MessageType::ChannelMessageCount}));
            EXPECT_EQ(typesOf(seen), typesOf(own));
        } else {
            ASSERT_EQ(typesOf(own), (Types{MessageType::Error}));
            auto r = own[0].reader();
            EXPECT_EQ(r.readLE<uint16_t>(), 4);
            EXPECT_EQ(r.readStr(), "Only admins can post in announcement channels.");
            EXPECT_TRUE(seen.empty());
        }
        EXPECT_EQ(vs->lastMessageId.load(), lastId) << "a refused post draws no id";
    }
}

TEST_F(ChatTest, WithoutTheChatRightNothingHappens) {
    auto vs = makeVs();
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    settle({a.get(), b.get()});
    vs->permissions.setUserPermOverride(7, Permission{}, Permission::TEXT_CHAT);
    EXPECT_TRUE(requestAndWait(*a, chatRequest("muted")).empty());
    EXPECT_TRUE(receivedSoFar(*b).empty());
    EXPECT_EQ(vs->lastMessageId.load(), 0u);
}

TEST_F(ChatTest, ASenderInNoChannelUsesAnIdAndReachesOnlyBotsAndPlugins) {
    auto vs = makeVs();
    // Members may not enter the lobby, so the login leaves the user in no channel.
    vs->permissions.setChannelPermOverride(1, UserRole::Admin);
    AttachedRecorders recorders(*vs);
    const auto& bot = recorders.bot;
    const auto& plugins = recorders.plugins;
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    settle({a.get(), b.get()});
    ASSERT_EQ(a->session->channelId(), 0);

    EXPECT_TRUE(requestAndWait(*a, chatRequest("into the void")).empty());
    EXPECT_TRUE(receivedSoFar(*b).empty()) << "no message and no count";
    EXPECT_EQ(vs->lastMessageId.load(), 1u);
    ASSERT_EQ(bot.events("chat").size(), 1u);
    ASSERT_EQ(plugins.chats().size(), 1u);
    EXPECT_EQ(plugins.chats()[0].channelId, 0);
    EXPECT_EQ(plugins.chats()[0].messageId, 1u);
}

// ---------------------------------------------------------------- direct messages

TEST_F(ChatTest, ADirectMessageReachesTheRecipientOnly) {
    Logger::instance().setLevel(LogLevel::Trace);
    auto vs = makeVs();
    auto elsewhere = makeVs(5, false);
    addChannel(*vs, 5, ChannelType::Text);
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben", 5);
    auto cleo = enter(vs, 9, "cleo");
    auto fresh = connectTo(vs, 10);  // admitted, never logged in
    auto foreign = enter(elsewhere, 11, "far");
    settle({a.get(), b.get(), cleo.get(), fresh.get(), foreign.get()});

    struct Case {
        const char* name;
        uint32_t to;
        std::string text;
        SessionHarness* recipient;  // null: nobody gets it
    };
    const std::vector<Case> cases = {
        {"to a user in another channel", 8, "hi", b.get()},
        {"4096 bytes", 9, std::string(4096, 'd'), cleo.get()},
        {"to a connection that has not logged in", 10, "psst", fresh.get()},
        {"to oneself", 7, "me", nullptr},
        {"to an id nobody has", 4242, "anyone?", nullptr},
        {"to a user of another virtual server", 11, "far away", nullptr},
        {"empty", 8, "", nullptr},
        {"4097 bytes", 8, std::string(4097, 'd'), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        EXPECT_TRUE(requestAndWait(*a, dmRequest(c.to, c.text)).empty()) << "the sender gets nothing back";
        for (auto* h : {b.get(), cleo.get(), fresh.get(), foreign.get()}) {
            const auto seen = receivedSoFar(*h);
            if (h != c.recipient) {
                EXPECT_TRUE(seen.empty()) << "client " << h->clientId;
                continue;
            }
            ASSERT_EQ(typesOf(seen), (Types{MessageType::DirectMessage}));
            const auto dm = directOf(seen[0]);
            EXPECT_EQ(dm.senderId, 7u);
            EXPECT_EQ(dm.nickname, "anna");
            EXPECT_EQ(dm.text, c.text);
        }
        const std::size_t traced = LogCapture::instance().count(
            LogLevel::Trace, "[VServer 4] DM 7 → " + std::to_string(c.to) + ": " + std::to_string(c.text.size()) +
                                 " chars");
        EXPECT_EQ(traced, c.recipient ? 1u : 0u);
    }

    // The packet carries the nickname the sender bears at the time.
    a->session->setNickname("anna-renamed");
    requestAndWait(*a, dmRequest(8, "again"));
    const auto seen = receivedSoFar(*b);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(directOf(seen[0]).nickname, "anna-renamed");
}

// ---------------------------------------------------------------- message delete

TEST_F(ChatTest, MessageDeletesFromModeratorsAreRelayedToTheirChannel) {
    auto vs = makeVs();
    addChannel(*vs, 5, ChannelType::Text);
    auto mod = enter(vs, 7, "mod");
    auto mate = enter(vs, 8, "mate");
    auto outside = enter(vs, 9, "outside", 5);
    settle({mod.get(), mate.get(), outside.get()});
    const uint64_t neverIssued = 0xDEADBEEF12345678ull;

    // A member's delete is ignored.
    EXPECT_TRUE(requestAndWait(*mate, messageDeleteRequest(neverIssued)).empty());
    EXPECT_TRUE(receivedSoFar(*mod).empty());

    mod->session->setRole(UserRole::Moderator);
    const auto own = requestAndWait(*mod, messageDeleteRequest(neverIssued));
    ASSERT_EQ(typesOf(own), (Types{MessageType::MessageDelete}));
    auto r = own[0].reader();
    EXPECT_EQ(r.readLE<uint64_t>(), neverIssued);
    EXPECT_EQ(r.remaining(), 0u);
    const auto seen = receivedSoFar(*mate);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload, own[0].payload);
    EXPECT_TRUE(receivedSoFar(*outside).empty());
}

// ---------------------------------------------------------------- joins and leaves

TEST_F(ChatTest, JoiningAndLeavingChannels) {
    auto vs = makeVs();
    addChannel(*vs, 6, ChannelType::Voice, "pw");
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    settle({a.get(), b.get()});

    // In the lobby a leave does nothing.
    EXPECT_TRUE(requestAndWait(*a, packet(MessageType::ChannelLeave)).empty());

    auto refused = requestAndWait(*a, channelJoinRequest(6, "PW"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(joinResultOf(refused[0]), (JoinResult{4, 6}));
    EXPECT_TRUE(receivedSoFar(*b).empty());
    EXPECT_EQ(a->session->channelId(), 1);

    const Types moveSequence = {MessageType::UserLeftChannel, MessageType::ChannelList,
                                MessageType::UserJoinedChannel, MessageType::ChannelList,
                                MessageType::ChannelJoinResult};
    const auto joined = requestAndWait(*a, channelJoinRequest(6, "pw"));
    ASSERT_EQ(typesOf(joined), moveSequence);
    EXPECT_EQ(joinResultOf(joined[4]), (JoinResult{0, 6}));
    EXPECT_EQ(a->session->channelId(), 6);
    EXPECT_EQ(typesOf(receivedSoFar(*b)), Types(moveSequence.begin(), moveSequence.end() - 1));

    const auto left = requestAndWait(*a, packet(MessageType::ChannelLeave));
    ASSERT_EQ(typesOf(left), moveSequence);
    EXPECT_EQ(joinResultOf(left[4]), (JoinResult{0, 1}));
    EXPECT_EQ(a->session->channelId(), 1);
}

// A connection that never logged in is in no channel; a leave must not put
// it into the lobby, where it would learn its id and hear the lobby's voice.
TEST_F(ChatTest, ALeaveBeforeLoginMovesNobody) {
    auto vs = makeVs();
    auto a = enter(vs, 7, "anna");
    auto pending = connectTo(vs, 9);
    settle({a.get(), pending.get()});

    // The Hello behind it shows when the leave has been handled.
    std::vector<uint8_t> both = packet(MessageType::ChannelLeave);
    const auto hello = helloRequest();
    both.insert(both.end(), hello.begin(), hello.end());
    pending->client.send(both);
    const auto first = pending->client.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, MessageType::HelloAck) << "no join result, no lists before it";
    EXPECT_EQ(pending->session->channelId(), 0);
    const auto lobby = vs->channelManager.usersIn(ChannelManager::kLobbyId);
    EXPECT_EQ(std::count(lobby.begin(), lobby.end(), 9u), 0);
    EXPECT_TRUE(receivedSoFar(*a).empty()) << "nobody was told of a move";
}

// ---------------------------------------------------------------- presence

TEST_F(ChatTest, PresenceUpdatesAreStoredAndAnnounced) {
    auto vs = makeVs();
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    auto fresh = connectTo(vs, 10);
    settle({a.get(), b.get(), fresh.get()});

    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        bool echoed;
    };
    const std::vector<Case> cases = {
        {"voice state", byteRequest(MessageType::VoiceState, 0x05), false},
        {"status", byteRequest(MessageType::UserStatusUpdate, 0x03), false},
        {"activity", stringRequest(MessageType::UserActivityUpdate, "coding"), true},
        {"activity of 1024 bytes", stringRequest(MessageType::UserActivityUpdate, std::string(1024, 'z')), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto own = requestAndWait(*a, c.request);
        const auto atB = receivedSoFar(*b);
        const auto atFresh = receivedSoFar(*fresh);
        ASSERT_EQ(atB.size(), 1u);
        EXPECT_EQ(atFresh.size(), 1u) << "connections that have not logged in hear it too";
        if (!atFresh.empty()) {
            EXPECT_EQ(atFresh[0].payload, atB[0].payload);
        }
        EXPECT_EQ(own.size(), c.echoed ? 1u : 0u);
        if (c.echoed && !own.empty()) {
            EXPECT_EQ(own[0].payload, atB[0].payload);
        }

        const Packet& p = atB[0];
        PacketReader in{c.request.data() + PacketHeader::kSize, c.request.size() - PacketHeader::kSize, 0};
        auto r = p.reader();
        EXPECT_EQ(p.type, static_cast<MessageType>(c.request[5] | (c.request[6] << 8)));
        EXPECT_EQ(r.readLE<uint32_t>(), 7u) << "the client id comes first";
        EXPECT_EQ(std::vector<uint8_t>(p.payload.begin() + 4, p.payload.end()),
                  std::vector<uint8_t>(in.data, in.data + in.size))
            << "then the value as the client sent it";
    }
    const UserInfo info = a->session->info();
    EXPECT_EQ(info.voiceFlags, 0x05);
    EXPECT_EQ(info.status, 0x03);
    EXPECT_EQ(info.activity, std::string(1024, 'z'));
}

TEST_F(ChatTest, RefusedOrMalformedPresenceUpdatesChangeNothing) {
    auto vs = makeVs();
    auto a = enter(vs, 7, "anna");
    auto b = enter(vs, 8, "ben");
    requestAndWait(*a, stringRequest(MessageType::UserActivityUpdate, "before"));
    settle({a.get(), b.get()});

    const std::vector<std::vector<uint8_t>> requests = {
        stringRequest(MessageType::UserActivityUpdate, std::string(1025, 'z')),  // over the limit
        packet(MessageType::VoiceState),                                          // no byte
        packet(MessageType::UserStatusUpdate),                                    // no byte
        packet(MessageType::UserActivityUpdate, {0x05, 0x00, 'a'}),              // string cut short
    };
    for (const auto& request : requests) EXPECT_TRUE(requestAndWait(*a, request).empty());
    EXPECT_TRUE(receivedSoFar(*b).empty());
    const UserInfo info = a->session->info();
    EXPECT_EQ(info.activity, "before");
    EXPECT_EQ(info.voiceFlags, 0);
    EXPECT_EQ(info.status, 0);
}

TEST_F(ChatTest, PresenceIsStoredWithoutAVirtualServer) {
    SessionHarness h(9);
    h.start();
    sayHello(h);
    h.client.send(authRequest("solo"));
    h.client.send(byteRequest(MessageType::VoiceState, 0x11));
    h.client.send(stringRequest(MessageType::UserActivityUpdate, "alone"));
    h.client.send(byteRequest(MessageType::UserStatusUpdate, 0x02));
    // Everything the four requests caused came before the sync answer.
    EXPECT_EQ(untilHandled(h.client).size(), 2u) << "the AuthResponse and IdentityStatus only";
    const UserInfo info = h.session->info();
    EXPECT_EQ(info.voiceFlags, 0x11);
    EXPECT_EQ(info.activity, "alone");
    EXPECT_EQ(info.status, 0x02);
}

}  // namespace
}  // namespace Korrafin::Test
