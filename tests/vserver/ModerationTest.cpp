// Kicks, bans and role changes of a virtual server, with sessions over real
// sockets: who may do what, what the target and the others see, ban expiry
// and replacement, and roles that outlive the connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "support/LogCapture.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

class ModerationTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }

    std::shared_ptr<VirtualServer> makeVs(bool withDb = false) {
        return makeVServer(vsConfig(6, "Moderated"), withDb ? tdb.db : nullptr);
    }

    // An admitted, authenticated session whose reader thread removes it from
    // the virtual server when the connection ends.
    static Harness join(const std::shared_ptr<VirtualServer>& vs, uint32_t id, UserRole role,
                        const std::string& address = "10.0.0.1", const std::string& identity = "") {
        return admit(vs, id,
                         {.nickname = "user" + std::to_string(id), .role = role, .address = address, .identity = identity});
    }

    static bool admitted(const std::shared_ptr<VirtualServer>& vs, uint32_t id, const std::string& address) {
        SessionHarness probe(id, SessionHarness::Transport::Unix, address);
        const bool ok = vs->acceptSession(probe.session);
        if (ok) vs->removeSession(id);
        return ok;
    }

    TestDatabase tdb;
};

// ---------------------------------------------------------------- rights

TEST_F(ModerationTest, EachOperationNeedsItsRight) {
    enum class Op { Kick, Ban, Role };
    struct Case {
        const char* name;
        uint32_t actor;
        Op op;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"member kicks", 7, Op::Kick, false},      {"member bans", 7, Op::Ban, false},
        {"member sets a role", 7, Op::Role, false}, {"moderator kicks", 8, Op::Kick, true},
        {"moderator bans", 8, Op::Ban, false},      {"moderator sets a role", 8, Op::Role, false},
        {"admin kicks", 9, Op::Kick, true},         {"admin bans", 9, Op::Ban, true},
        {"admin sets a role", 9, Op::Role, true},   {"system kicks", 0, Op::Kick, true},
        {"system bans", 0, Op::Ban, true},          {"system sets a role", 0, Op::Role, true},
        {"unknown actor kicks", 4242, Op::Kick, false},
    };
    uint32_t targetId = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto vs = makeVs();
        auto member = join(vs, 7, UserRole::Member);
        auto mod = join(vs, 8, UserRole::Moderator);
        auto admin = join(vs, 9, UserRole::Admin);
        const std::string address = "10.1.0." + std::to_string(targetId % 250);
        auto target = join(vs, targetId, UserRole::Member, address);

        bool result = false;
        switch (c.op) {
            case Op::Kick: result = vs->kickUser(targetId, c.actor, "why"); break;
            case Op::Ban: result = vs->banUser(targetId, c.actor, "why", 0); break;
            case Op::Role: result = vs->setUserRole(targetId, c.actor, UserRole::Moderator); break;
        }
        EXPECT_EQ(result, c.allowed);
        const bool closes = c.allowed && c.op != Op::Role;
        EXPECT_EQ(target->session->isClosed(), closes);
        EXPECT_EQ(vs->isBanned(address, ""), c.allowed && c.op == Op::Ban);
        EXPECT_EQ(target->session->role(), c.allowed && c.op == Op::Role ? UserRole::Moderator : UserRole::Member);
        if (!c.allowed) {
            EXPECT_TRUE(receivedSoFar(*target).empty()) << "a refusal sends nothing";
            EXPECT_TRUE(receivedSoFar(*admin).empty());
        }
        ++targetId;
    }
}

TEST_F(ModerationTest, AnUnknownTargetIsRefused) {
    auto vs = makeVs();
    EXPECT_FALSE(vs->kickUser(4242, 0, "x"));
    EXPECT_FALSE(vs->banUser(4242, 0, "x", 0));
    EXPECT_FALSE(vs->setUserRole(4242, 0, UserRole::Admin));
}

// ---------------------------------------------------------------- kick

TEST_F(ModerationTest, AKickedClientSeesOnlyTheCloseAndTheOthersSeeItLeave) {
    auto vs = makeVs();
    auto admin = join(vs, 9, UserRole::Admin);
    auto target = join(vs, 20, UserRole::Member);
    ASSERT_TRUE(vs->moveUserToChannel(20, 1, ""));
    receivedSoFar(*admin);
    receivedSoFar(*target);

    EXPECT_TRUE(vs->kickUser(20, 9, "spam"));
    EXPECT_TRUE(target->client.waitClosed());
    EXPECT_TRUE(target->client.drain(20ms).empty()) << "nothing is sent to the kicked client";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 20: Kicked: spam"), 1u);

    target->join();  // its reader ends and removes it
    EXPECT_EQ(vs->findSession(20), nullptr);
    const auto seen = receivedSoFar(*admin);
    EXPECT_EQ(typesOf(seen),
              (Types{MessageType::UserLeftChannel, MessageType::ChannelList, MessageType::UserLeft}));
    EXPECT_FALSE(vs->kickUser(20, 9, "again")) << "gone from the table";
}

// ---------------------------------------------------------------- bans

TEST_F(ModerationTest, BansWithoutADurationOrBeyondTheClockArePermanent) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    const std::vector<int64_t> durations = {0, -5, std::numeric_limits<int64_t>::min(), max, max - unixNow() + 10,
                                            3600};
    uint32_t id = 30;
    for (int64_t seconds : durations) {
        SCOPED_TRACE(seconds);
        auto vs = makeVs();
        const std::string address = "10.2.0." + std::to_string(id);
        auto target = join(vs, id, UserRole::Member, address);
        ASSERT_TRUE(vs->banUser(id, 0, "bye", seconds));
        EXPECT_TRUE(target->session->isClosed());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client " + std::to_string(id) +
                                                                   ": Banned: bye"),
                  1u);
        EXPECT_TRUE(vs->isBanned(address, "")) << "an end that does not fit must not wrap into the past";
        EXPECT_FALSE(admitted(vs, id + 1000, address));
        vs->tick();  // purges expired bans only
        EXPECT_TRUE(vs->isBanned(address, ""));
        ++id;
    }
}

TEST_F(ModerationTest, ASecondBanOfAnAddressReplacesTheFirstAndATimedBanEnds) {
    auto vs = makeVs();
    auto first = join(vs, 40, UserRole::Member, "10.3.0.1");
    auto second = join(vs, 41, UserRole::Member, "10.3.0.1");
    auto neighbour = join(vs, 42, UserRole::Member, "10.3.0.2");

    ASSERT_TRUE(vs->banUser(40, 0, "permanent", 0));
    EXPECT_FALSE(second->session->isClosed()) << "other sessions of the address stay";
    EXPECT_TRUE(vs->isBanned("", "user40"));

    // Two seconds: a one-second ban can already be over at the next check when
    // it is made just before a second boundary on a busy machine.
    ASSERT_TRUE(vs->banUser(41, 0, "short", 2));
    EXPECT_FALSE(vs->isBanned("", "user40")) << "the first entry is gone";
    EXPECT_TRUE(vs->isBanned("", "user41"));
    EXPECT_FALSE(admitted(vs, 50, "10.3.0.1"));
    EXPECT_TRUE(admitted(vs, 51, "10.3.0.9")) << "admission matches addresses only";
    EXPECT_FALSE(neighbour->session->isClosed());

    // The replacing ban is the one that counts: it ends after its two seconds.
    eventually([&] { return !vs->isBanned("10.3.0.1", ""); });
    EXPECT_FALSE(vs->isBanned("10.3.0.1", ""));
    EXPECT_TRUE(admitted(vs, 52, "10.3.0.1"));
}

TEST_F(ModerationTest, LoadingBansReplacesTheListWithTheStoredRows) {
    auto vs = makeVs(true);
    BanEntry inMemory;
    inMemory.ip = "10.4.0.9";
    vs->addBan(inMemory);

    DB::DbBan active;
    active.ip = "10.4.0.1";
    active.nickname = "stored";
    active.expires_at = unixNow() + 3600;
    tdb.real->SaveBan(active);
    DB::DbBan expired;
    expired.ip = "10.4.0.2";
    expired.expires_at = unixNow() - 10;
    tdb.real->SaveBan(expired);

    vs->loadBans();
    EXPECT_TRUE(vs->isBanned("10.4.0.1", ""));
    EXPECT_TRUE(vs->isBanned("", "stored"));
    EXPECT_FALSE(vs->isBanned("10.4.0.2", ""));
    EXPECT_FALSE(vs->isBanned("10.4.0.9", ""));

    auto noDb = makeVs(false);
    noDb->addBan(inMemory);
    noDb->loadBans();
    EXPECT_TRUE(noDb->isBanned("10.4.0.9", "")) << "without a database nothing changes";
}

// ---------------------------------------------------------------- roles

TEST_F(ModerationTest, OnlyDefinedRolesCanBeSet) {
    auto vs = makeVs(true);
    const int64_t rowId = tdb.addIdentity("target-identity", 1, "t");
    auto watcher = join(vs, 9, UserRole::Admin);
    auto target = join(vs, 20, UserRole::Member, "10.0.0.1", "target-identity");

    for (int value : {5, 200, 255}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(vs->setUserRole(20, 0, static_cast<UserRole>(value)));
        EXPECT_EQ(target->session->role(), UserRole::Member);
        EXPECT_EQ(tdb.real->GetUserById(rowId)->role, 1);
        EXPECT_TRUE(receivedSoFar(*watcher).empty());
    }
    EXPECT_TRUE(vs->setUserRole(20, 0, UserRole::Owner));
    EXPECT_EQ(target->session->role(), UserRole::Owner);
}

TEST_F(ModerationTest, ARoleChangeIsAnnouncedAndStoredOnTheIdentitysRow) {
    auto vs = makeVs(true);
    const int64_t rowId = tdb.addIdentity("known-identity", 0, "known");
    auto admin = join(vs, 9, UserRole::Admin);
    auto known = join(vs, 20, UserRole::Member, "10.0.0.1", "known-identity");
    auto stranger = join(vs, 21, UserRole::Member, "10.0.0.1", "unknown-identity");
    auto fresh = connectTo(vs, 22, "10.0.0.1", SessionHarness::Transport::Unix);  // not logged in

    ASSERT_TRUE(vs->setUserRole(20, 9, UserRole::Moderator));
    EXPECT_EQ(known->session->role(), UserRole::Moderator);
    EXPECT_EQ(tdb.real->GetUserById(rowId)->role, 2);
    for (auto* h : {admin.get(), known.get(), stranger.get(), fresh.get()}) {
        const auto seen = receivedSoFar(*h);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::UserUpdated})) << "client " << h->clientId;
        EXPECT_EQ(userOf(seen[0]).clientId, 20u);
        EXPECT_EQ(static_cast<int>(userOf(seen[0]).role), 2);
    }

    // An identity without a row: only the live session changes.
    ASSERT_TRUE(vs->setUserRole(21, 9, UserRole::Admin));
    EXPECT_EQ(stranger->session->role(), UserRole::Admin);
    EXPECT_FALSE(tdb.real->GetUserByUniqueId("unknown-identity"));

    // The stored role comes back with the identity on the next login.
    known.reset();
    stranger.reset();
    auto returning = connectTo(vs, 30);
    const auto got = logIn(*returning, "back", "", "known-identity");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(authResultOf(got[0]).role, 2);
    auto other = connectTo(vs, 31);
    const auto got2 = logIn(*other, "other", "", "unknown-identity");
    ASSERT_FALSE(got2.empty());
    EXPECT_EQ(authResultOf(got2[0]).role, 1);
}

}  // namespace
}  // namespace Korrafin::Test
