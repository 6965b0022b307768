// Kick, ban, move and role requests over real sockets: who may, what the
// target and the other sessions receive, and that a refusal changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

bool atLeast(UserRole r, UserRole min) { return static_cast<uint8_t>(r) >= static_cast<uint8_t>(min); }

// The next packets a client receives until it holds `n` (they are sent from
// another connection's reader thread, so they may still be on their way).
std::vector<Packet> nextPackets(SessionHarness& m, std::size_t n, std::vector<Packet> out = {}) {
    while (out.size() < n) {
        auto p = m.client.next();
        if (!p) break;
        out.push_back(std::move(*p));
    }
    return out;
}

// A requester (client 10) of the given role, a target (20) and a bystander
// (30) in the lobby, and a session that has not logged in (40).
struct TargetScene : Scene {
    explicit TargetScene(UserRole requesterRole, const std::string& targetAddress = "127.0.0.1")
        : Scene(requesterRole, {.requesterNick = "boss", .withTarget = true, .targetAddress = targetAddress}) {}
};

// The target's connection ends without a packet, and every other session is
// told that it left its channel and the server. The requester gets nothing
// else: `toRequester` is what it received up to the end of its request (the
// announcements may already be among it, as they come from the target's
// reader thread).
void expectRemoved(TargetScene& s, const std::string& logged, const std::vector<Packet>& toRequester) {
    EXPECT_TRUE(s.target->client.waitClosed());
    EXPECT_TRUE(s.target->client.drain(50ms).empty()) << "nothing is sent to the target";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 20: " + logged), 1u);
    for (SessionHarness* m : {s.requester, s.bystander, s.pending}) {
        SCOPED_TRACE("client " + std::to_string(m->clientId));
        const auto got = nextPackets(*m, 3, m == s.requester ? toRequester : std::vector<Packet>{});
        ASSERT_EQ(typesOf(got), (std::vector<MessageType>{MessageType::UserLeftChannel, MessageType::ChannelList,
                                                              MessageType::UserLeft}));
        EXPECT_EQ(firstU32(got[0]), 20u);
        EXPECT_EQ(firstU32(got[2]), 20u);
        EXPECT_EQ(userCountIn(got[1], 1), 2u) << "requester and bystander stay";
    }
}

void expectNothingHappened(TargetScene& s) {
    EXPECT_FALSE(s.target->session->isClosed());
    EXPECT_NE(s.world.vs->findSession(20), nullptr);
    for (SessionHarness* m : {s.target, s.bystander, s.pending}) EXPECT_TRUE(receivedSoFar(*m).empty());
}

class ModerationTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
};

// ---------------------------------------------------------------- kick

TEST_F(ModerationTest, KickByRole) {
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        LogCapture::instance().clear();
        TargetScene s(role);
        const auto got = s.world.request(*s.requester, kickRequest(20, "spam"));
        if (atLeast(role, UserRole::Moderator)) {
            expectRemoved(s, "Kicked: spam", got);
        } else {
            EXPECT_TRUE(got.empty()) << "no answer";
            expectNothingHappened(s);
        }
    }
}

TEST_F(ModerationTest, KickOfOneselfClosesOwnConnection) {
    TargetScene s(UserRole::Moderator);
    s.requester->client.send(kickRequest(10, "bye"));
    EXPECT_TRUE(s.requester->client.waitClosed());
    EXPECT_FALSE(s.target->session->isClosed());
}

TEST_F(ModerationTest, KickOfAClientOfAnotherVirtualServerDoesNothing) {
    TargetScene s(UserRole::Owner);
    VServerWorld elsewhere(9);
    auto& stranger = elsewhere.join(50, "stranger", UserRole::Member);
    EXPECT_TRUE(s.world.request(*s.requester, kickRequest(50, "x")).empty());
    EXPECT_TRUE(s.world.request(*s.requester, kickRequest(0, "x")).empty());
    EXPECT_FALSE(stranger.session->isClosed());
    expectNothingHappened(s);
}

// ---------------------------------------------------------------- ban

TEST_F(ModerationTest, BanByRole) {
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        LogCapture::instance().clear();
        TargetScene s(role, "10.1.2.3");
        const auto got = s.world.request(*s.requester, banRequest(20, "cheating", 0));
        auto again = std::make_shared<ClientSession>(-1, 21, "10.1.2.3");
        if (atLeast(role, UserRole::Admin)) {
            expectRemoved(s, "Banned: cheating", got);
            EXPECT_FALSE(s.world.vs->acceptSession(again)) << "the address is banned";
        } else {
            EXPECT_TRUE(got.empty()) << "no answer";
            expectNothingHappened(s);
            EXPECT_TRUE(s.world.vs->acceptSession(again));
        }
        auto otherAddress = std::make_shared<ClientSession>(-1, 22, "10.1.2.4");
        EXPECT_TRUE(s.world.vs->acceptSession(otherAddress));
        s.world.vs->removeSession(21);
        s.world.vs->removeSession(22);
    }
}

TEST_F(ModerationTest, TimedBanEndsAndLongestBanHolds) {
    TargetScene s(UserRole::Admin, "10.1.2.3");
    auto& second = s.world.join(60, "second", UserRole::Member, 1, true, "10.9.9.9");
    s.world.request(*s.requester, banRequest(20, "one second", 1));
    s.world.request(*s.requester, banRequest(60, "for ever", 0xFFFFFFFFu));
    EXPECT_TRUE(s.target->client.waitClosed());
    EXPECT_TRUE(second.client.waitClosed());
    EXPECT_FALSE(s.world.vs->acceptSession(std::make_shared<ClientSession>(-1, 61, "10.1.2.3")));

    eventually([&] { return !s.world.vs->isBanned("10.1.2.3", ""); });
    EXPECT_TRUE(s.world.vs->acceptSession(std::make_shared<ClientSession>(-1, 62, "10.1.2.3")))
        << "a one-second ban is over";
    EXPECT_FALSE(s.world.vs->acceptSession(std::make_shared<ClientSession>(-1, 63, "10.9.9.9")))
        << "the longest duration is still a ban";
    s.world.vs->removeSession(62);
}

// ---------------------------------------------------------------- move

TEST_F(ModerationTest, MoveByRole) {
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        TargetScene s(role);
        const uint16_t room = s.world.addChannel("room", ChannelType::Voice);
        const auto got = s.world.request(*s.requester, moveRequest(20, room));
        if (!atLeast(role, UserRole::Moderator)) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(errorText(got[0]), "No permission to move users");
            expectNothingHappened(s);
            EXPECT_EQ(s.target->session->channelId(), 1);
            continue;
        }
        const std::vector<MessageType> announced = {MessageType::UserLeftChannel, MessageType::ChannelList,
                                                    MessageType::UserJoinedChannel, MessageType::ChannelList};
        EXPECT_EQ(typesOf(got), announced) << "the requester gets the announcements only";
        for (SessionHarness* m : {s.bystander, s.pending}) EXPECT_EQ(typesOf(receivedSoFar(*m)), announced);
        const auto toTarget = receivedSoFar(*s.target);
        ASSERT_EQ(toTarget.size(), 5u);
        EXPECT_EQ(userOf(toTarget[2]).channelId, room);
        EXPECT_EQ(userCountIn(toTarget[3], room), 1u);
        EXPECT_EQ(toTarget[4].type, MessageType::ChannelJoinResult);
        auto r = toTarget[4].reader();
        EXPECT_EQ(r.readLE<uint16_t>(), 0);
        EXPECT_EQ(r.readLE<uint16_t>(), room);
        EXPECT_EQ(s.target->session->channelId(), room);
    }
}

TEST_F(ModerationTest, MoveThatTheVirtualServerRefusesSendsNothing) {
    TargetScene s(UserRole::Owner);
    const uint16_t full = s.world.addChannel("full", ChannelType::Voice, 1);
    ASSERT_TRUE(s.world.vs->moveUserToChannel(30, full, ""));
    const uint16_t spacer = s.world.addChannel("----", ChannelType::Spacer);
    const uint16_t locked = s.world.addChannel("locked", ChannelType::Voice, 0, "secret");
    s.world.drainAll();

    const std::vector<std::tuple<const char*, uint32_t, uint16_t>> cases = {
        {"full channel", 20, full},   {"spacer", 20, spacer},       {"channel with a password", 20, locked},
        {"unknown channel", 20, 999}, {"unknown target", 77, full},
    };
    for (const auto& [what, target, channel] : cases) {
        SCOPED_TRACE(what);
        EXPECT_TRUE(s.world.request(*s.requester, moveRequest(target, channel)).empty());
        expectNothingHappened(s);
        EXPECT_EQ(s.target->session->channelId(), 1);
    }
}

// ---------------------------------------------------------------- roles

TEST_F(ModerationTest, SetUserRoleByRole) {
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        TargetScene s(role);
        const auto got = s.world.request(*s.requester, roleRequest(20, static_cast<uint8_t>(UserRole::Moderator)));
        if (!atLeast(role, UserRole::Admin)) {
            EXPECT_TRUE(got.empty());
            expectNothingHappened(s);
            EXPECT_EQ(s.target->session->role(), UserRole::Member);
            continue;
        }
        EXPECT_EQ(s.target->session->role(), UserRole::Moderator);
        ASSERT_EQ(got.size(), 1u);
        for (SessionHarness* m : {s.requester, s.target, s.bystander, s.pending}) {
            SCOPED_TRACE("client " + std::to_string(m->clientId));
            const auto packets = m == s.requester ? got : receivedSoFar(*m);
            ASSERT_EQ(packets.size(), 1u);
            EXPECT_EQ(packets[0].type, MessageType::UserUpdated);
            const UserInfo u = userOf(packets[0]);
            EXPECT_EQ(u.clientId, 20u);
            EXPECT_EQ(u.role, UserRole::Moderator);
        }
    }
}

TEST_F(ModerationTest, AdminCanMakeItselfOwner) {
    TargetScene s(UserRole::Admin);
    const auto got = s.world.request(*s.requester, roleRequest(10, 4));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(userOf(got[0]).role, UserRole::Owner);
    EXPECT_EQ(s.requester->session->role(), UserRole::Owner);
    EXPECT_EQ(typesOf(receivedSoFar(*s.bystander)), std::vector<MessageType>{MessageType::UserUpdated});
}

// ---------------------------------------------------------------- malformed

TEST_F(ModerationTest, ShortPayloadsChangeNothing) {
    auto raw = [](MessageType t, std::vector<uint8_t> payload) { return packet(t, payload); };
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"kick without reason", raw(MessageType::KickUser, {20, 0, 0, 0})},
        {"kick with cut reason", raw(MessageType::KickUser, {20, 0, 0, 0, 4, 0, 'a'})},
        {"ban without duration", raw(MessageType::BanUser, {20, 0, 0, 0, 1, 0, 'a'})},
        {"ban with half a duration", raw(MessageType::BanUser, {20, 0, 0, 0, 1, 0, 'a', 5, 0})},
        {"move with five bytes", raw(MessageType::MoveUser, {20, 0, 0, 0, 1})},
        {"role with four bytes", raw(MessageType::SetUserRole, {20, 0, 0, 0})},
    };
    TargetScene s(UserRole::Owner, "10.1.2.3");
    for (const auto& [what, packet] : cases) {
        SCOPED_TRACE(what);
        LogCapture::instance().clear();
        EXPECT_TRUE(s.world.request(*s.requester, packet).empty());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                               "Client 10: packet processing error: PacketReader: buffer underflow"),
                  1u);
        expectNothingHappened(s);
        EXPECT_EQ(s.target->session->role(), UserRole::Member);
    }
    EXPECT_FALSE(s.world.vs->isBanned("10.1.2.3", ""));
}

}  // namespace
}  // namespace Korrafin::Test
