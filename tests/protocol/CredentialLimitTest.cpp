// Guessing credentials over the client protocol: channel passwords, account
// passwords, the server key and privilege keys. A burst of wrong ones makes
// the address wait, longer after each burst, while the answers on the wire
// stay those of a wrong credential; one connection is closed at its bound;
// the right credential works again once the wait is over. The log shows a
// fingerprint of an identity, never the identity. The guard's clock is the
// test's own, so nothing waits for real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "core/CredentialGuard.h"
#include "protocol/ClientSession.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/Requests.h"
#include "support/SessionHarness.h"
#include "support/TestDatabase.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t kChannel = 5;
const std::string kChannelPassword = "s3cret";
const std::string kAccountPassword = "correct horse";
const std::string kServerKey = "the-server-key";

class CredentialLimitTest : public ::testing::Test {
protected:
    // One way of presenting a credential.
    struct Path {
        const char* name;
        bool isLogin;  // the attempt is the login itself: one per connection
        std::function<std::vector<uint8_t>(CredentialLimitTest&, bool right)> request;
        MessageType answerType;
        // The answer to a wrong credential, as it goes over the wire.
        std::function<std::vector<uint8_t>(const SessionHarness&)> wrongAnswer;
        std::function<bool(const Packet&)> accepted;
    };

    CredentialLimitTest() {
        auto cfg = vsConfig(7, "World", 1000);
        cfg.serverKey = kServerKey;
        keys = std::make_unique<Auth::PrivilegeKeyManager>(database.db);
        vs = makeVServer(cfg, database.db, keys.get());
        addChannel(*vs, kChannel, ChannelType::Text, kChannelPassword);
        guard = std::make_shared<CredentialGuard>(CredentialGuard::Limits{}, [this] { return clock.now(); });
    }

    void SetUp() override { ASSERT_EQ(vs->registerUser("alice", kAccountPassword, 0), ResultCode::Ok); }

    static std::vector<Path> paths() {
        return {
            {"channel password", false,
             [](CredentialLimitTest&, bool right) {
                 return channelJoinRequest(kChannel, right ? kChannelPassword : "guess");
             },
             MessageType::ChannelJoinResult,
             [](const SessionHarness&) {
                 PacketBuilder b(MessageType::ChannelJoinResult);
                 b.writeLE<uint16_t>(4);
                 b.writeLE<uint16_t>(kChannel);
                 return b.finalise();
             },
             [](const Packet& p) { return joinResultOf(p).first == 0; }},
            {"account password", false,
             [](CredentialLimitTest&, bool right) {
                 return twoStringRequest(MessageType::UserLogin, "alice", right ? kAccountPassword : "guess");
             },
             MessageType::UserLoginResult,
             [](const SessionHarness&) {
                 PacketBuilder b(MessageType::UserLoginResult);
                 b.writeLE<uint16_t>(22);
                 b.writeStr("");
                 b.writeStr("Wrong password.");
                 return b.finalise();
             },
             [](const Packet& p) { return p.reader().readLE<uint16_t>() == 0; }},
            {"server key", true,
             [](CredentialLimitTest& t, bool right) {
                 std::string nickname = "k";
                 nickname += std::to_string(t.nextId_);
                 return authRequest(nickname, right ? kServerKey : "guess");
             },
             MessageType::AuthResponse,
             [](const SessionHarness& h) {
                 // A wrong key logs in as a member.
                 PacketBuilder b(MessageType::AuthResponse);
                 b.writeLE<uint16_t>(0);
                 b.writeLE<uint32_t>(h.clientId);
                 b.writeLE<uint8_t>(1);
                 return b.finalise();
             },
             [](const Packet& p) { return authResultOf(p).role == static_cast<uint8_t>(UserRole::Admin); }},
            {"privilege key", false,
             [](CredentialLimitTest& t, bool right) {
                 return stringRequest(MessageType::UsePrivilegeKey,
                                      right ? t.vs->createPrivilegeKey(0, "fresh").token : "NO-SUCH-KEY");
             },
             MessageType::UsePrivilegeKeyResult,
             [](const SessionHarness&) {
                 PacketBuilder b(MessageType::UsePrivilegeKeyResult);
                 b.writeLE<uint8_t>(0);
                 b.writeStr("Invalid or already-used key.");
                 return b.finalise();
             },
             [](const Packet& p) { return p.reader().readLE<uint8_t>() == 1; }},
        };
    }

    // A connection from `address` using the test's guard, logged in (as a
    // member, without a login) unless the path's attempt is the login.
    std::unique_ptr<SessionHarness> connect(const std::string& address, const Path& path) {
        const uint32_t id = nextId_++;
        auto h = std::make_unique<SessionHarness>(id, SessionHarness::Transport::Unix, address);
        h->session->setCredentialGuard(guard);
        EXPECT_TRUE(vs->acceptSession(h->session));
        if (!path.isLogin) {
            h->session->updateInfo([&](UserInfo& u) {
                u.nickname = "u" + std::to_string(id);
                u.role = UserRole::Member;
            });
            EXPECT_TRUE(h->session->changeState(SessionState::Connected, SessionState::Authenticated));
        }
        startReading(*h, vs);
        if (path.isLogin) sayHello(*h);
        return h;
    }

    // One attempt on `h`; its answer (an empty packet when none came).
    Packet attempt(SessionHarness& h, const Path& path, bool right) {
        h.client.send(path.request(*this, right));
        auto answer = h.client.waitFor(path.answerType);
        EXPECT_TRUE(answer) << "no answer";
        return answer ? *answer : Packet{};
    }

    // One attempt on a connection of its own; whether it was accepted. A
    // refused one must bear the wrong credential's answer exactly.
    bool attemptFresh(const std::string& address, const Path& path, bool right) {
        auto h = connect(address, path);
        const Packet answer = attempt(*h, path, right);
        const bool ok = path.accepted(answer);
        if (!ok) {
            EXPECT_EQ(answer.bytes(), path.wrongAnswer(*h)) << "the answer of a wrong credential";
        }
        return ok;
    }

    ManualClock clock;
    TestDatabase database;
    std::unique_ptr<Auth::PrivilegeKeyManager> keys;
    std::shared_ptr<VirtualServer> vs;
    std::shared_ptr<CredentialGuard> guard;
    uint32_t nextId_ = 100;
};

TEST_F(CredentialLimitTest, BurstsOfWrongCredentialsMakeTheAddressWaitLongerEachTime) {
    int n = 0;
    for (const Path& path : paths()) {
        SCOPED_TRACE(path.name);
        const std::string address = "10.0.0." + std::to_string(++n);
        // A guard of its own: its summary lines are throttled per guard.
        guard = std::make_shared<CredentialGuard>(CredentialGuard::Limits{}, [this] { return clock.now(); });
        LogCapture::instance().clear();
        std::chrono::milliseconds wait = 2s;
        for (int burst = 1; burst <= 3; ++burst) {
            SCOPED_TRACE("burst " + std::to_string(burst));
            for (int i = 0; i < 5; ++i) EXPECT_FALSE(attemptFresh(address, path, false));

            EXPECT_FALSE(attemptFresh(address, path, true)) << "while the address waits even the right one fails";
            EXPECT_TRUE(attemptFresh("10.9.9." + std::to_string(n * 10 + burst), path, true))
                << "another address is not kept waiting";
            clock.advance(wait - 1ms);
            EXPECT_FALSE(attemptFresh(address, path, true)) << "a moment before the end of the wait";
            clock.advance(1ms);
            EXPECT_TRUE(attemptFresh(address, path, true)) << "after the wait the right one works";
            wait *= 2;
        }
        // One summary line per burst, none per guess.
        EXPECT_EQ(LogCapture::instance().countContaining("Failed credential attempts from " + address + ":"), 3u);
    }
}

TEST_F(CredentialLimitTest, OneConnectionIsClosedAfterItsBoundOfWrongCredentials) {
    int n = 0;
    for (const Path& path : paths()) {
        if (path.isLogin) continue;  // one login per connection: bounded by the address
        SCOPED_TRACE(path.name);
        auto h = connect("10.0.1." + std::to_string(++n), path);
        for (int i = 1; i < 5; ++i) {
            const Packet answer = attempt(*h, path, false);
            EXPECT_EQ(answer.bytes(), path.wrongAnswer(*h)) << i;
            EXPECT_FALSE(h->session->isClosed()) << i;
        }
        h->client.send(path.request(*this, false));
        EXPECT_TRUE(h->client.waitClosed()) << "the fifth wrong credential ends the connection";
        EXPECT_TRUE(h->session->isClosed());
    }
}

TEST_F(CredentialLimitTest, TheLogShowsAFingerprintOfAnIdentityNeverTheIdentity) {
    const std::string loginIdentity = "login-identity-9c1e5b7a20d4";
    const std::string registeredIdentity = "registered-identity-41f0aa83";
    auto& log = LogCapture::instance();
    log.clear();

    const auto all = paths();
    const auto login = std::find_if(all.begin(), all.end(), [](const Path& p) { return p.isLogin; });
    ASSERT_NE(login, all.end());
    auto h = connect("10.0.2.1", *login);
    h->client.send(authRequest("ida", "", loginIdentity));
    ASSERT_TRUE(log.waitFor(LogLevel::Info, "Client " + std::to_string(h->clientId) +
                                                " authenticated as 'ida' (role=1, uid=" + shortHash(loginIdentity) +
                                                ")"));

    // Registration of another identity, then a key redemption that stores the
    // login's identity on the way.
    auto got = requestAndWait(*h, twoStringRequest(MessageType::UserRegister, registeredIdentity, "Reg"));
    ASSERT_FALSE(got.empty());
    got = requestAndWait(*h, stringRequest(MessageType::UsePrivilegeKey, vs->createPrivilegeKey(0, "k").token));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(h->session->role(), UserRole::Owner);

    EXPECT_EQ(log.countContaining(loginIdentity), 0u);
    EXPECT_EQ(log.countContaining(registeredIdentity), 0u);
    EXPECT_EQ(log.countContaining("[VServer 7] Identity '" + shortHash(registeredIdentity) + "' registered as 'Reg'"),
              1u);
    EXPECT_EQ(log.count(LogLevel::Info, "[VServer 7] Auto-registered identity '" + shortHash(loginIdentity) +
                                            "' for privilege key persistence"),
              1u);
}

}  // namespace
}  // namespace Korrafin::Test
