// Identities, accounts, bot tokens and privilege keys of a virtual server,
// against a real database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "protocol/ClientSession.h"
#include "support/LogCapture.h"
#include "support/Names.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

class AccountsTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }

    std::shared_ptr<VirtualServer> makeVs(bool withDb = true, bool withKeys = true) {
        return makeVServer(vsConfig(8, "Korrafin Server"), withDb ? tdb.db : nullptr, withKeys ? &keys : nullptr);
    }

    static Harness join(const std::shared_ptr<VirtualServer>& vs, uint32_t id, const std::string& nickname,
                        const std::string& identity, UserRole role = UserRole::Member) {
        return admit(vs, id, {.nickname = nickname, .role = role, .identity = identity});
    }

    TestDatabase tdb;
    Auth::PrivilegeKeyManager keys{tdb.db};
};

// ---------------------------------------------------------------- hashes and tokens

TEST_F(AccountsTest, PasswordHashesArePrefixedSha256InLowerCaseHex) {
    struct Case {
        std::string password;
        std::string hash;  // SHA-256 of "Korrafin:" + password, computed independently
    };
    const std::vector<Case> cases = {
        {"", "68c65fe17dd65fe9970b81ef446072ca30855b78f0dd201647e91f5953e13250"},
        {"secret1", "d8b8339b37e1a8bd86cc0fd249d67a2a7e4a1170ef37aa480ea95f374e990eb7"},
    };
    for (const auto& c : cases) EXPECT_EQ(VirtualServer::hashPassword(c.password), c.hash) << c.password;
}

TEST_F(AccountsTest, TokensAre64HexCharactersAndNeverRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string t = VirtualServer::generateToken();
        EXPECT_TRUE(isToken64(t)) << t;
        EXPECT_TRUE(seen.insert(t).second) << "repeated token " << t;
    }
    // Every one of the 64 positions varies: no part of a token is fixed.
    for (std::size_t pos = 0; pos < 64; ++pos) {
        std::set<char> chars;
        for (const auto& t : seen) chars.insert(t[pos]);
        EXPECT_GT(chars.size(), 4u) << "position " << pos;
    }
}

// ---------------------------------------------------------------- identities

TEST_F(AccountsTest, IdentityRegistrationAndLookup) {
    auto vs = makeVs();
    EXPECT_EQ(vs->registerIdentity("", "n", 0), ResultCode::BadName);
    EXPECT_FALSE(vs->isIdentityRegistered("id-1"));
    EXPECT_FALSE(vs->getUserByUniqueId("id-1"));

    EXPECT_EQ(vs->registerIdentity("id-1", "", 0), ResultCode::Ok);
    const auto row = vs->getUserByUniqueId("id-1");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->nickname, "User");
    EXPECT_EQ(row->role, 0);
    EXPECT_NEAR(static_cast<double>(row->created_at), static_cast<double>(unixNow()), 5.0);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 8] Identity '" + shortHash("id-1") + "' registered as 'User' (id=" +
                                                               std::to_string(row->id) + ")"),
              1u);

    EXPECT_EQ(vs->registerIdentity("id-1", "again", 0), ResultCode::IdentityExists);
    EXPECT_EQ(vs->getUserByUniqueId("id-1")->id, row->id) << "the stored row is not replaced";
    EXPECT_TRUE(vs->isIdentityRegistered("id-1"));
    EXPECT_FALSE(vs->isIdentityRegistered("ID-1")) << "identities match exactly";
    EXPECT_FALSE(vs->isIdentityRegistered(""));

    auto noDb = makeVs(false);
    EXPECT_EQ(noDb->registerIdentity("id-1", "n", 0), ResultCode::UnknownError);
    EXPECT_FALSE(noDb->isIdentityRegistered("id-1"));
    EXPECT_FALSE(noDb->getUserByUniqueId("id-1"));
}

// ---------------------------------------------------------------- accounts

TEST_F(AccountsTest, RegisteringAccounts) {
    auto vs = makeVs();
    struct Case {
        std::string username;
        std::string password;
        ResultCode result;
    };
    const std::vector<Case> cases = {
        {"", "secret1", ResultCode::BadName},
        {std::string(65, 'u'), "secret1", ResultCode::BadName},
        {std::string(64, 'u'), "secret1", ResultCode::Ok},
        {"Dora", "12345", ResultCode::PasswordTooShort},
        {"Dora", "123456", ResultCode::Ok},
        {"dORA", "abcdefgh", ResultCode::NameTaken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.username + "/" + c.password);
        EXPECT_EQ(vs->registerUser(c.username, c.password, 0), c.result);
    }
    const auto dora = tdb.real->GetRegisteredUserByUsername("Dora");
    ASSERT_TRUE(dora);
    EXPECT_EQ(dora->display_name, "Dora");
    EXPECT_EQ(dora->password_hash, VirtualServer::hashPassword("123456"));
    EXPECT_EQ(dora->role, 0);

    std::string token;
    EXPECT_EQ(vs->loginUser("DORA", "123456", 0, token), ResultCode::Ok);
    EXPECT_TRUE(isToken64(token));
    EXPECT_EQ(makeVs(false)->registerUser("Eve", "secret1", 0), ResultCode::UnknownError);
}

TEST_F(AccountsTest, LoggingInToAnAccount) {
    auto vs = makeVs();
    ASSERT_EQ(vs->registerUser("Frank", "password", 0), ResultCode::Ok);
    const int64_t accountId = tdb.real->GetRegisteredUserByUsername("Frank")->id;
    ASSERT_TRUE(tdb.real->UpdateRegisteredUserRole(accountId, 3));
    auto frank = join(vs, 7, "frank", "", UserRole::Owner);
    auto other = join(vs, 8, "other", "");

    std::string token = "untouched";
    EXPECT_EQ(vs->loginUser("nobody", "password", 7, token), ResultCode::UnknownUser);
    EXPECT_EQ(vs->loginUser("Frank", "Password", 7, token), ResultCode::WrongPassword);
    EXPECT_EQ(token, "untouched");
    EXPECT_TRUE(receivedSoFar(*other).empty());
    EXPECT_EQ(frank->session->role(), UserRole::Owner);

    EXPECT_EQ(vs->loginUser("frank", "password", 7, token), ResultCode::Ok);
    EXPECT_TRUE(isToken64(token));
    EXPECT_EQ(frank->session->role(), UserRole::Admin) << "the account's role replaces a higher one";
    const auto stored = tdb.real->GetRegisteredUserById(accountId);
    EXPECT_EQ(stored->session_token, token);
    EXPECT_GT(stored->last_login_at, 0);
    for (auto* h : {frank.get(), other.get()}) {
        const auto seen = receivedSoFar(*h);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::UserUpdated}));
        EXPECT_EQ(static_cast<int>(userOf(seen[0]).role), 3);
    }

    // A client id without a session still logs in; nobody is told.
    std::string second;
    EXPECT_EQ(vs->loginUser("Frank", "password", 4242, second), ResultCode::Ok);
    EXPECT_NE(second, token);
    EXPECT_TRUE(receivedSoFar(*other).empty());
    EXPECT_EQ(makeVs(false)->loginUser("Frank", "password", 7, token), ResultCode::UnknownError);
}

// ---------------------------------------------------------------- bot tokens

TEST_F(AccountsTest, BotTokensAreCreatedListedAndRevoked) {
    auto vs = makeVs();
    const auto created = vs->createBotToken("helper", "does chores", 0x80000001u);
    EXPECT_GT(created.id, 0);
    EXPECT_TRUE(isToken64(created.token));
    EXPECT_EQ(created.bot_name, "helper");
    EXPECT_EQ(created.description, "does chores");
    EXPECT_EQ(static_cast<uint32_t>(created.permissions), 0x80000001u);
    EXPECT_TRUE(created.active);
    EXPECT_NEAR(static_cast<double>(created.created_at), static_cast<double>(unixNow()), 5.0);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 8] Bot token created: name='helper', id=" +
                                                               std::to_string(created.id)),
              1u);

    const auto stored = tdb.real->GetBotToken(created.token);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->id, created.id);
    EXPECT_EQ(stored->bot_name, "helper");
    const auto other = vs->createBotToken("second", "", 0);
    EXPECT_NE(other.token, created.token);
    EXPECT_EQ(vs->getAllBotTokens().size(), 2u);

    vs->revokeBotToken(created.id);
    EXPECT_FALSE(tdb.real->GetBotToken(created.token));
    ASSERT_EQ(vs->getAllBotTokens().size(), 1u);
    vs->revokeBotToken(999999);
    EXPECT_EQ(vs->getAllBotTokens().size(), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 8] Bot token 999999 revoked"), 1u);

    auto noDb = makeVs(false);
    const auto unstored = noDb->createBotToken("loose", "", 1);
    EXPECT_EQ(unstored.id, 0);
    EXPECT_TRUE(isToken64(unstored.token));
    EXPECT_TRUE(noDb->getAllBotTokens().empty());
    noDb->revokeBotToken(5);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 8] Bot token 5 revoked"), 1u);
}

// ---------------------------------------------------------------- privilege keys

TEST_F(AccountsTest, PrivilegeKeysAreCreatedListedAndRevoked) {
    auto vs = makeVs();
    const auto key = vs->createPrivilegeKey(9, "for the new admin");
    EXPECT_GT(key.id, 0);
    EXPECT_TRUE(isToken64(key.token));
    EXPECT_EQ(key.type, "serveradmin") << "whatever the type byte";
    EXPECT_EQ(key.target_id, 0);
    EXPECT_FALSE(key.used);
    EXPECT_EQ(key.description, "for the new admin");
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info,
                                           "[VServer 8] Privilege key created id=" + std::to_string(key.id)),
              1u);
    const auto newer = vs->createPrivilegeKey(0, "");
    const auto listed = vs->getAllPrivilegeKeys();
    ASSERT_GE(listed.size(), 2u);
    EXPECT_EQ(listed[0].id, newer.id) << "newest first";

    EXPECT_FALSE(vs->revokePrivilegeKeyByToken("no-such-token"));
    EXPECT_TRUE(vs->revokePrivilegeKeyByToken(key.token));
    EXPECT_TRUE(tdb.real->GetPrivilegeKey(key.token)->used);
    EXPECT_TRUE(vs->revokePrivilegeKeyByToken(key.token)) << "a used key is still found";

    auto noDb = makeVs(false);
    EXPECT_EQ(noDb->createPrivilegeKey(0, "").id, 0);
    EXPECT_TRUE(noDb->getAllPrivilegeKeys().empty());
    EXPECT_FALSE(noDb->revokePrivilegeKeyByToken(newer.token));
}

TEST_F(AccountsTest, RedeemingAKeyMakesTheRedeemerOwnerAndPersistsIt) {
    auto vs = makeVs();
    const int64_t adminGroup = tdb.groupId("Server Admin");
    const auto key = vs->createPrivilegeKey(0, "");
    auto redeemer = join(vs, 7, "newowner", "owner-identity");
    auto other = join(vs, 8, "other", "");

    EXPECT_FALSE(vs->redeemPrivilegeKey("not-a-key", 7));
    EXPECT_EQ(redeemer->session->role(), UserRole::Member);
    const auto autoRow = tdb.real->GetUserByUniqueId("owner-identity");
    ASSERT_TRUE(autoRow) << "the identity registered on the way stays registered";
    EXPECT_EQ(autoRow->nickname, "newowner");
    EXPECT_EQ(LogCapture::instance().count(
                  LogLevel::Info, "[VServer 8] Auto-registered identity '" + shortHash("owner-identity") +
                                    "' for privilege key persistence"),
              1u);
    EXPECT_TRUE(receivedSoFar(*other).empty());

    ASSERT_TRUE(vs->redeemPrivilegeKey(key.token, 7));
    EXPECT_EQ(redeemer->session->role(), UserRole::Owner);
    const auto row = tdb.real->GetUserByUniqueId("owner-identity");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->id, autoRow->id) << "the existing row is used, not replaced";
    EXPECT_EQ(row->role, 4);
    const auto groups = tdb.real->GetUserServerGroups(row->id);
    EXPECT_NE(std::find(groups.begin(), groups.end(), adminGroup), groups.end());
    for (auto* h : {redeemer.get(), other.get()}) {
        const auto seen = receivedSoFar(*h);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::UserUpdated}));
        EXPECT_EQ(userOf(seen[0]).clientId, 7u);
        EXPECT_EQ(static_cast<int>(userOf(seen[0]).role), 4);
    }

    // One use only.
    auto late = join(vs, 9, "late", "late-identity");
    EXPECT_FALSE(vs->redeemPrivilegeKey(key.token, 9));
    EXPECT_EQ(late->session->role(), UserRole::Member);

    // The owner role comes back with the identity on the next login.
    redeemer.reset();
    auto returning = connectTo(vs, 30);
    const auto got = logIn(*returning, "back", "", "owner-identity");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(authResultOf(got[0]).role, 4);
}

TEST_F(AccountsTest, RedeemingWithoutIdentityKeyManagerOrSession) {
    auto vs = makeVs();
    const auto key = vs->createPrivilegeKey(0, "");
    auto anonymous = join(vs, 7, "anon", "");
    const std::size_t usersBefore = tdb.real->GetUserByUniqueId("") ? 1 : 0;
    ASSERT_TRUE(vs->redeemPrivilegeKey(key.token, 7));
    EXPECT_EQ(anonymous->session->role(), UserRole::Owner) << "owner for this connection";
    EXPECT_EQ(tdb.real->GetUserByUniqueId("") ? 1u : 0u, usersBefore) << "no row without an identity";

    const auto second = vs->createPrivilegeKey(0, "");
    EXPECT_FALSE(vs->redeemPrivilegeKey(second.token, 4242)) << "no such session";
    auto keyless = makeVs(true, false);
    auto h = join(keyless, 8, "k", "k-identity");
    EXPECT_FALSE(keyless->redeemPrivilegeKey(second.token, 8));
    EXPECT_FALSE(tdb.real->GetPrivilegeKey(second.token)->used);
}

// Every path that stores or looks up an identity, a name or a secret holds
// it to the login's bounds, and refuses a secret holding a NUL (elsewhere it
// would be cut short into another secret), with that path's own failure.
TEST_F(AccountsTest, EveryPathBoundsIdentitiesAndNamesAndRefusesSecretsWithANul) {
    auto vs = makeVs();
    const std::string longIdentity(257, 'i');
    const std::string hugeText(65535, 'x');
    const std::string nulIdentity("id\0x", 4);

    // Registration.
    EXPECT_EQ(vs->registerIdentity(std::string(256, 'i'), std::string(64, 'n'), 0), ResultCode::Ok);
    for (const auto& [identity, nickname] : std::vector<std::pair<std::string, std::string>>{
             {longIdentity, "n"}, {hugeText, hugeText}, {nulIdentity, "n"}, {"id-ok", std::string(65, 'n')}}) {
        EXPECT_EQ(vs->registerIdentity(identity, nickname, 0), ResultCode::BadName) << identity.size();
        EXPECT_FALSE(tdb.real->GetUserByUniqueId(identity));
    }
    EXPECT_FALSE(vs->isIdentityRegistered(nulIdentity));

    // Accounts.
    EXPECT_EQ(vs->registerUser("Gina", std::string("secret\0x", 8), 0), ResultCode::PasswordTooShort);
    EXPECT_FALSE(tdb.real->GetRegisteredUserByUsername("Gina"));
    DB::DbRegisteredUser account;
    account.username = "Hank";
    account.password_hash = VirtualServer::hashPassword(std::string("se\0cret1", 8));
    ASSERT_GT(tdb.real->RegisterUser(account), 0);
    std::string token;
    EXPECT_EQ(vs->loginUser("Hank", std::string("se\0cret1", 8), 0, token), ResultCode::WrongPassword);
    EXPECT_EQ(vs->loginUser(hugeText, "secret1", 0, token), ResultCode::UnknownUser);
    EXPECT_TRUE(token.empty());

    // Keys: a token with a NUL is no key, stored or not.
    DB::DbPrivilegeKey stored;
    stored.token = std::string("KEY\0X", 5);
    stored.type = "serveradmin";
    ASSERT_GT(tdb.real->CreatePrivilegeKey(stored), 0);
    auto member = join(vs, 7, "member", "member-identity");
    EXPECT_FALSE(vs->redeemPrivilegeKey(stored.token, 7));
    EXPECT_FALSE(vs->revokePrivilegeKeyByToken(stored.token));
    EXPECT_FALSE(tdb.real->GetPrivilegeKey(stored.token)->used);
    EXPECT_EQ(member->session->role(), UserRole::Member);

    // Redemption stores the session's identity and nickname: only what a
    // login would have let in.
    const auto key = vs->createPrivilegeKey(0, "");
    auto longId = join(vs, 8, "long", longIdentity);
    auto longNick = join(vs, 9, std::string(65, 'n'), "nick-identity");
    EXPECT_FALSE(vs->redeemPrivilegeKey(key.token, 8));
    EXPECT_FALSE(vs->redeemPrivilegeKey(key.token, 9));
    EXPECT_FALSE(tdb.real->GetUserByUniqueId(longIdentity));
    EXPECT_FALSE(tdb.real->GetUserByUniqueId("nick-identity"));
    EXPECT_FALSE(tdb.real->GetPrivilegeKey(key.token)->used) << "the key stays for a sound redeemer";
    EXPECT_TRUE(vs->redeemPrivilegeKey(key.token, 7));
}

}  // namespace
}  // namespace Korrafin::Test
