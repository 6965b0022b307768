// Logging in to a virtual server over real sockets: the reply sequence, roles
// from the server key and stored identities, nickname rules, the optional
// strings, storage failures, identity registration and account login.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "support/LogCapture.h"
#include "support/Names.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

// What an accepted login sends the new user when it enters the lobby.
const Types kFullSequence = {
    MessageType::AuthResponse, MessageType::IdentityStatus,    MessageType::ServerSettings,
    MessageType::ChannelList,  MessageType::UserList,          MessageType::ChatMessage,
    MessageType::UserJoinedChannel, MessageType::ChannelList, MessageType::ChannelJoinResult,
};

uint8_t identityStatusOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::IdentityStatus);
    EXPECT_EQ(p.payload.size(), 1u);
    return p.payload.empty() ? 0xFF : p.payload[0];
}

std::pair<uint16_t, std::string> resultTextOf(const Packet& p) {
    auto r = p.reader();
    const uint16_t code = r.readLE<uint16_t>();
    std::string text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return {code, text};
}

struct LoginResult {
    uint16_t code;
    std::string token;
    std::string text;
};

LoginResult loginResultOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::UserLoginResult);
    auto r = p.reader();
    LoginResult l{};
    l.code = r.readLE<uint16_t>();
    l.token = r.readStr();
    l.text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return l;
}

std::string repeat(std::string_view unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
}

class LoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        // Failures are switched on and off through atomics, so the hook itself
        // is set before any reader thread can reach the database.
        tdb.db->before = [this](std::string_view op) {
            if (op == "GetUserByUniqueId" && failIdentityLookup.load()) throw std::runtime_error("identity store down");
            if (op == "GetServerSettings") {
                const int n = settingsReads.fetch_add(1) + 1;
                const int failFrom = failSettingsFromRead.load();
                if (failFrom > 0 && n >= failFrom) throw std::runtime_error("settings store down");
            }
        };
    }

    std::shared_ptr<VirtualServer> makeVs(bool withDb = true, const std::string& serverKey = "") {
        auto cfg = vsConfig(4, "Test Server");
        cfg.serverKey = serverKey;
        return makeVServer(cfg, withDb ? tdb.db : nullptr);
    }

    void storeIdentity(const std::string& identity, int32_t role, const std::string& nickname = "stored") {
        ASSERT_GT(tdb.addIdentity(identity, role, nickname), 0);
    }

    TestDatabase tdb;
    std::atomic<bool> failIdentityLookup{false};
    std::atomic<int> settingsReads{0};
    std::atomic<int> failSettingsFromRead{0};  // 0: never
};

// ---------------------------------------------------------------- the sequence

TEST_F(LoginTest, AcceptedLoginSendsTheWholeSequenceInOrder) {
    auto vs = makeVs();
    DB::DbServerSettings stored;
    stored.name = "Stored name";
    stored.description = "Beschreibung";
    stored.accent_color = 0x00123456;
    stored.badge_config_json = "{\"a\":1}";
    tdb.real->SaveServerSettings(stored);
    auto waiting = connectTo(vs, 5);  // admitted, never says Hello
    auto alice = connectTo(vs, 7);
    sayHello(*alice);

    const auto got = requestAndWait(*alice, authRequest("alice"));
    ASSERT_EQ(typesOf(got), kFullSequence);

    const auto auth = authResultOf(got[0]);
    EXPECT_EQ(auth.result, 0);
    EXPECT_EQ(auth.clientId, 7u);
    EXPECT_EQ(auth.role, 1) << "no key, no identity: member";
    EXPECT_EQ(identityStatusOf(got[1]), 0);
    const auto settings = serverSettingsPacket(stored);
    EXPECT_EQ(got[2].payload, std::vector<uint8_t>(settings.begin() + PacketHeader::kSize, settings.end()));
    EXPECT_EQ(userCountIn(got[3], 1), 0u) << "the list is sent before the user enters the lobby";

    const auto users = usersOf(got[4]);
    ASSERT_EQ(users.size(), 2u) << "every session, the unauthenticated one and the new user included";
    const auto self = std::find_if(users.begin(), users.end(), [](const UserInfo& u) { return u.clientId == 7; });
    ASSERT_NE(self, users.end());
    EXPECT_EQ(self->nickname, "alice");
    EXPECT_EQ(self->channelId, 0) << "listed before the move";
    EXPECT_EQ(self->vsId, 4);
    EXPECT_EQ(static_cast<int>(self->role), 1);

    const ChatLine welcome = chatOf(got[5]);
    EXPECT_EQ(welcome.senderId, 0u);
    EXPECT_EQ(welcome.channelId, 1);
    EXPECT_EQ(welcome.nickname, "Server");
    EXPECT_EQ(welcome.text, "Welcome to Test Server!");
    EXPECT_EQ(welcome.messageId, 0u);
    EXPECT_EQ(vs->lastMessageId.load(), 0u) << "the welcome takes no id";

    EXPECT_EQ(userOf(got[6]).channelId, 1);
    EXPECT_EQ(userCountIn(got[7], 1), 1u);
    auto joined = got[8].reader();
    EXPECT_EQ(joined.readLE<uint16_t>(), 0);
    EXPECT_EQ(joined.readLE<uint16_t>(), 1);

    EXPECT_EQ(alice->session->state(), SessionState::Authenticated);
    EXPECT_EQ(alice->session->channelId(), 1);
    EXPECT_EQ(alice->session->role(), UserRole::Member);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 7 authenticated as 'alice' (role=1, uid=<none>)"),
              1u);

    // The others learn of the new user, then of its move; the new user does
    // not get its own UserJoined.
    const auto seen = receivedSoFar(*waiting);
    ASSERT_EQ(typesOf(seen),
              (Types{MessageType::UserJoined, MessageType::UserJoinedChannel, MessageType::ChannelList}));
    EXPECT_EQ(userOf(seen[0]).nickname, "alice");
    EXPECT_EQ(userOf(seen[0]).channelId, 0);
}

TEST_F(LoginTest, RoleComesFromTheServerKeyAndIsRaisedByAStoredIdentity) {
    struct Case {
        const char* name;
        std::string configuredKey;
        std::string sentKey;
        std::optional<int32_t> storedRole;  // nothing: identity not stored
        uint8_t role;
        uint8_t registered;
    };
    const std::vector<Case> cases = {
        {"matching key", "sekrit", "sekrit", std::nullopt, 3, 0},
        {"wrong key", "sekrit", "Sekrit", std::nullopt, 1, 0},
        {"empty key configured, empty key sent", "", "", std::nullopt, 1, 0},
        {"stored owner, wrong key", "sekrit", "nope", 4, 4, 1},
        {"stored moderator below the key's admin", "sekrit", "sekrit", 2, 3, 1},
        {"stored moderator raises a member", "sekrit", "", 2, 2, 1},
        {"stored guest never lowers", "", "", 0, 1, 1},
        {"stored byte beyond the roles is ignored", "", "", 200, 1, 1},
        {"only the low byte of the stored role counts", "", "", 0x104, 4, 1},
    };
    uint32_t id = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto vs = makeVs(true, c.configuredKey);
        const std::string identity = "identity-" + std::to_string(id);
        if (c.storedRole) storeIdentity(identity, *c.storedRole);
        auto h = connectTo(vs, id);
        const auto got = logIn(*h, "user" + std::to_string(id), c.sentKey, identity);
        ASSERT_EQ(typesOf(got), kFullSequence);
        EXPECT_EQ(authResultOf(got[0]).role, c.role);
        EXPECT_EQ(identityStatusOf(got[1]), c.registered);
        EXPECT_EQ(static_cast<uint8_t>(h->session->role()), c.role);
        EXPECT_EQ(h->session->identity(), identity);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client " + std::to_string(id) + " authenticated as 'user" +
                                                                   std::to_string(id) + "' (role=" +
                                                                   std::to_string(c.role) + ", uid=" + shortHash(identity) + ")"),
                  1u);
        ++id;
    }
}

TEST_F(LoginTest, WelcomeTextAndEntryChannelComeFromTheStoredSettings) {
    struct Case {
        const char* name;
        std::string welcome;
        uint16_t entry;
        std::string expectedWelcome;
        uint16_t expectedChannel;  // 0: stays in no channel
    };
    const std::vector<Case> cases = {
        {"own welcome, entry channel", "Hallo und willkommen", 5, "Hallo und willkommen", 5},
        {"deleted entry channel", "", 9, "Welcome to Test Server!", 1},
        {"entry channel 0", "", 0, "Welcome to Test Server!", 1},
        {"entry channel with a password", "", 6, "Welcome to Test Server!", 0},
    };
    uint32_t id = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto vs = makeVs();
        addChannel(*vs, 5, ChannelType::Voice);
        addChannel(*vs, 6, ChannelType::Voice, "pw");
        DB::DbServerSettings s = tdb.real->GetServerSettings();
        s.welcome_message = c.welcome;
        s.entry_channel_id = c.entry;
        tdb.real->SaveServerSettings(s);

        auto h = connectTo(vs, id);
        const auto got = logIn(*h, numbered("u", id));
        ASSERT_GE(got.size(), 6u);
        EXPECT_EQ(chatOf(got[5]).text, c.expectedWelcome);
        EXPECT_EQ(h->session->channelId(), c.expectedChannel);
        if (c.expectedChannel == 0) {
            EXPECT_EQ(got.size(), 6u) << "a refused entry sends nothing more";
            EXPECT_EQ(h->session->state(), SessionState::Authenticated);
        } else {
            ASSERT_EQ(typesOf(got), kFullSequence);
            auto r = got[8].reader();
            EXPECT_EQ(r.readLE<uint16_t>(), 0);
            EXPECT_EQ(r.readLE<uint16_t>(), c.expectedChannel);
        }
        ++id;
    }
}

TEST_F(LoginTest, ALoginWithoutAVirtualServerGetsTheResultAndIdentityStatusOnly) {
    SessionHarness h(9);
    h.start();
    sayHello(h);
    h.client.send(authRequest("solo", "any key", "some-identity"));
    auto first = h.client.next();
    auto second = h.client.next();
    ASSERT_TRUE(first && second);
    const auto auth = authResultOf(*first);
    EXPECT_EQ(auth.result, 0);
    EXPECT_EQ(auth.clientId, 9u);
    EXPECT_EQ(auth.role, 1);
    EXPECT_EQ(identityStatusOf(*second), 0);
    EXPECT_TRUE(h.client.drain(150ms).empty());
    EXPECT_EQ(h.session->state(), SessionState::Authenticated);
    EXPECT_EQ(h.session->nickname(), "solo");
}

// ---------------------------------------------------------------- nicknames

TEST_F(LoginTest, NicknameLengthIsCountedInBytesAndTakenNamesAreRefused) {
    auto vs = makeVs();
    // "Taken" is borne by a session that went back to awaiting its login.
    auto holder = connectTo(vs, 5);
    logIn(*holder, "Taken");
    sayHello(*holder);

    struct Case {
        const char* name;
        std::string nickname;
        uint16_t result;
    };
    const std::string euro = "\xE2\x82\xAC";
    const std::vector<Case> cases = {
        {"empty", "", 8},
        {"64 bytes", std::string(64, 'n'), 0},
        {"65 bytes", std::string(65, 'm'), 8},
        {"21 three-byte characters (63 bytes)", repeat(euro, 21), 0},
        {"22 three-byte characters (66 bytes)", repeat(euro, 22), 8},
        {"borne by a session awaiting its login", "Taken", 9},
        {"other letter case", "taken", 0},
    };
    uint32_t id = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto h = connectTo(vs, id);
        sayHello(*h);
        // A refused request is followed by one that is accepted: whatever the
        // refusal sent comes before the second AuthResponse.
        const std::string fallback = "fallback" + std::to_string(id);
        h->client.send(authRequest(c.nickname));
        if (c.result != 0) h->client.send(authRequest(fallback));
        const auto got = untilHandled(h->client);
        ASSERT_FALSE(got.empty());
        const auto first = authResultOf(got[0]);
        EXPECT_EQ(first.result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(typesOf(got), kFullSequence);
            EXPECT_EQ(h->session->nickname(), c.nickname);
        } else {
            EXPECT_EQ(first.clientId, 0u);
            EXPECT_EQ(first.role, 0);
            ASSERT_GE(got.size(), 2u);
            EXPECT_EQ(authResultOf(got[1]).result, 0) << "nothing else follows a refusal; a retry is accepted";
            EXPECT_EQ(h->session->nickname(), fallback);
        }
        ++id;
    }
    EXPECT_EQ(holder->session->nickname(), "Taken");
}

// The identity is a secret the session keeps and may store: bounded, and
// never holding a NUL, which would make it another identity elsewhere.
TEST_F(LoginTest, AnIdentityOverItsBoundOrHoldingANulIsABadName) {
    auto vs = makeVs();
    tdb.addIdentity(std::string("owner\0", 6), 4, "o");
    struct Case {
        const char* name;
        std::string identity;
        uint16_t result;
    };
    const std::vector<Case> cases = {
        {"none", "", 0},
        {"256 bytes", std::string(256, 'i'), 0},
        {"257 bytes", std::string(257, 'i'), 8},
        // The largest a login may carry: a frame before login is at most 64 KiB.
        {"60 KB", std::string(60000, 'i'), 8},
        {"a NUL byte inside", std::string("owner\0", 6), 8},
    };
    uint32_t id = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto h = connectTo(vs, id);
        sayHello(*h);
        // As above: a refusal is followed by a login that is accepted.
        h->client.send(authRequest("n" + std::to_string(id), "", c.identity));
        if (c.result != 0) h->client.send(authRequest("fallback" + std::to_string(id)));
        const auto got = untilHandled(h->client);
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(authResultOf(got[0]).result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(h->session->identity(), c.identity);
            EXPECT_EQ(authResultOf(got[0]).role, 1) << "the stored owner identity is not reached";
        } else {
            EXPECT_EQ(got[1].type, MessageType::AuthResponse) << "a refusal sends nothing else";
            EXPECT_EQ(h->session->identity(), "");
        }
        ++id;
    }
}

TEST_F(LoginTest, ARepeatedHelloAllowsALoginUnderAnotherNicknameOnly) {
    auto vs = makeVs();
    auto other = connectTo(vs, 5);
    logIn(*other, "other");
    auto h = connectTo(vs, 7);
    logIn(*h, "alice");
    receivedSoFar(*other);

    // Without a new Hello a second AuthRequest is ignored.
    EXPECT_TRUE(requestAndWait(*h, authRequest("alicia")).empty());
    EXPECT_EQ(h->session->nickname(), "alice");

    sayHello(*h);
    h->client.send(authRequest("alice"));
    h->client.send(authRequest("alicia"));
    const auto got = untilHandled(h->client);
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(authResultOf(got[0]).result, 9) << "its own nickname counts as taken";
    const std::vector<Packet> second(got.begin() + 1, got.end());
    ASSERT_EQ(typesOf(second),
              (Types{MessageType::AuthResponse, MessageType::IdentityStatus, MessageType::ServerSettings,
                     MessageType::ChannelList, MessageType::UserList, MessageType::ChatMessage,
                     MessageType::UserLeftChannel, MessageType::ChannelList, MessageType::UserJoinedChannel,
                     MessageType::ChannelList, MessageType::ChannelJoinResult}))
        << "handled in full again, the move into the lobby included";
    EXPECT_EQ(h->session->nickname(), "alicia");

    const auto seen = receivedSoFar(*other);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].type, MessageType::UserJoined);
    EXPECT_EQ(userOf(seen[0]).nickname, "alicia");
}

// ---------------------------------------------------------------- optional strings

TEST_F(LoginTest, TheTwoTrailingStringsAreOptionalAndBounded) {
    struct Case {
        const char* name;
        std::optional<std::string> extra1;
        std::optional<std::string> extra2;
        uint16_t result;
    };
    const std::vector<Case> cases = {
        {"three strings", std::nullopt, std::nullopt, 0},
        {"four strings", "first", std::nullopt, 0},
        {"five strings", "first", "second", 0},
        {"1024 bytes each", std::string(1024, 'a'), std::string(1024, 'b'), 0},
        {"first over 1024 bytes", std::string(1025, 'a'), "", 4},
        {"second over 1024 bytes", "", std::string(1025, 'b'), 4},
    };
    auto vs = makeVs();
    uint32_t id = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto h = connectTo(vs, id);
        sayHello(*h);
        const std::string nick = "x" + std::to_string(id);
        h->client.send(authRequest(nick, "", "", c.extra1, c.extra2));
        if (c.result != 0) h->client.send(authRequest(nick));
        const auto got = untilHandled(h->client);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(authResultOf(got[0]).result, c.result);
        const UserInfo info = h->session->info();
        if (c.result == 0) {
            EXPECT_EQ(info.extra1, c.extra1.value_or(""));
            EXPECT_EQ(info.extra2, c.extra2.value_or(""));
            // The stored strings are relayed as they came.
            const auto users = usersOf(got[4]);
            const auto self = std::find_if(users.begin(), users.end(), [&](const UserInfo& u) { return u.clientId == id; });
            ASSERT_NE(self, users.end());
            EXPECT_EQ(self->extra1, info.extra1);
            EXPECT_EQ(self->extra2, info.extra2);
        } else {
            EXPECT_EQ(info.extra1, "");
            EXPECT_EQ(info.extra2, "");
        }
        ++id;
    }
}

TEST_F(LoginTest, AStrayByteAfterTheIdentityIsAMalformedRequest) {
    auto vs = makeVs();
    auto h = connectTo(vs, 7);
    sayHello(*h);
    auto bad = authRequest("alice");
    bad.push_back(0x01);
    bad[7] += 1;  // payload length, low byte: one more
    h->client.send(bad);
    h->client.send(authRequest("alice"));
    const auto got = untilHandled(h->client);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(authResultOf(got[0]).result, 0) << "the malformed request sent nothing";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                           "Client 7: packet processing error: PacketReader: buffer underflow"),
              1u);
}

// ---------------------------------------------------------------- storage failures

TEST_F(LoginTest, AStorageErrorBeforeTheLoginLeavesTheSessionUntouchedAndFreeToRetry) {
    struct Case {
        const char* name;
        bool failIdentity;
        int failSettingsFrom;
    };
    const std::vector<Case> cases = {
        {"identity lookup", true, 0},
        {"settings", false, 1},
    };
    uint32_t id = 50;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto vs = makeVs();
        auto watcher = connectTo(vs, id + 100);
        auto h = connectTo(vs, id);
        sayHello(*h);
        settingsReads = 0;
        failIdentityLookup = c.failIdentity;
        failSettingsFromRead = c.failSettingsFrom;
        h->client.send(authRequest("bob", "", "bob-identity"));
        EXPECT_TRUE(h->client.drain(200ms).empty()) << "nothing is answered";
        EXPECT_EQ(h->session->state(), SessionState::AwaitingAuth);
        EXPECT_EQ(h->session->nickname(), "") << "the nickname is not held by a failed login";
        EXPECT_EQ(h->session->identity(), "");
        EXPECT_EQ(h->session->channelId(), 0);
        EXPECT_TRUE(receivedSoFar(*watcher).empty());

        failIdentityLookup = false;
        failSettingsFromRead = 0;
        const auto got = requestAndWait(*h, authRequest("bob", "", "bob-identity"));
        EXPECT_EQ(typesOf(got), kFullSequence) << "the same nickname can be used again";
        EXPECT_EQ(h->session->channelId(), 1);
        ++id;
    }
}

TEST_F(LoginTest, ASettingsReadFailingAfterTheLoginFallsBackToTheFirstRead) {
    auto vs = makeVs();
    addChannel(*vs, 5, ChannelType::Voice);
    DB::DbServerSettings s = tdb.real->GetServerSettings();
    s.welcome_message = "first read";
    s.entry_channel_id = 5;
    tdb.real->SaveServerSettings(s);

    auto h = connectTo(vs, 7);
    sayHello(*h);
    settingsReads = 0;
    failSettingsFromRead = 2;
    const auto got = requestAndWait(*h, authRequest("carol"));
    ASSERT_EQ(typesOf(got), kFullSequence) << "the user still gets its lists and its channel";
    EXPECT_EQ(chatOf(got[5]).text, "first read");
    EXPECT_EQ(h->session->channelId(), 5);
    EXPECT_GE(LogCapture::instance().countContaining("server settings unavailable during login"), 1u);
}

// ---------------------------------------------------------------- identity registration

TEST_F(LoginTest, RegisteringIdentities) {
    auto vs = makeVs();
    auto h = connectTo(vs, 7);
    logIn(*h, "dave", "", "dave-login-identity");
    const UserInfo before = h->session->info();

    struct Case {
        const char* name;
        std::string identity;
        std::string nickname;
        uint16_t result;
        std::string text;
        std::string storedNickname;  // empty: no row expected
    };
    const std::vector<Case> cases = {
        {"new identity", "id-A", "Anna", 0, "Identity registered on this server.", "Anna"},
        {"same identity again", "id-A", "Other", 23, "This identity is already registered on this server.", "Anna"},
        {"empty identity", "", "Anna", 8, "Registration failed.", ""},
        {"empty nickname", "id-B", "", 0, "Identity registered on this server.", "User"},
        // Bounded as at login.
        {"identity of 256 bytes, nickname of 64", std::string(256, 'i'), std::string(64, 'n'), 0,
         "Identity registered on this server.", std::string(64, 'n')},
        {"identity of 257 bytes", std::string(257, 'i'), "Anna", 8, "Registration failed.", ""},
        {"nickname of 65 bytes", "id-C", std::string(65, 'n'), 8, "Registration failed.", ""},
        {"64 KB identity and nickname", std::string(65535, 'x'), std::string(65535, 'y'), 8, "Registration failed.",
         ""},
        {"identity with a NUL byte", std::string("id-D\0", 5), "Anna", 8, "Registration failed.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserRegister, c.identity, c.nickname));
        if (c.result == 0) {
            ASSERT_EQ(typesOf(got), (Types{MessageType::IdentityStatus, MessageType::UserRegisterResult}));
            EXPECT_EQ(identityStatusOf(got[0]), 1);
        } else {
            ASSERT_EQ(typesOf(got), (Types{MessageType::UserRegisterResult}));
        }
        const auto [code, text] = resultTextOf(got.back());
        EXPECT_EQ(code, c.result);
        EXPECT_EQ(text, c.text);
        if (!c.storedNickname.empty()) {
            const auto row = tdb.real->GetUserByUniqueId(c.identity);
            ASSERT_TRUE(row);
            EXPECT_EQ(row->nickname, c.storedNickname);
            EXPECT_EQ(row->role, 0);
        } else {
            EXPECT_FALSE(tdb.real->GetUserByUniqueId(c.identity)) << "nothing is stored";
        }
    }
    EXPECT_EQ(LogCapture::instance().countContaining(std::string(257, 'i')), 0u) << "nor logged";
    EXPECT_EQ(LogCapture::instance().countContaining("[VServer 4] Identity '" + shortHash("id-A") + "' registered as 'Anna' (id="), 1u);
    // The request is about the identity it names, not about the session.
    const UserInfo after = h->session->info();
    EXPECT_EQ(after.nickname, before.nickname);
    EXPECT_EQ(after.role, before.role);
    EXPECT_EQ(h->session->identity(), "dave-login-identity");
}

TEST_F(LoginTest, RegisteringWithoutADatabaseFails) {
    auto vs = makeVs(false);
    auto h = connectTo(vs, 7);
    logIn(*h, "dave");
    const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserRegister, "id-A", "Anna"));
    ASSERT_EQ(typesOf(got), (Types{MessageType::UserRegisterResult}));
    EXPECT_EQ(resultTextOf(got[0]), (std::pair<uint16_t, std::string>{255, "Registration failed."}));
}

// ---------------------------------------------------------------- account login

TEST_F(LoginTest, AccountLoginChecksThePasswordHashAndReplacesTheRole) {
    // The stored hash is SHA-256 of "Korrafin:" + "secret1", written independently here.
    DB::DbRegisteredUser account;
    account.username = "Carol";
    account.password_hash = "d8b8339b37e1a8bd86cc0fd249d67a2a7e4a1170ef37aa480ea95f374e990eb7";
    const int64_t accountId = tdb.real->RegisterUser(account);
    ASSERT_GT(accountId, 0);
    ASSERT_TRUE(tdb.real->UpdateRegisteredUserRole(accountId, 1));

    auto vs = makeVs(true, "adminkey");
    auto other = connectTo(vs, 5);
    logIn(*other, "other");
    auto h = connectTo(vs, 7);
    logIn(*h, "carol", "adminkey");
    ASSERT_EQ(h->session->role(), UserRole::Admin);
    receivedSoFar(*other);

    struct Case {
        const char* name;
        std::string username;
        std::string password;
        uint16_t code;
        std::string text;
    };
    const std::vector<Case> refused = {
        {"unknown name", "nobody", "secret1", 21, "Username not found."},
        {"wrong password", "Carol", "secret2", 22, "Wrong password."},
        {"password in other letter case", "Carol", "Secret1", 22, "Wrong password."},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserLogin, c.username, c.password));
        ASSERT_EQ(typesOf(got), (Types{MessageType::UserLoginResult}));
        const auto l = loginResultOf(got[0]);
        EXPECT_EQ(l.code, c.code);
        EXPECT_EQ(l.token, "");
        EXPECT_EQ(l.text, c.text);
        EXPECT_EQ(h->session->role(), UserRole::Admin);
    }
    EXPECT_TRUE(receivedSoFar(*other).empty());

    // The name is matched without regard to letter case; the account's lower
    // role replaces the admin role of the key.
    const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserLogin, "cAROL", "secret1"));
    ASSERT_EQ(typesOf(got), (Types{MessageType::UserUpdated, MessageType::UserLoginResult}));
    EXPECT_EQ(userOf(got[0]).clientId, 7u);
    EXPECT_EQ(static_cast<int>(userOf(got[0]).role), 1);
    const auto l = loginResultOf(got[1]);
    EXPECT_EQ(l.code, 0);
    EXPECT_EQ(l.text, "Login successful.");
    EXPECT_TRUE(isToken64(l.token)) << l.token;
    EXPECT_EQ(h->session->role(), UserRole::Member);
    const auto stored = tdb.real->GetRegisteredUserByToken(l.token);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->id, accountId);
    EXPECT_GT(stored->last_login_at, 0);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 4] User 'cAROL' logged in (clientId=7)"), 1u);

    const auto seen = receivedSoFar(*other);
    ASSERT_EQ(typesOf(seen), (Types{MessageType::UserUpdated}));
    EXPECT_EQ(seen[0].payload, got[0].payload);

    // A second login issues a new token.
    const auto again = requestAndWait(*h, twoStringRequest(MessageType::UserLogin, "Carol", "secret1"));
    ASSERT_EQ(again.size(), 2u);
    EXPECT_NE(loginResultOf(again[1]).token, l.token);
}

TEST_F(LoginTest, AccountLoginWithoutADatabaseFails) {
    auto vs = makeVs(false);
    auto h = connectTo(vs, 7);
    logIn(*h, "carol");
    const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserLogin, "Carol", "secret1"));
    ASSERT_EQ(typesOf(got), (Types{MessageType::UserLoginResult}));
    const auto l = loginResultOf(got[0]);
    EXPECT_EQ(l.code, 255);
    EXPECT_EQ(l.token, "");
    EXPECT_EQ(l.text, "Login failed.");
}

TEST_F(LoginTest, AnAccountRoleBeyondTheRolesGivesNoRights) {
    DB::DbRegisteredUser account;
    account.username = "odd";
    account.password_hash = VirtualServer::hashPassword("secret1");
    const int64_t accountId = tdb.real->RegisterUser(account);
    ASSERT_TRUE(tdb.real->UpdateRegisteredUserRole(accountId, 77));
    auto vs = makeVs();
    auto h = connectTo(vs, 7);
    logIn(*h, "odd");
    const auto got = requestAndWait(*h, twoStringRequest(MessageType::UserLogin, "odd", "secret1"));
    ASSERT_EQ(typesOf(got), (Types{MessageType::UserUpdated, MessageType::UserLoginResult}));
    EXPECT_EQ(h->session->role(), UserRole::Guest);
}

}  // namespace
}  // namespace Korrafin::Test
