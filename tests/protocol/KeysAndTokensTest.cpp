// Privilege key and bot token requests over real sockets, against a virtual
// server with a real database and key manager: who may, the lists, creation,
// revocation and redemption, and lists that stay within what a client can
// receive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "support/LogCapture.h"
#include "support/Names.h"
#include "support/RawSqlite.h"
#include "support/Requests.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

struct KeyRecord {
    std::string token;
    uint8_t role = 0;
    std::string description;
    std::string createdAt;
};

struct BotRecord {
    uint64_t id = 0;
    std::string name;
    std::string description;
    uint32_t permissions = 0;
    uint8_t active = 0;
    int64_t createdAt = 0;
};

struct BotCreated {
    uint8_t ok = 0;
    uint64_t id = 0;
    std::string name;
    std::string token;
    std::string description;
    uint32_t permissions = 0;
};

// Whole lists; a count that does not match the records fails.
std::vector<KeyRecord> keysOf(const Packet& p) {
    return listOf(p, MessageType::PrivKeyList, [](PacketReader& r) {
        KeyRecord k;
        k.token = r.readStr();
        k.role = r.readLE<uint8_t>();
        k.description = r.readStr();
        k.createdAt = r.readStr();
        return k;
    });
}

std::vector<BotRecord> botsOf(const Packet& p) {
    return listOf(p, MessageType::BotTokenList, [](PacketReader& r) {
        BotRecord b;
        b.id = r.readLE<uint64_t>();
        b.name = r.readStr();
        b.description = r.readStr();
        b.permissions = r.readLE<uint32_t>();
        b.active = r.readLE<uint8_t>();
        b.createdAt = r.readLE<int64_t>();
        return b;
    });
}

BotCreated botCreatedOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::BotTokenCreated);
    auto r = p.reader();
    BotCreated c;
    c.ok = r.readLE<uint8_t>();
    if (c.ok) {
        c.id = r.readLE<uint64_t>();
        c.name = r.readStr();
        c.token = r.readStr();
        c.description = r.readStr();
        c.permissions = r.readLE<uint32_t>();
    }
    EXPECT_EQ(r.remaining(), 0u);
    return c;
}

std::pair<uint8_t, std::string> useResultOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::UsePrivilegeKeyResult);
    auto r = p.reader();
    const auto ok = r.readLE<uint8_t>();
    auto text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return {ok, text};
}

// The one packet of a reply.
Packet only(const std::vector<Packet>& got) {
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? Packet{} : got.front();
}

class KeysAndTokensTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        admin = &world.join(10, "root", UserRole::Admin);
        member = &world.join(20, "newbie", UserRole::Member);
        bystander = &world.join(30, "bystander", UserRole::Member);
    }

    std::vector<KeyRecord> listKeys() {
        return keysOf(only(world.request(*admin, packet(MessageType::PrivKeyListRequest))));
    }
    std::vector<BotRecord> listBots() {
        return botsOf(only(world.request(*admin, packet(MessageType::BotTokenListRequest))));
    }
    std::string newKey(const std::string& description = "") {
        const auto keys = keysOf(only(world.request(*admin, keyCreateRequest(3, description))));
        return keys.empty() ? std::string() : keys.front().token;
    }

    VServerWorld world;
    SessionHarness* admin = nullptr;
    SessionHarness* member = nullptr;
    SessionHarness* bystander = nullptr;
};

// ---------------------------------------------------------------- who may

TEST_F(KeysAndTokensTest, AdministrativeRequestsByRole) {
    struct Request {
        std::vector<uint8_t> packet;
        const char* refusal;
        MessageType answer;
    };
    const std::vector<Request> requests = {
        {packet(MessageType::PrivKeyListRequest), "Admin role required to manage privilege keys",
         MessageType::PrivKeyList},
        {keyCreateRequest(3), "Admin role required to create privilege keys", MessageType::PrivKeyList},
        {stringRequest(MessageType::PrivKeyRevoke, "nope"), "Admin role required to revoke privilege keys",
         MessageType::PrivKeyList},
        {packet(MessageType::BotTokenListRequest), "Admin role required to manage bot tokens",
         MessageType::BotTokenList},
        {botCreateRequest("bot", "", 0), "Admin role required to create bot tokens", MessageType::BotTokenCreated},
    };
    uint32_t id = 100;
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        auto& who = world.join(++id, std::string("as-") + roleText(role), role);
        const bool isAdmin = static_cast<uint8_t>(role) > 2;
        for (const auto& r : requests) {
            SCOPED_TRACE(r.refusal);
            const Packet got = only(world.request(who, r.packet));
            if (isAdmin) {
                EXPECT_EQ(got.type, r.answer);
            } else {
                ASSERT_EQ(got.type, MessageType::Error);
                EXPECT_EQ(errorText(got), r.refusal);
            }
        }
        // Revoking a bot token has no answer of its own when allowed.
        const auto revoke = world.request(who, botRevokeRequest(999));
        if (isAdmin) {
            EXPECT_TRUE(revoke.empty());
        } else {
            ASSERT_EQ(revoke.size(), 1u);
            EXPECT_EQ(errorText(revoke[0]), "Admin role required to revoke bot tokens");
        }
    }
    // Nothing was created by the refused requests, and the lists went to the requester only.
    EXPECT_EQ(world.database->real->GetAllPrivilegeKeys().size(), 2u);
    EXPECT_EQ(world.database->real->GetAllBotTokens().size(), 2u);
    EXPECT_TRUE(receivedSoFar(*bystander).empty());
}

// ---------------------------------------------------------------- privilege keys

TEST_F(KeysAndTokensTest, CreatedKeyLeadsTheListWithRoleThree) {
    EXPECT_TRUE(listKeys().empty());

    // Only the role byte: the description is empty.
    auto keys = keysOf(only(world.request(*admin, keyCreateRequest(1))));
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(isToken64(keys[0].token)) << keys[0].token;
    EXPECT_EQ(keys[0].role, 3) << "every key is listed as role 3";
    EXPECT_EQ(keys[0].description, "");
    EXPECT_NEAR(std::stoll(keys[0].createdAt), unixNow(), 5);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 10 requested privilege key list (1 keys)"), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 10 (root) created privilege key"), 1u);

    keys = keysOf(only(world.request(*admin, keyCreateRequest(0, "for the new moderator"))));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].description, "for the new moderator") << "newest first";
    EXPECT_EQ(keys[0].role, 3);
    EXPECT_NE(keys[0].token, keys[1].token);
    EXPECT_EQ(listKeys().size(), 2u);
    EXPECT_TRUE(receivedSoFar(*bystander).empty()) << "lists are not pushed to others";
}

TEST_F(KeysAndTokensTest, RedeemedKeyMakesTheMemberOwnerOnce) {
    const std::string token = newKey("welcome");
    ASSERT_TRUE(isToken64(token));

    auto got = world.request(*member, stringRequest(MessageType::UsePrivilegeKey, token));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, MessageType::UserUpdated);
    EXPECT_EQ(useResultOf(got[1]), std::make_pair(uint8_t{1}, std::string("Privilege key accepted. Role updated.")));
    EXPECT_EQ(member->session->role(), UserRole::Owner);
    for (SessionHarness* m : {admin, bystander}) {
        const auto seen = receivedSoFar(*m);
        ASSERT_EQ(typesOf(seen), std::vector<MessageType>{MessageType::UserUpdated});
        const UserInfo u = userOf(seen[0]);
        EXPECT_EQ(u.clientId, 20u);
        EXPECT_EQ(u.role, UserRole::Owner);
    }
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 20 (newbie) used privilege key: accepted"), 1u);

    // The same key a second time, by somebody else: refused, nothing announced.
    got = world.request(*bystander, stringRequest(MessageType::UsePrivilegeKey, token));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(useResultOf(got[0]), std::make_pair(uint8_t{0}, std::string("Invalid or already-used key.")));
    EXPECT_EQ(bystander->session->role(), UserRole::Member);
    EXPECT_TRUE(receivedSoFar(*admin).empty());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 30 (bystander) used privilege key: rejected"), 1u);
}

TEST_F(KeysAndTokensTest, RevokedKeyStaysListedAndIsRefused) {
    const std::string token = newKey("revoke me");
    const auto keys = keysOf(only(world.request(*admin, stringRequest(MessageType::PrivKeyRevoke, token))));
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].token, token);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 10 (root) revoked privilege key"), 1u);

    const auto got = world.request(*member, stringRequest(MessageType::UsePrivilegeKey, token));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(useResultOf(got[0]).second, "Invalid or already-used key.");
    EXPECT_EQ(member->session->role(), UserRole::Member);

    // An unknown token changes nothing and still answers with the list.
    EXPECT_EQ(keysOf(only(world.request(*admin, stringRequest(MessageType::PrivKeyRevoke, "unknown")))).size(), 1u);
}

TEST_F(KeysAndTokensTest, UnknownKeyIsRefused) {
    const auto got = world.request(*member, stringRequest(MessageType::UsePrivilegeKey, "not-a-key"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(useResultOf(got[0]), std::make_pair(uint8_t{0}, std::string("Invalid or already-used key.")));
}

TEST(KeysWithoutServerTest, RedemptionAnswersNotReadyOrRefused) {
    // Authenticated but admitted nowhere.
    SessionHarness lone(70, SessionHarness::Transport::Unix);
    ASSERT_TRUE(lone.session->changeState(SessionState::Connected, SessionState::Authenticated));
    lone.start();
    auto got = requestAndWait(lone, stringRequest(MessageType::UsePrivilegeKey, "x"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(useResultOf(got[0]), std::make_pair(uint8_t{0}, std::string("Server not ready.")));

    // A virtual server without a key manager refuses every key.
    VServerWorld world(9, /*withDatabase=*/false);
    auto& m = world.join(71, "m", UserRole::Member);
    got = world.request(m, stringRequest(MessageType::UsePrivilegeKey, "x"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(useResultOf(got[0]), std::make_pair(uint8_t{0}, std::string("Invalid or already-used key.")));
}

// ---------------------------------------------------------------- bot tokens

TEST_F(KeysAndTokensTest, BotTokenNameLength) {
    const std::vector<std::pair<std::size_t, bool>> cases = {{0, false}, {1, true}, {64, true}, {65, false}};
    std::size_t stored = 0;
    for (const auto& [length, accepted] : cases) {
        SCOPED_TRACE(length);
        const std::string name(length, 'n');
        const auto got = world.request(*admin, botCreateRequest(name, "desc", 0x15));
        ASSERT_EQ(got.size(), 1u);
        if (!accepted) {
            EXPECT_EQ(got[0].payload, std::vector<uint8_t>{0}) << "the refusal is the single byte 0";
        } else {
            ++stored;
            const auto c = botCreatedOf(got[0]);
            EXPECT_EQ(c.ok, 1);
            EXPECT_GT(c.id, 0u);
            EXPECT_EQ(c.name, name);
            EXPECT_TRUE(isToken64(c.token)) << c.token;
            EXPECT_EQ(c.description, "desc");
            EXPECT_EQ(c.permissions, 0x15u);
        }
        EXPECT_EQ(world.database->real->GetAllBotTokens().size(), stored);
    }
}

TEST_F(KeysAndTokensTest, BotTokenListShowsEverythingButTheTokenAndRevokeRemoves) {
    const auto a = botCreatedOf(only(world.request(*admin, botCreateRequest("alpha", "first bot", 7))));
    const auto b = botCreatedOf(only(world.request(*admin, botCreateRequest("beta", "", 0xFFFFFFFFu))));
    ASSERT_EQ(a.ok, 1);
    ASSERT_EQ(b.ok, 1);
    EXPECT_EQ(LogCapture::instance().count(
                  LogLevel::Info, "Client 10 (root) created bot token 'alpha' (id=" + std::to_string(a.id) + ")"),
              1u);

    const auto listPacket = only(world.request(*admin, packet(MessageType::BotTokenListRequest)));
    const auto bots = botsOf(listPacket);
    ASSERT_EQ(bots.size(), 2u);
    EXPECT_EQ(bots[0].id, a.id);
    EXPECT_EQ(bots[0].name, "alpha");
    EXPECT_EQ(bots[0].description, "first bot");
    EXPECT_EQ(bots[0].permissions, 7u);
    EXPECT_EQ(bots[0].active, 1);
    EXPECT_NEAR(bots[0].createdAt, unixNow(), 5);
    EXPECT_EQ(bots[1].id, b.id);
    EXPECT_EQ(bots[1].permissions, 0xFFFFFFFFu);
    const std::string wire(listPacket.payload.begin(), listPacket.payload.end());
    EXPECT_EQ(wire.find(a.token), std::string::npos) << "the list never carries a token";
    EXPECT_EQ(wire.find(b.token), std::string::npos);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 10 requested bot token list (2 tokens)"), 1u);

    EXPECT_TRUE(world.request(*admin, botRevokeRequest(a.id)).empty());
    EXPECT_EQ(
        LogCapture::instance().count(LogLevel::Info, "Client 10 (root) revoked bot token id=" + std::to_string(a.id)),
        1u);
    auto left = listBots();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, b.id);

    // An id without a row: no answer, nothing changes.
    EXPECT_TRUE(world.request(*admin, botRevokeRequest(999999)).empty());
    EXPECT_EQ(listBots().size(), 1u);
}

// ---------------------------------------------------------------- list bounds

TEST_F(KeysAndTokensTest, KeyListStaysWithinThePacketLimitNewestFirst) {
    // 100 keys with descriptions of 60000 bytes: about 6 MB in all.
    RawSqlite raw(world.database->path());
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
        "INSERT INTO PrivilegeKeys(token, type, created_at, description) "
        "SELECT printf('key%03d', i), 'serveradmin', 1700000000 + i, hex(zeroblob(30000)) FROM n");

    const auto got = world.request(*admin, packet(MessageType::PrivKeyListRequest));
    ASSERT_EQ(got.size(), 1u) << "the list must arrive";
    EXPECT_LE(got[0].payload.size(), PacketHeader::kMaxPayload);
    const auto keys = keysOf(got[0]);
    ASSERT_GT(keys.size(), 60u) << "as many as fit";
    ASSERT_LT(keys.size(), 100u);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "key%03zu", 100 - i);
        EXPECT_EQ(keys[i].token, expected) << "newest first, none skipped";
        EXPECT_EQ(keys[i].description.size(), 60000u);
    }
}

TEST_F(KeysAndTokensTest, BotTokenListNeverOverrunsItsCount) {
    RawSqlite raw(world.database->path());
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 70000) "
        "INSERT INTO BotTokens(token, bot_name, created_at) SELECT 'tok' || i, 'b' || i, i FROM n");

    const auto got = world.request(*admin, packet(MessageType::BotTokenListRequest));
    ASSERT_EQ(got.size(), 1u);
    const auto bots = botsOf(got[0]);
    ASSERT_EQ(bots.size(), 65535u) << "as many as the count field can say";
    EXPECT_EQ(bots.front().name, "b1");
    EXPECT_EQ(bots.back().name, "b65535");
}

// ---------------------------------------------------------------- malformed

TEST_F(KeysAndTokensTest, ShortPayloadsChangeNothing) {
    auto raw = [](MessageType t, std::vector<uint8_t> payload) { return packet(t, payload); };
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"key create without role", raw(MessageType::PrivKeyCreate, {})},
        {"key create with one byte after the role", raw(MessageType::PrivKeyCreate, {3, 5})},
        {"key create with cut description", raw(MessageType::PrivKeyCreate, {3, 5, 0, 'a'})},
        {"revoke with cut token", raw(MessageType::PrivKeyRevoke, {4, 0, 'a'})},
        {"bot create without permissions", raw(MessageType::BotTokenCreate, {1, 0, 'n', 0, 0})},
        {"bot create with half the permissions", raw(MessageType::BotTokenCreate, {1, 0, 'n', 0, 0, 1, 2})},
        {"bot revoke with seven bytes", raw(MessageType::BotTokenRevoke, {1, 0, 0, 0, 0, 0, 0})},
    };
    for (const auto& [what, packet] : cases) {
        SCOPED_TRACE(what);
        LogCapture::instance().clear();
        EXPECT_TRUE(world.request(*admin, packet).empty());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                               "Client 10: packet processing error: PacketReader: buffer underflow"),
                  1u);
    }
    LogCapture::instance().clear();
    EXPECT_TRUE(world.request(*member, raw(MessageType::UsePrivilegeKey, {2, 0, 'a'})).empty());
    EXPECT_EQ(LogCapture::instance().countContaining("Client 20: packet processing error: "), 1u);

    EXPECT_TRUE(world.database->real->GetAllPrivilegeKeys().empty());
    EXPECT_TRUE(world.database->real->GetAllBotTokens().empty());
}

}  // namespace
}  // namespace Korrafin::Test
