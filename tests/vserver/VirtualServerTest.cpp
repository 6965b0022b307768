// The virtual server with sessions over real sockets: admission, the session
// table, broadcasts, the permission gate, moves with their announcements and
// session removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/RecordingSinks.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

// A packet that carries `text`, for broadcasts whose recipients are counted.
std::vector<uint8_t> note(const std::string& text) {
    PacketBuilder b(MessageType::ServerSettings);
    b.writeStr(text);
    return b.finalise();
}

class VirtualServerTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }

    static std::shared_ptr<VirtualServer> makeVs(int32_t maxSlots = 32, uint16_t id = 3) {
        return makeVServer(vsConfig(id, "Test Server", maxSlots));
    }

    // An admitted, authenticated session that the test itself feeds (no
    // reader thread).
    static Harness join(const std::shared_ptr<VirtualServer>& vs, uint32_t id, const std::string& nickname,
                        UserRole role = UserRole::Member, const std::string& address = "127.0.0.1") {
        return admit(vs, id, {.nickname = nickname, .role = role, .address = address, .reading = false});
    }

    static void addChannel(VirtualServer& vs, uint16_t id, const std::string& name, uint16_t maxUsers = 0,
                           const std::string& password = "", ChannelType type = ChannelType::Voice) {
        ChannelInfo c;
        c.id = id;
        c.name = name;
        c.maxUsers = maxUsers;
        c.password = password;
        c.hasPassword = !password.empty();
        c.type = static_cast<uint8_t>(type);
        vs.channelManager.createChannel(c);
    }
};

// ---------------------------------------------------------------- admission

TEST_F(VirtualServerTest, AdmissionChecksSlotsFirstThenBans) {
    enum class Ban { None, Active, Expired, OtherAddress };
    struct Case {
        const char* name;
        int32_t maxSlots;
        int present;  // sessions already admitted, none of them authenticated
        int leaving;  // of those, closed and waiting for their removal
        Ban ban;
        const char* refusal;  // nullptr: admitted
    };
    const std::vector<Case> cases = {
        {"free slot", 2, 1, 0, Ban::None, nullptr},
        {"no slots at all", 0, 0, 0, Ban::None, "Server is full"},
        {"negative slots", -5, 0, 0, Ban::None, "Server is full"},
        {"unauthenticated sessions take slots", 2, 2, 0, Ban::None, "Server is full"},
        {"a session on its way out holds no slot", 2, 2, 1, Ban::None, nullptr},
        {"every session on its way out", 3, 3, 3, Ban::None, nullptr},
        {"banned", 5, 0, 0, Ban::Active, "You are banned from this server"},
        {"banned and full: full wins", 1, 1, 0, Ban::Active, "Server is full"},
        {"expired ban", 5, 0, 0, Ban::Expired, nullptr},
        {"ban of another address", 5, 0, 0, Ban::OtherAddress, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        auto vs = makeVs(c.maxSlots);
        std::vector<Harness> present;
        for (int i = 0; i < c.present; ++i) {
            present.push_back(std::make_unique<SessionHarness>(10 + i, SessionHarness::Transport::Unix, "10.0.0.1"));
            ASSERT_TRUE(vs->acceptSession(present.back()->session));
        }
        for (int i = 0; i < c.leaving; ++i) present[static_cast<std::size_t>(i)]->session->disconnect("");
        if (c.ban != Ban::None) {
            BanEntry b;
            b.ip = c.ban == Ban::OtherAddress ? "10.0.0.8" : "10.0.0.9";
            b.expiresAt = c.ban == Ban::Expired ? unixNow() - 1 : unixNow() + 3600;
            vs->addBan(b);
        }
        SessionHarness h(50, SessionHarness::Transport::Unix, "10.0.0.9");
        const bool accepted = vs->acceptSession(h.session);

        EXPECT_EQ(accepted, c.refusal == nullptr);
        const bool full = c.refusal && std::string(c.refusal) == "Server is full";
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[VServer 3] Rejected client 50 – server full"),
                  full ? 1u : 0u);
        if (c.refusal) {
            EXPECT_TRUE(h.session->isClosed());
            EXPECT_TRUE(h.client.waitClosed());
            EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, std::string("Disconnecting client 50: ") + c.refusal),
                      1u);
            EXPECT_EQ(vs->slotUsage(), static_cast<uint32_t>(c.present));
            EXPECT_EQ(vs->findSession(50), nullptr);
            EXPECT_EQ(h.session->vserver(), nullptr);
            EXPECT_TRUE(h.client.drain(20ms).empty()) << "a refusal sends nothing";
        } else {
            EXPECT_FALSE(h.session->isClosed());
            EXPECT_EQ(vs->findSession(50), h.session);
            EXPECT_EQ(h.session->vserver(), vs);
            EXPECT_EQ(h.session->info().vsId, 3);
            EXPECT_EQ(vs->slotUsage(), static_cast<uint32_t>(c.present + 1));
            EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 3] Client 50 (10.0.0.9) accepted"), 1u);
        }
    }
}

TEST_F(VirtualServerTest, BansBelongToOneVirtualServer) {
    auto a = makeVs(5, 1);
    auto b = makeVs(5, 2);
    BanEntry ban;
    ban.ip = "10.0.0.9";
    a->addBan(ban);
    SessionHarness h(50, SessionHarness::Transport::Unix, "10.0.0.9");
    EXPECT_TRUE(b->acceptSession(h.session));
    EXPECT_TRUE(a->isBanned("10.0.0.9", ""));
    EXPECT_FALSE(a->isBanned("10.0.0.90", ""));
}

TEST_F(VirtualServerTest, ASessionOutlivingItsVirtualServerHasNone) {
    auto vs = makeVs();
    auto h = join(vs, 7, "ann");
    vs.reset();
    EXPECT_EQ(h->session->vserver(), nullptr);
}

// ---------------------------------------------------------------- table queries

TEST_F(VirtualServerTest, NicknamesAreComparedByteForByte) {
    auto vs = makeVs();
    auto ann = join(vs, 7, "Ann");
    auto bob = join(vs, 8, "");
    EXPECT_TRUE(vs->hasNicknameConflict("Ann", 0));
    EXPECT_FALSE(vs->hasNicknameConflict("ann", 0)) << "letter case counts";
    EXPECT_FALSE(vs->hasNicknameConflict("Ann", 7)) << "the excepted session does not count";
    EXPECT_TRUE(vs->hasNicknameConflict("Ann", 8));

    EXPECT_FALSE(vs->claimNickname(8, "Ann"));
    EXPECT_EQ(bob->session->nickname(), "");
    EXPECT_TRUE(vs->claimNickname(8, "ann"));
    EXPECT_EQ(bob->session->nickname(), "ann");
    EXPECT_FALSE(vs->claimNickname(8, "ann")) << "the claimer's own nickname counts as taken";
}

TEST_F(VirtualServerTest, AnEmptyServerKeyNeverMatches) {
    auto vs = makeVs();
    EXPECT_FALSE(vs->verifyServerKey(""));
    auto cfg = vs->config();
    cfg.serverKey = "s3cret";
    cfg.id = 99;  // the id never changes
    vs->setConfig(cfg);
    EXPECT_EQ(vs->config().id, 3);
    EXPECT_TRUE(vs->verifyServerKey("s3cret"));
    EXPECT_FALSE(vs->verifyServerKey("S3cret"));
    EXPECT_FALSE(vs->verifyServerKey(""));
}

TEST_F(VirtualServerTest, ThePermissionGate) {
    auto vs = makeVs();
    auto member = join(vs, 7, "m", UserRole::Member);
    auto mod = join(vs, 8, "d", UserRole::Moderator);
    auto admin = join(vs, 9, "a", UserRole::Admin);
    struct Case {
        uint32_t clientId;
        Permission flag;
        uint16_t channel;
        bool expected;
    };
    const std::vector<Case> cases = {
        {0, Permission::ADMIN_CONSOLE, 0, true},   {0, Permission::MANAGE_ROLES, 77, true},
        {424242, Permission::JOIN_CHANNEL, 0, false}, {7, Permission::TEXT_CHAT, 0, true},
        {7, Permission::KICK_USERS, 0, false},    {8, Permission::KICK_USERS, 0, true},
        {8, Permission::BAN_USERS, 0, false},     {9, Permission::BAN_USERS, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vs->checkPerm(c.clientId, c.flag, c.channel), c.expected)
            << "client " << c.clientId << " flag " << bits(c.flag);
    }
    // The gate follows the session's current role.
    member->session->setRole(UserRole::Moderator);
    EXPECT_TRUE(vs->checkPerm(7, Permission::KICK_USERS, 0));
}

// ---------------------------------------------------------------- broadcasts

TEST_F(VirtualServerTest, BroadcastsReachEverySessionUnlessExcepted) {
    auto vs = makeVs();
    // Admitted but never said Hello.
    auto fresh = std::make_unique<SessionHarness>(6, SessionHarness::Transport::Unix);
    ASSERT_TRUE(vs->acceptSession(fresh->session));
    auto ann = join(vs, 7, "ann");
    auto gone = join(vs, 8, "gone");
    gone->session->disconnect("bye");

    vs->broadcast(note("all"), 0);
    vs->broadcast(note("not ann"), 7);
    for (auto* h : {fresh.get(), ann.get()}) {
        auto first = h->client.next();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->reader().readStr(), "all");
    }
    auto second = fresh->client.next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->reader().readStr(), "not ann");
    EXPECT_FALSE(ann->client.next(50ms));
    EXPECT_TRUE(gone->client.waitClosed());
    EXPECT_TRUE(gone->client.drain(20ms).empty());
}

TEST_F(VirtualServerTest, ChannelBroadcastsReachTheMembersOnly) {
    auto vs = makeVs();
    addChannel(*vs, 5, "five");
    auto a = join(vs, 7, "a");
    auto b = join(vs, 8, "b");
    auto outside = join(vs, 9, "c");
    ASSERT_TRUE(vs->moveUserToChannel(7, 5, ""));
    ASSERT_TRUE(vs->moveUserToChannel(8, 5, ""));
    vs->channelManager.addUser(5, 4242);  // listed without a session: skipped
    for (auto* h : {a.get(), b.get(), outside.get()}) receivedSoFar(*h);

    vs->broadcastToChannel(5, note("to five"), 7);
    vs->broadcastToChannel(0, note("to nobody"), 0);
    vs->broadcastToChannel(77, note("to nobody"), 0);
    EXPECT_TRUE(receivedSoFar(*a).empty());
    EXPECT_TRUE(receivedSoFar(*outside).empty());
    auto got = b->client.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->reader().readStr(), "to five");
    EXPECT_TRUE(receivedSoFar(*b).empty());
}

// ---------------------------------------------------------------- moves

TEST_F(VirtualServerTest, RefusedMovesChangeAndSendNothing) {
    auto vs = makeVs();
    addChannel(*vs, 5, "open");
    addChannel(*vs, 6, "locked", 0, "Secret");
    addChannel(*vs, 7, "single", 1);
    addChannel(*vs, 8, "spacer", 0, "", ChannelType::Spacer);
    addChannel(*vs, 9, "admins");
    vs->permissions.setChannelPermOverride(9, UserRole::Admin);

    auto mover = join(vs, 7, "mover");
    auto other = join(vs, 8, "other");
    auto fresh = std::make_unique<SessionHarness>(9, SessionHarness::Transport::Unix);
    ASSERT_TRUE(vs->acceptSession(fresh->session));
    ASSERT_TRUE(vs->moveUserToChannel(7, 1, ""));
    ASSERT_TRUE(vs->moveUserToChannel(8, 7, ""));
    for (auto* h : {mover.get(), other.get(), fresh.get()}) receivedSoFar(*h);

    struct Case {
        const char* name;
        uint32_t clientId;
        uint16_t channel;
        std::string password;
    };
    const std::vector<Case> cases = {
        {"no such client", 4242, 5, ""},
        {"channel 0", 7, 0, ""},
        {"unknown channel", 7, 77, ""},
        {"spacer", 7, 8, ""},
        {"no right to join", 7, 9, ""},
        {"no password", 7, 6, ""},
        {"password in other letter case", 7, 6, "secret"},
        {"full", 7, 7, ""},
        {"full with the mover itself", 8, 7, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(vs->moveUserToChannel(c.clientId, c.channel, c.password));
        EXPECT_EQ(mover->session->channelId(), 1);
        EXPECT_EQ(other->session->channelId(), 7);
        EXPECT_EQ(vs->channelManager.usersIn(1), std::vector<uint32_t>{7});
        EXPECT_EQ(vs->channelManager.usersIn(7), std::vector<uint32_t>{8});
        for (auto* h : {mover.get(), other.get(), fresh.get()}) EXPECT_TRUE(receivedSoFar(*h).empty());
    }

    // The system actor's exemption does not cover the moved user's own right,
    // but an admin may enter.
    mover->session->setRole(UserRole::Admin);
    EXPECT_TRUE(vs->moveUserToChannel(7, 9, ""));
    EXPECT_TRUE(vs->moveUserToChannel(7, 6, "Secret"));
    EXPECT_TRUE(vs->moveUserToChannel(7, 5, "any text at all")) << "no password: anything goes";
}

TEST_F(VirtualServerTest, AMoveIsAnnouncedInOrderToEverybody) {
    auto vs = makeVs();
    addChannel(*vs, 5, "five");
    AttachedRecorders recorders(*vs);
    const auto& bot = recorders.bot;
    auto mover = join(vs, 7, "mover");
    auto other = join(vs, 8, "other");
    auto fresh = std::make_unique<SessionHarness>(9, SessionHarness::Transport::Unix);
    ASSERT_TRUE(vs->acceptSession(fresh->session));

    // First move: from no channel, so nothing is left.
    ASSERT_TRUE(vs->moveUserToChannel(7, 1, ""));
    const auto first = receivedSoFar(*mover);
    EXPECT_EQ(typesOf(first), (std::vector<MessageType>{MessageType::UserJoinedChannel,
                                                              MessageType::ChannelList,
                                                              MessageType::ChannelJoinResult}));
    for (auto* h : {other.get(), fresh.get()}) {
        EXPECT_EQ(typesOf(receivedSoFar(*h)),
                  (std::vector<MessageType>{MessageType::UserJoinedChannel, MessageType::ChannelList}));
    }

    // Second move: leave 1, join 5.
    ASSERT_TRUE(vs->moveUserToChannel(7, 5, ""));
    const auto got = receivedSoFar(*mover);
    ASSERT_EQ(typesOf(got),
              (std::vector<MessageType>{MessageType::UserLeftChannel, MessageType::ChannelList,
                                        MessageType::UserJoinedChannel, MessageType::ChannelList,
                                        MessageType::ChannelJoinResult}));
    auto left = got[0].reader();
    EXPECT_EQ(left.readLE<uint32_t>(), 7u);
    EXPECT_EQ(left.readLE<uint16_t>(), 1);
    EXPECT_EQ(userCountIn(got[1], 1), 0u) << "the list after the leave";
    EXPECT_EQ(userCountIn(got[1], 5), 0u);
    const UserInfo joined = userOf(got[2]);
    EXPECT_EQ(joined.clientId, 7u);
    EXPECT_EQ(joined.channelId, 5);
    EXPECT_EQ(joined.nickname, "mover");
    EXPECT_EQ(joined.vsId, 3);
    EXPECT_EQ(userCountIn(got[3], 5), 1u) << "the list after the join";
    auto result = got[4].reader();
    EXPECT_EQ(result.readLE<uint16_t>(), 0);
    EXPECT_EQ(result.readLE<uint16_t>(), 5);

    for (auto* h : {other.get(), fresh.get()}) {
        const auto seen = receivedSoFar(*h);
        ASSERT_EQ(seen.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(seen[i].type, got[i].type);
            EXPECT_EQ(seen[i].payload, got[i].payload) << "everybody sees the same announcements";
        }
    }

    const auto events = bot.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, "join");
    EXPECT_EQ(events[1].clientId, 7u);
    EXPECT_EQ(events[1].nickname, "mover");
    EXPECT_EQ(events[1].channelId, 5);
    EXPECT_EQ(mover->session->channelId(), 5);
    EXPECT_EQ(vs->channelManager.channelOf(7), 5);
}

TEST_F(VirtualServerTest, AMoveIntoTheSameChannelLeavesAndJoinsAgain) {
    auto vs = makeVs();
    addChannel(*vs, 5, "five");
    auto mover = join(vs, 7, "mover");
    ASSERT_TRUE(vs->moveUserToChannel(7, 5, ""));
    receivedSoFar(*mover);
    ASSERT_TRUE(vs->moveUserToChannel(7, 5, ""));
    const auto got = receivedSoFar(*mover);
    EXPECT_EQ(typesOf(got),
              (std::vector<MessageType>{MessageType::UserLeftChannel, MessageType::ChannelList,
                                        MessageType::UserJoinedChannel, MessageType::ChannelList,
                                        MessageType::ChannelJoinResult}));
    EXPECT_EQ(vs->channelManager.usersIn(5), std::vector<uint32_t>{7}) << "listed once";
}

// ---------------------------------------------------------------- removal

TEST_F(VirtualServerTest, RemovingASessionAnnouncesItsLeaveInOrder) {
    auto vs = makeVs();
    addChannel(*vs, 5, "five");
    AttachedRecorders recorders(*vs);
    const auto& bot = recorders.bot;
    auto sam = join(vs, 7, "sam");
    auto other = join(vs, 8, "other");
    auto fresh = std::make_unique<SessionHarness>(9, SessionHarness::Transport::Unix);
    ASSERT_TRUE(vs->acceptSession(fresh->session));
    ASSERT_TRUE(vs->moveUserToChannel(7, 5, ""));
    for (auto* h : {sam.get(), other.get(), fresh.get()}) receivedSoFar(*h);
    LogCapture::instance().clear();

    vs->removeSession(7);
    EXPECT_EQ(vs->findSession(7), nullptr);
    EXPECT_EQ(vs->slotUsage(), 2u);
    EXPECT_TRUE(vs->channelManager.usersIn(5).empty());
    for (auto* h : {other.get(), fresh.get()}) {
        const auto got = receivedSoFar(*h);
        ASSERT_EQ(typesOf(got), (std::vector<MessageType>{MessageType::UserLeftChannel,
                                                                MessageType::ChannelList, MessageType::UserLeft}));
        auto left = got[0].reader();
        EXPECT_EQ(left.readLE<uint32_t>(), 7u);
        EXPECT_EQ(left.readLE<uint16_t>(), 5);
        EXPECT_EQ(userCountIn(got[1], 5), 0u);
        EXPECT_EQ(got[2].reader().readLE<uint32_t>(), 7u);
    }
    EXPECT_TRUE(sam->client.drain(30ms).empty()) << "the removed session gets nothing";
    const auto events = bot.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, "leave");
    EXPECT_EQ(events.back().clientId, 7u);
    EXPECT_EQ(events.back().nickname, "sam");
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 3] Client 7 (127.0.0.1) disconnected"), 1u);

    // A session in no channel: only UserLeft. Unknown ids: nothing.
    vs->removeSession(9);
    EXPECT_EQ(typesOf(receivedSoFar(*other)), std::vector<MessageType>{MessageType::UserLeft});
    vs->removeSession(9);
    vs->removeSession(4242);
    EXPECT_TRUE(receivedSoFar(*other).empty());
}

TEST_F(VirtualServerTest, RemovalOnAnotherVirtualServerDoesNothing) {
    auto a = makeVs(32, 1);
    auto b = makeVs(32, 2);
    auto onA = join(a, 7, "a");
    auto onB = join(b, 8, "b");
    b->removeSession(7);
    EXPECT_EQ(a->findSession(7), onA->session);
    EXPECT_TRUE(receivedSoFar(*onB).empty());
}

TEST_F(VirtualServerTest, TheReaderThreadRemovesItsSessionWhenTheConnectionEnds) {
    auto vs = makeVs();
    auto watcher = join(vs, 8, "watcher");
    auto h = join(vs, 7, "leaver");
    h->start([vs](uint32_t id) { vs->removeSession(id); });
    h->client.close();
    h->join();
    EXPECT_EQ(vs->findSession(7), nullptr);
    const auto got = receivedSoFar(*watcher);
    EXPECT_EQ(typesOf(got), std::vector<MessageType>{MessageType::UserLeft});
    std::weak_ptr<ClientSession> weak = h->session;
    h->session.reset();
    EXPECT_TRUE(weak.expired()) << "nobody keeps a finished session";
}

// ---------------------------------------------------------------- lists

TEST_F(VirtualServerTest, UserAndChannelListsForOneSession) {
    auto vs = makeVs();
    SessionHarness outsider(99, SessionHarness::Transport::Unix);
    vs->sendUserList(outsider.session);
    auto empty = outsider.client.next();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, MessageType::UserList);
    EXPECT_EQ(empty->payload, (std::vector<uint8_t>{0, 0, 0, 0}));

    auto a = join(vs, 7, "a");
    auto b = join(vs, 8, "b");
    vs->sendUserList(a->session);
    vs->sendChannelList(a->session);
    const auto got = receivedSoFar(*a);
    ASSERT_EQ(typesOf(got), (std::vector<MessageType>{MessageType::UserList, MessageType::ChannelList}));
    const auto users = usersOf(got[0]);
    ASSERT_EQ(users.size(), 2u);
    std::vector<uint32_t> ids{users[0].clientId, users[1].clientId};
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{7, 8}));
    const auto channels = channelsOf(got[1]);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0].id, 1);
    EXPECT_EQ(channels[0].name, "Lobby");
    EXPECT_EQ(channels[0].description, "Default channel");
    EXPECT_TRUE(channels[0].isPermanent);
    EXPECT_TRUE(receivedSoFar(*b).empty());
}

// ---------------------------------------------------------------- lifecycle

TEST_F(VirtualServerTest, StopDisconnectsEverySessionOnce) {
    auto vs = makeVs();
    auto a = join(vs, 7, "a");
    EXPECT_FALSE(vs->isRunning());
    vs->stop();  // not running: nothing
    EXPECT_FALSE(a->session->isClosed());
    vs->start();
    vs->start();
    EXPECT_TRUE(vs->isRunning());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 3] Started: Test Server"), 2u);
    vs->stop();
    vs->stop();
    EXPECT_FALSE(vs->isRunning());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 3] Stopped"), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: Server shutting down"), 1u);
    EXPECT_TRUE(a->session->isClosed());
    EXPECT_TRUE(a->client.waitClosed());
    EXPECT_EQ(vs->slotUsage(), 1u) << "the session leaves when its reader ends";

    // Admission works while stopped; destruction stops a running server.
    auto b = join(vs, 8, "b");
    vs->start();
    vs.reset();
    EXPECT_TRUE(b->session->isClosed());
}

TEST_F(VirtualServerTest, EveryFifthTickPingsEverySession) {
    auto vs = makeVs();
    auto a = join(vs, 7, "a");
    auto b = join(vs, 8, "b");
    for (int i = 0; i < 5; ++i) vs->tick();  // five calls hold exactly one multiple of five
    for (auto* h : {a.get(), b.get()}) {
        EXPECT_EQ(typesOf(receivedSoFar(*h)), std::vector<MessageType>{MessageType::Ping});
    }
    BanEntry active;
    active.ip = "10.1.1.1";
    active.expiresAt = unixNow() + 3600;
    vs->addBan(active);
    for (int i = 0; i < 5; ++i) vs->tick();
    EXPECT_TRUE(vs->isBanned("10.1.1.1", ""));
    EXPECT_TRUE(receivedSoFar(*a).empty()) << "a Ping is still outstanding";
}

TEST_F(VirtualServerTest, EventsGoToTheAttachedSinksOnly) {
    auto vs = makeVs();
    vs->notifyBotChatMessage(7, "a", "hi");  // nothing attached: nothing happens
    vs->notifyPluginChatMessage(7, 1, "a", "hi", 1);
    AttachedRecorders recorders(*vs);
    vs->notifyBotChatMessage(7, "a", "hi");
    vs->notifyBotUserMoved(7, 1, 5);
    vs->notifyPluginChatMessage(7, 1, "a", "hi", 42);
    const auto events = recorders.bot.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, "chat");
    EXPECT_EQ(events[1].kind, "moved");
    EXPECT_EQ(events[1].channelId, 5);
    ASSERT_EQ(recorders.plugins.chats().size(), 1u);
    EXPECT_EQ(recorders.plugins.chats()[0].messageId, 42u);
}

}  // namespace
}  // namespace Korrafin::Test
