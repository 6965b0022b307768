// Every group of storage operations against a real file: round trips, the
// exact rules of each operation, failing writes and the read snapshot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/SqliteDatabase.h"
#include "support/LogCapture.h"
#include "support/Names.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"
#include "support/TestDatabase.h"
#include "support/Time.h"

using namespace Korrafin;
using Korrafin::Test::LogCapture;
using Korrafin::Test::numbered;
using Korrafin::Test::permissionRow;
using Korrafin::Test::RawSqlite;
using Korrafin::Test::TempDir;
using Korrafin::Test::unixNow;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

class StoreTest : public testing::Test {
protected:
    StoreTest() : path(tmp.file("store.db")), db(path) {
        Korrafin::Test::initQuietly(db);
        LogCapture::instance().clear();
    }

    // Runs `op`, expecting the storage error text for `context`.
    template <typename Op>
    void expectStorageError(Op op, const std::string& context, const std::string& sqliteText = "constraint failed") {
        const std::string text = "SQLite error in [" + context + "]: " + sqliteText;
        LogCapture::instance().clear();
        try {
            op();
            ADD_FAILURE() << "expected " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Error, text), 1u) << text;
    }

    TempDir tmp;
    std::string path;
    DB::SqliteDatabase db;
    RawSqlite raw{path};
};

DB::DbChannel fullChannel() {
    DB::DbChannel c;
    c.id = 99;
    c.parent_id = 1;
    c.name = "Talk";
    c.description = "desc";
    c.password = "pw";
    c.max_users = 12;
    c.sort_order = 4;
    c.is_permanent = false;
    c.has_password = true;
    c.required_role = 2;
    c.channel_type = 1;
    c.log_mode = true;
    c.icon_url = "icon";
    c.banner_url = "banner";
    c.text_color = "#fff";
    c.message_count = 7;
    return c;
}

void expectSameChannel(const DB::DbChannel& a, const DB::DbChannel& b) {
    EXPECT_EQ(a.parent_id, b.parent_id);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.password, b.password);
    EXPECT_EQ(a.max_users, b.max_users);
    EXPECT_EQ(a.sort_order, b.sort_order);
    EXPECT_EQ(a.is_permanent, b.is_permanent);
    EXPECT_EQ(a.has_password, b.has_password);
    EXPECT_EQ(a.required_role, b.required_role);
    EXPECT_EQ(a.channel_type, b.channel_type);
    EXPECT_EQ(a.log_mode, b.log_mode);
    EXPECT_EQ(a.icon_url, b.icon_url);
    EXPECT_EQ(a.banner_url, b.banner_url);
    EXPECT_EQ(a.text_color, b.text_color);
}

DB::DbPrivilegeKey key(const std::string& token, const std::string& type = "serveradmin") {
    DB::DbPrivilegeKey k;
    k.token = token;
    k.type = type;
    return k;
}

DB::DbRegisteredUser account(const std::string& name) {
    DB::DbRegisteredUser u;
    u.username = name;
    u.password_hash = "hash-" + name;
    return u;
}

DB::DbBotToken botToken(const std::string& token, bool active = true) {
    DB::DbBotToken t;
    t.token = token;
    t.bot_name = "bot-" + token;
    t.description = "d";
    t.permissions = 5;
    t.active = active;
    t.last_used_at = 77;
    return t;
}

}  // namespace

// ---------------------------------------------------------------------------
// Users

TEST_F(StoreTest, UsersRoundTripAndReplaceByIdentity) {
    DB::DbUser u;
    u.id = 1234;  // ignored
    u.nickname = "Alice";
    u.unique_identifier = "UID-a";
    u.role = 3;
    const int64_t before = unixNow();
    const int64_t id = db.SaveUser(u);
    EXPECT_EQ(id, 1);
    auto got = db.GetUserByUniqueId("UID-a");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_EQ(got->nickname, "Alice");
    EXPECT_EQ(got->role, 3);
    EXPECT_GE(got->created_at, before);
    EXPECT_LE(got->created_at, unixNow());
    EXPECT_FALSE(db.GetUserByUniqueId("uid-a")) << "identities match case-sensitively";
    EXPECT_EQ(db.GetUserById(id)->unique_identifier, "UID-a");

    db.UpdateUserNickname(id, "Alicia");
    db.UpdateUserRole(id, 4);
    EXPECT_EQ(db.GetUserById(id)->nickname, "Alicia");
    EXPECT_EQ(db.GetUserById(id)->role, 4);
    EXPECT_NO_THROW(db.UpdateUserRole(999, 1));

    // The same identity again replaces the row under a new id.
    u.created_at = 50;
    const int64_t again = db.SaveUser(u);
    EXPECT_NE(again, id);
    EXPECT_FALSE(db.GetUserById(id));
    EXPECT_EQ(db.GetUserByUniqueId("UID-a")->created_at, 50);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM Users"), 1);
}

// ---------------------------------------------------------------------------
// Channels and their content

TEST_F(StoreTest, ChannelsRoundTripIgnoringIdAndCount) {
    const DB::DbChannel c = fullChannel();
    const int64_t id = db.SaveChannel(c);
    EXPECT_EQ(id, 2);  // after the seeded Lobby
    auto got = db.GetChannelById(id);
    ASSERT_TRUE(got);
    expectSameChannel(*got, c);
    EXPECT_EQ(got->message_count, 0);

    // Update rewrites every editable column but leaves the count alone.
    raw.exec("UPDATE Channels SET message_count = 41 WHERE id = 2");
    DB::DbChannel changed;
    changed.id = id;
    changed.name = "Renamed";
    changed.message_count = 1000;
    db.UpdateChannel(changed);
    got = db.GetChannelById(id);
    expectSameChannel(*got, changed);
    EXPECT_EQ(got->message_count, 41);
    EXPECT_EQ(db.IncrementChannelMessageCount(id), 42);
    EXPECT_EQ(db.IncrementChannelMessageCount(12345), 0);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM Channels WHERE message_count <> 0"), 1);

    changed.id = 777;  // no such row: nothing happens
    EXPECT_NO_THROW(db.UpdateChannel(changed));
    EXPECT_FALSE(db.GetChannelById(777));
}

TEST_F(StoreTest, DeleteChannelTakesItsContentButNotItsChildren) {
    DB::DbChannel child;
    child.name = "Child";
    child.parent_id = 1;
    const int64_t childId = db.SaveChannel(child);
    db.SetChannelContent(1, R"({"posts":[]})");
    EXPECT_EQ(db.GetChannelContent(1), std::optional<std::string>(R"({"posts":[]})"));
    db.SetChannelContent(1, "second");
    EXPECT_EQ(db.GetChannelContent(1), std::optional<std::string>("second"));
    EXPECT_GE(raw.scalar("SELECT updated_at FROM ChannelContent WHERE channel_id = 1"), unixNow() - 5);

    db.DeleteChannel(1);
    EXPECT_FALSE(db.GetChannelContent(1));
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM ChannelContent"), 0);
    ASSERT_TRUE(db.GetChannelById(childId));
    EXPECT_EQ(db.GetChannelById(childId)->parent_id, 1);
    EXPECT_NO_THROW(db.DeleteChannel(1));
}

TEST_F(StoreTest, ChannelContentEdgeCases) {
    EXPECT_FALSE(db.GetChannelContent(1));
    db.SetChannelContent(1, "");
    const auto empty = db.GetChannelContent(1);
    ASSERT_TRUE(empty) << "stored empty content is not missing content";
    EXPECT_EQ(*empty, "");
    expectStorageError([&] { db.SetChannelContent(5000, "{}"); }, "SetChannelContent");
    // Every byte is kept, an embedded NUL and what follows it included.
    db.SetChannelContent(1, std::string("ab\0cd", 5));
    EXPECT_EQ(db.GetChannelContent(1), std::optional<std::string>(std::string("ab\0cd", 5)));
}

// What is stored is what comes back, byte for byte, through every kind of
// text column: a NUL inside no longer cuts a value short.
TEST_F(StoreTest, TextsWithNulBytesComeBackWhole) {
    const std::string nul("\0s3cret", 7);
    const std::string mid("a\0b\xC3\xA4\0", 6);

    DB::DbChannel c = fullChannel();
    c.name = mid;
    c.description = nul;
    c.password = nul;
    c.icon_url = mid;
    const int64_t channelId = db.SaveChannel(c);
    db.SetSetting("key", nul);
    DB::DbServerSettings settings;
    settings.welcome_message = mid;
    db.SaveServerSettings(settings);
    DB::DbUser u;
    u.nickname = mid;
    u.unique_identifier = nul;
    db.SaveUser(u);
    DB::DbRegisteredUser account;
    account.username = mid;
    account.password_hash = "h";
    account.display_name = nul;
    db.RegisterUser(account);

    // A fresh object reads the file, as the next start would.
    DB::SqliteDatabase again(path);
    Korrafin::Test::initQuietly(again);
    const struct {
        const char* what;
        std::optional<std::string> got;
        std::string want;
    } cases[] = {
        {"channel name", again.GetChannelById(channelId)->name, mid},
        {"channel description", again.GetChannelById(channelId)->description, nul},
        {"channel password", again.GetChannelById(channelId)->password, nul},
        {"channel icon", again.GetChannelById(channelId)->icon_url, mid},
        {"channel from the list", again.GetAllChannels().back().password, nul},
        {"setting", again.GetSetting("key", "default"), nul},
        {"server settings", again.GetServerSettings().welcome_message, mid},
        {"user nickname", again.GetUserByUniqueId(nul) ? again.GetUserByUniqueId(nul)->nickname : "", mid},
        {"account display name",
         again.GetRegisteredUserByUsername(mid) ? again.GetRegisteredUserByUsername(mid)->display_name : "", nul},
    };
    for (const auto& k : cases) EXPECT_EQ(k.got, k.want) << k.what;
    EXPECT_FALSE(again.GetUserByUniqueId(std::string(1, '\0'))) << "a prefix finds nothing";
    EXPECT_FALSE(again.GetRegisteredUserByUsername("a")) << "a prefix finds nothing";
    EXPECT_EQ(raw.scalar("SELECT length(CAST(password AS BLOB)) FROM Channels WHERE id = " +
                         std::to_string(channelId)),
              7);
}

TEST_F(StoreTest, ReorderChannelsSetsPositionsInOneTransaction) {
    for (int i = 0; i < 4; ++i) {
        DB::DbChannel c;
        c.name = numbered("c", i);
        c.sort_order = 9;
        db.SaveChannel(c);  // ids 2..5
    }
    db.ReorderChannels({5, 3, 4242});
    EXPECT_EQ(db.GetChannelById(5)->sort_order, 0);
    EXPECT_EQ(db.GetChannelById(3)->sort_order, 1);
    EXPECT_EQ(db.GetChannelById(2)->sort_order, 9);
    EXPECT_NO_THROW(db.ReorderChannels({}));

    // A failure at the second position undoes the first.
    raw.exec("CREATE TRIGGER no_four BEFORE UPDATE ON Channels WHEN NEW.id = 4 BEGIN SELECT RAISE(ABORT, 'no'); END;");
    expectStorageError([&] { db.ReorderChannels({2, 4}); }, "ReorderChannels");
    EXPECT_EQ(db.GetChannelById(2)->sort_order, 9);
}

// ---------------------------------------------------------------------------
// Server settings

TEST_F(StoreTest, ServerSettingsDefaultsAndRoundTrip) {
    const DB::DbServerSettings d = db.GetServerSettings();
    EXPECT_EQ(d.name, "");
    EXPECT_EQ(d.accent_color, 0x3B82F6u);
    EXPECT_EQ(d.notify_channel_id, 0);
    EXPECT_EQ(d.entry_channel_id, 1);

    DB::DbServerSettings s;
    s.name = "N";
    s.description = "D";
    s.icon_url = "I";
    s.banner_url = "B";
    s.accent_color = 0xFF00ABCDu;  // bits above 24 are dropped
    s.notify_channel_id = 65535;
    s.welcome_message = "W";
    s.entry_channel_id = 7;
    s.badge_config_json = "{\"a\":1}";
    raw.exec("INSERT INTO ServerSettings VALUES ('unrelated', 'x')");
    db.SaveServerSettings(s);

    EXPECT_THAT(raw.rows("SELECT key, value FROM ServerSettings ORDER BY key"),
                ElementsAre(ElementsAre("accent_color", "00ABCD"), ElementsAre("badge_config_json", "{\"a\":1}"),
                            ElementsAre("banner_url", "B"), ElementsAre("description", "D"),
                            ElementsAre("entry_channel_id", "7"), ElementsAre("icon_url", "I"),
                            ElementsAre("name", "N"), ElementsAre("notify_channel_id", "65535"),
                            ElementsAre("unrelated", "x"), ElementsAre("welcome_message", "W")));
    const DB::DbServerSettings r = db.GetServerSettings();
    EXPECT_EQ(r.name, "N");
    EXPECT_EQ(r.description, "D");
    EXPECT_EQ(r.icon_url, "I");
    EXPECT_EQ(r.banner_url, "B");
    EXPECT_EQ(r.accent_color, 0x00ABCDu);
    EXPECT_EQ(r.notify_channel_id, 65535);
    EXPECT_EQ(r.welcome_message, "W");
    EXPECT_EQ(r.entry_channel_id, 7);
    EXPECT_EQ(r.badge_config_json, "{\"a\":1}");
}

TEST_F(StoreTest, StoredSettingTextsParseOrKeepTheDefault) {
    struct Case {
        const char* key;
        const char* stored;
        uint32_t expected;
    };
    const Case cases[] = {
        {"accent_color", "3B82F6", 0x3B82F6},  {"accent_color", "3b82f6", 0x3B82F6},
        {"accent_color", "0x3B82F6", 0x3B82F6}, {"accent_color", "#123456", 0x3B82F6},
        {"accent_color", "00000A", 0xA},        {"accent_color", "-1", 0x3B82F6},
        {"accent_color", "1FFFFFFFF", 0x3B82F6}, {"entry_channel_id", "70000", 1},
        {"entry_channel_id", "65535", 65535},   {"entry_channel_id", "-1", 1},
        {"entry_channel_id", " 42abc", 42},     {"entry_channel_id", "", 1},
        {"entry_channel_id", "99999999999999999999999", 1}, {"notify_channel_id", " -5", 0},
        {"notify_channel_id", "65536", 0},      {"notify_channel_id", "12", 12},
    };
    for (const Case& c : cases) {
        raw.exec("DELETE FROM ServerSettings");
        raw.exec(std::string("INSERT INTO ServerSettings VALUES ('") + c.key + "', '" + c.stored + "')");
        const DB::DbServerSettings s = db.GetServerSettings();
        const uint32_t got = std::string(c.key) == "accent_color"       ? s.accent_color
                             : std::string(c.key) == "entry_channel_id" ? s.entry_channel_id
                                                                         : s.notify_channel_id;
        EXPECT_EQ(got, c.expected) << c.key << " = '" << c.stored << "'";
    }
}

TEST_F(StoreTest, SavingServerSettingsIsAllOrNothing) {
    DB::DbServerSettings first;
    first.name = "first";
    first.welcome_message = "hello";
    db.SaveServerSettings(first);
    raw.exec(
        "CREATE TRIGGER no_welcome_i BEFORE INSERT ON ServerSettings WHEN NEW.key = 'welcome_message' "
        "BEGIN SELECT RAISE(ABORT, 'no'); END;"
        "CREATE TRIGGER no_welcome_u BEFORE UPDATE ON ServerSettings WHEN NEW.key = 'welcome_message' "
        "BEGIN SELECT RAISE(ABORT, 'no'); END;");
    DB::DbServerSettings second;
    second.name = "second";
    second.welcome_message = "bye";
    expectStorageError([&] { db.SaveServerSettings(second); }, "SaveServerSettings");
    EXPECT_EQ(db.GetServerSettings().name, "first") << "the keys before the failing one are not kept";
    raw.exec("DROP TRIGGER no_welcome_i; DROP TRIGGER no_welcome_u;");
    db.SaveServerSettings(second);
    EXPECT_EQ(db.GetServerSettings().welcome_message, "bye");
}

// ---------------------------------------------------------------------------
// Privilege keys

TEST_F(StoreTest, PrivilegeKeysCreateValidateAndUse) {
    DB::DbPrivilegeKey k = key("AAA", "servergroup");
    k.target_id = 3;
    k.used = true;  // a new key is always unused
    k.description = "desc";
    const int64_t before = unixNow();
    const int64_t id = db.CreatePrivilegeKey(k);
    auto got = db.GetPrivilegeKey("AAA");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_EQ(got->type, "servergroup");
    EXPECT_EQ(got->target_id, 3);
    EXPECT_FALSE(got->used);
    EXPECT_EQ(got->description, "desc");
    EXPECT_GE(got->created_at, before);
    DB::DbPrivilegeKey old = key("BBB");
    old.created_at = 1000;
    db.CreatePrivilegeKey(old);
    EXPECT_EQ(db.GetPrivilegeKey("BBB")->created_at, 1000);

    EXPECT_TRUE(db.ValidatePrivilegeKey("AAA"));
    db.MarkPrivilegeKeyUsed("AAA");
    EXPECT_FALSE(db.ValidatePrivilegeKey("AAA"));
    EXPECT_TRUE(db.GetPrivilegeKey("AAA")->used);
    db.RevokePrivilegeKey(db.GetPrivilegeKey("BBB")->id);
    EXPECT_FALSE(db.ValidatePrivilegeKey("BBB"));
    EXPECT_FALSE(db.ValidatePrivilegeKey("nope"));
    EXPECT_FALSE(db.GetPrivilegeKey("nope"));
    EXPECT_NO_THROW(db.RevokePrivilegeKey(4242));

    expectStorageError([&] { db.CreatePrivilegeKey(key("AAA")); }, "CreatePrivilegeKey");
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM PrivilegeKeys"), 2);
    // A token with an embedded NUL is stored whole: its prefix is no key.
    db.CreatePrivilegeKey(key(std::string("CC\0C", 4)));
    EXPECT_TRUE(db.ValidatePrivilegeKey(std::string("CC\0C", 4)));
    EXPECT_FALSE(db.ValidatePrivilegeKey("CC"));
}

TEST_F(StoreTest, ClaimingAKeySucceedsOnlyWhileItIsUnused) {
    db.CreatePrivilegeKey(key("once"));
    db.CreatePrivilegeKey(key("revoked"));
    db.RevokePrivilegeKey(db.GetPrivilegeKey("revoked")->id);
    EXPECT_TRUE(db.ClaimPrivilegeKey("once"));
    EXPECT_FALSE(db.ClaimPrivilegeKey("once"));
    EXPECT_TRUE(db.GetPrivilegeKey("once")->used);
    EXPECT_FALSE(db.ClaimPrivilegeKey("revoked"));
    EXPECT_FALSE(db.ClaimPrivilegeKey("missing"));
}

TEST_F(StoreTest, PrivilegeKeyListings) {
    db.CreatePrivilegeKey(key("s1"));
    db.CreatePrivilegeKey(key("s2"));
    db.CreatePrivilegeKey(key("g1", "servergroup"));
    db.CreatePrivilegeKey(key("S3", "ServerAdmin"));
    db.MarkPrivilegeKeyUsed("s1");
    auto tokens = [](const std::vector<DB::DbPrivilegeKey>& keys) {
        std::vector<std::string> out;
        for (const auto& k : keys) out.push_back(k.token);
        return out;
    };
    EXPECT_THAT(tokens(db.GetKeysByType("serveradmin", true)), ElementsAre("s2"));
    EXPECT_THAT(tokens(db.GetKeysByType("serveradmin", false)), testing::UnorderedElementsAre("s1", "s2"));

    raw.exec("DELETE FROM PrivilegeKeys");
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 501) "
        "INSERT INTO PrivilegeKeys(token) SELECT 'k' || i FROM n");
    const auto all = db.GetAllPrivilegeKeys();
    ASSERT_EQ(all.size(), 500u);
    EXPECT_EQ(all.front().token, "k501");
    EXPECT_EQ(all.back().token, "k2");
}

// ---------------------------------------------------------------------------
// Accounts and direct messages

TEST_F(StoreTest, AccountsRegisterLookUpAndLogIn) {
    DB::DbRegisteredUser a = account("Alice");
    a.role = 2;
    const int64_t before = unixNow();
    const int64_t id = db.RegisterUser(a);
    EXPECT_EQ(id, 1);
    auto got = db.GetRegisteredUserByUsername("aLiCe");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_EQ(got->display_name, "Alice") << "an empty display name becomes the user name";
    EXPECT_EQ(got->password_hash, "hash-Alice");
    EXPECT_EQ(got->role, 2);
    EXPECT_GE(got->created_at, before);
    EXPECT_EQ(got->last_login_at, 0);

    EXPECT_EQ(db.RegisterUser(account("Alice")), -1);
    EXPECT_GT(db.RegisterUser(account("ALICE")), id) << "uniqueness is byte-exact";
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM RegisteredUsers"), 2);
    EXPECT_EQ(db.RegisterUser(account("bob")), 3) << "the refused insert was rolled back whole";

    EXPECT_FALSE(db.GetRegisteredUserByToken("")) << "never-logged-in accounts have an empty token";
    EXPECT_TRUE(db.UpdateRegisteredUserToken(id, "tok"));
    EXPECT_FALSE(db.UpdateRegisteredUserToken(999, "tok2"));
    got = db.GetRegisteredUserByToken("tok");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_GE(got->last_login_at, before);
    EXPECT_TRUE(db.UpdateRegisteredUserRole(id, 3));
    EXPECT_FALSE(db.UpdateRegisteredUserRole(999, 3));
    EXPECT_EQ(db.GetRegisteredUserById(id)->role, 3);
    EXPECT_FALSE(db.GetRegisteredUserById(999));
}

TEST_F(StoreTest, PrivateMessagesBothWaysNewestFirst) {
    auto msg = [&](int64_t from, int64_t to, int64_t at) {
        DB::DbPrivateMessage m;
        m.sender_user_id = from;
        m.recv_user_id = to;
        m.sender_nick = "n" + std::to_string(from);
        m.content = "at " + std::to_string(at);
        m.sent_at = at;
        return db.SavePrivateMessage(m);
    };
    const int64_t a = 1, b = 2, c = 3;
    msg(a, b, 10);
    msg(b, a, 20);
    msg(a, c, 30);
    auto contents = [](const std::vector<DB::DbPrivateMessage>& ms) {
        std::vector<std::string> out;
        for (const auto& m : ms) out.push_back(m.content);
        return out;
    };
    EXPECT_THAT(contents(db.GetPrivateMessages(a, b, 2)), ElementsAre("at 20", "at 10"));
    EXPECT_THAT(contents(db.GetPrivateMessages(a, b, 1)), ElementsAre("at 20"));
    EXPECT_THAT(contents(db.GetPrivateMessages(b, a, -1)), ElementsAre("at 20", "at 10"));

    db.MarkMessagesRead(a, b);  // what b sent to a
    const auto all = db.GetPrivateMessages(a, b, 10);
    EXPECT_TRUE(all[0].read_by_recv);
    EXPECT_FALSE(all[1].read_by_recv);
    EXPECT_EQ(all[0].sender_nick, "n2");

    DB::DbPrivateMessage now0;
    now0.content = "x";
    db.SavePrivateMessage(now0);
    EXPECT_GE(raw.scalar("SELECT sent_at FROM PrivateMessages WHERE content = 'x'"), unixNow() - 5);
}

// ---------------------------------------------------------------------------
// Bot tokens and bans

TEST_F(StoreTest, BotTokensActiveOnlyAuthenticate) {
    const int64_t id = db.SaveBotToken(botToken("on"));
    db.SaveBotToken(botToken("off", false));
    auto got = db.GetBotToken("on");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_EQ(got->bot_name, "bot-on");
    EXPECT_EQ(got->description, "d");
    EXPECT_EQ(got->permissions, 5);
    EXPECT_TRUE(got->active);
    EXPECT_EQ(got->last_used_at, 77);
    EXPECT_GE(got->created_at, unixNow() - 5);
    EXPECT_FALSE(db.GetBotToken("off"));
    EXPECT_FALSE(db.GetBotToken("ON"));
    EXPECT_EQ(db.GetAllBotTokens().size(), 2u);

    db.UpdateBotTokenLastUsed(id);
    EXPECT_GE(db.GetBotToken("on")->last_used_at, unixNow() - 5);
    expectStorageError([&] { db.SaveBotToken(botToken("on")); }, "SaveBotToken");
    db.DeleteBotToken(id);
    EXPECT_FALSE(db.GetBotToken("on"));
    EXPECT_EQ(db.GetAllBotTokens().size(), 1u);
    EXPECT_NO_THROW(db.DeleteBotToken(id));
}

TEST_F(StoreTest, BansMatchExactAddressesUntilTheyExpire) {
    auto ban = [&](const std::string& ip, int64_t expires) {
        DB::DbBan b;
        b.ip = ip;
        b.nickname = "nick";
        b.reason = "why";
        b.banned_by = 9;
        b.expires_at = expires;
        db.SaveBan(b);
    };
    const int64_t t = unixNow();
    ban("1.1.1.1", 0);
    ban("2.2.2.2", t + 3600);
    ban("3.3.3.3", t);
    ban("4.4.4.4", t - 10);
    struct Case {
        const char* ip;
        bool banned;
    };
    for (const Case& c : {Case{"1.1.1.1", true}, Case{"2.2.2.2", true}, Case{"3.3.3.3", false},
                          Case{"4.4.4.4", false}, Case{"::ffff:1.1.1.1", false}, Case{"5.5.5.5", false}}) {
        EXPECT_EQ(db.IsIpBanned(c.ip), c.banned) << c.ip;
    }
    const auto all = db.GetAllBans();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].nickname, "nick");
    EXPECT_EQ(all[0].reason, "why");
    EXPECT_EQ(all[0].banned_by, 9);
    EXPECT_GE(all[0].created_at, t);
    db.RemoveBan(all[0].id);
    EXPECT_FALSE(db.IsIpBanned("1.1.1.1"));
    EXPECT_EQ(db.GetAllBans().size(), 3u);
}

// ---------------------------------------------------------------------------
// Groups, memberships, permissions and settings

TEST_F(StoreTest, GroupsAndMemberships) {
    auto names = [](const std::vector<DB::DbServerGroup>& gs) {
        std::vector<std::string> out;
        for (const auto& g : gs) out.push_back(g.name);
        return out;
    };
    EXPECT_THAT(names(db.GetAllServerGroups()), ElementsAre("Server Admin", "Admin", "Moderator", "Member", "Guest"));
    EXPECT_EQ(db.GetAllServerGroups()[0].default_perm, -1);

    DB::DbServerGroup g;
    g.id = 77;
    g.name = "VIP";
    g.priority = 95;
    g.default_perm = 3;
    const int64_t gid = db.SaveServerGroup(g);
    EXPECT_EQ(gid, 6);
    EXPECT_EQ(db.GetServerGroupById(gid)->name, "VIP");
    EXPECT_FALSE(db.GetServerGroupById(99));
    EXPECT_THAT(names(db.GetAllServerGroups()),
                ElementsAre("Server Admin", "VIP", "Admin", "Moderator", "Member", "Guest"));

    DB::DbChannelGroup cg;
    cg.name = "Op";
    cg.default_perm = 8;
    const int64_t cgid = db.SaveChannelGroup(cg);
    ASSERT_EQ(db.GetAllChannelGroups().size(), 1u);
    EXPECT_EQ(db.GetAllChannelGroups()[0].id, cgid);
    EXPECT_EQ(db.GetAllChannelGroups()[0].default_perm, 8);

    DB::DbUser u;
    u.nickname = "n";
    u.unique_identifier = "u";
    const int64_t uid = db.SaveUser(u);
    db.AssignUserToServerGroup(uid, gid);
    db.AssignUserToServerGroup(uid, gid);
    db.AssignUserToServerGroup(uid, 1);
    EXPECT_THAT(db.GetUserServerGroups(uid), testing::UnorderedElementsAre(gid, 1));
    expectStorageError([&] { db.AssignUserToServerGroup(uid + 100, 1); }, "AssignUserToServerGroup");
    expectStorageError([&] { db.AssignUserToServerGroup(uid, 500); }, "AssignUserToServerGroup");
    db.RemoveUserFromServerGroup(uid, gid);
    EXPECT_THAT(db.GetUserServerGroups(uid), ElementsAre(1));
    EXPECT_NO_THROW(db.RemoveUserFromServerGroup(uid, gid));
}

TEST_F(StoreTest, PermissionRowsOnePerTargetAndName) {
    const int64_t first = db.SavePermission(permissionRow("user", 7, "kick", 1, 5));
    const int64_t second = db.SavePermission(permissionRow("user", 7, "kick", 0, 5));
    EXPECT_NE(first, second);
    db.SavePermission(permissionRow("user", 7, "ban", 1, 9));
    db.SavePermission(permissionRow("user", 8, "kick", 1, 1));
    db.SavePermission(permissionRow("servergroup", 7, "kick", 1, 1));

    const auto rows = db.GetPermissionsForTarget("user", 7);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].permission_name, "ban");
    EXPECT_EQ(rows[1].permission_name, "kick");
    EXPECT_EQ(rows[1].id, second);
    EXPECT_EQ(rows[1].value, 0);
    EXPECT_EQ(rows[1].priority, 5);
    EXPECT_EQ(db.GetAllPermissions().size(), 4u);

    // A failing insert keeps the row it would have replaced.
    raw.exec("CREATE TRIGGER no_ins BEFORE INSERT ON Permissions BEGIN SELECT RAISE(ABORT, 'no'); END;");
    expectStorageError([&] { db.SavePermission(permissionRow("user", 7, "kick", 1, 5)); }, "SavePermission");
    EXPECT_EQ(db.GetPermissionsForTarget("user", 7)[1].id, second);

    db.DeletePermission(second);
    EXPECT_EQ(db.GetPermissionsForTarget("user", 7).size(), 1u);
    EXPECT_NO_THROW(db.DeletePermission(second));
}

TEST_F(StoreTest, KeyValueSettings) {
    EXPECT_EQ(db.GetSetting("web_panel_password", ""), "");
    EXPECT_EQ(db.GetSetting("web_panel_password", "dflt"), "dflt");
    db.SetSetting("web_panel_password", "one");
    EXPECT_EQ(db.GetSetting("web_panel_password", "dflt"), "one");
    db.SetSetting("web_panel_password", "two");
    EXPECT_EQ(db.GetSetting("web_panel_password", "dflt"), "two");
    db.SetSetting("empty", "");
    EXPECT_EQ(db.GetSetting("empty", "dflt"), "") << "a stored empty value is a value";
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM Settings"), 2);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(StoreTest, FailedWriteLeavesTablesAsTheyWereAndTheObjectUsable) {
    db.SaveBotToken(botToken("t"));
    const auto before = raw.rows("SELECT * FROM BotTokens");
    expectStorageError([&] { db.SaveBotToken(botToken("t")); }, "SaveBotToken");
    EXPECT_EQ(raw.rows("SELECT * FROM BotTokens"), before);
    // No transaction is left open and the lock is free: the next writes work,
    // on this object and on another connection.
    EXPECT_NO_THROW(db.SaveBotToken(botToken("u")));
    EXPECT_NO_THROW(raw.exec("INSERT INTO Settings VALUES ('k', 'v')"));
    EXPECT_EQ(db.GetSetting("k", ""), "v");
}

TEST_F(StoreTest, PrepareFailureNamesTheStatement) {
    raw.exec("DROP TABLE Bans");
    db.GetSetting("any", "");  // lets the object's connection see the new schema
    expectStorageError([&] { db.GetAllBans(); },
                       "SELECT id, ip, nickname, reason, banned_by, expires_at, created_at FROM Bans",
                       "SQL logic error");
}

TEST_F(StoreTest, ReadWhoseStepFailsGivesNoRowsButIsLogged) {
    // A view whose rows fail while stepping, standing in for a damaged table.
    raw.exec(
        "DROP TABLE Bans;"
        "CREATE VIEW Bans AS SELECT 1 AS id, json('not json') AS ip, '' AS nickname, '' AS reason, "
        "0 AS banned_by, 0 AS expires_at, 0 AS created_at;");
    std::vector<DB::DbBan> bans;
    EXPECT_NO_THROW(bans = db.GetAllBans());
    EXPECT_TRUE(bans.empty());
    EXPECT_FALSE(db.IsIpBanned("1.1.1.1"));
    EXPECT_EQ(LogCapture::instance().countContaining("SQLite error in [SELECT id, ip, nickname, reason, banned_by, "
                                                     "expires_at, created_at FROM Bans]: "),
              1u);
    EXPECT_EQ(LogCapture::instance().countContaining("SQLite error in [SELECT COUNT(*) FROM Bans WHERE ip = ?"), 1u);
}

// ---------------------------------------------------------------------------
// The read snapshot of channels, server groups and permission rows

class SnapshotTest : public StoreTest {
protected:
    // Rows added behind the object's back show whether it queries.
    void addBehindItsBack(const std::string& tag) {
        raw.exec("INSERT INTO Channels(name) VALUES ('" + tag + "');"
                 "INSERT INTO ServerGroups(name, priority) VALUES ('" + tag + "', 1);"
                 "INSERT INTO Permissions(target_type, target_id, permission_name) VALUES ('user', 1, '" + tag +
                 "');");
    }
    bool seesEverywhere(const std::string& tag) {
        bool c = false, g = false, p = false;
        for (const auto& x : db.GetAllChannels()) c |= x.name == tag;
        for (const auto& x : db.GetAllServerGroups()) g |= x.name == tag;
        for (const auto& x : db.GetAllPermissions()) p |= x.permission_name == tag;
        EXPECT_TRUE(c == g && g == p) << "the three lists go stale together";
        return c;
    }
};

TEST_F(SnapshotTest, ServesFromMemoryUntilTheFirstCommittedWrite) {
    const auto direct = raw.rows("SELECT id, name FROM Channels");
    const auto listed = db.GetAllChannels();
    ASSERT_EQ(listed.size(), direct.size());
    for (size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(std::to_string(listed[i].id), direct[i][0]);

    raw.exec("INSERT INTO RegisteredUsers(username, password_hash) VALUES ('r', 'h')");
    addBehindItsBack("x1");
    EXPECT_FALSE(seesEverywhere("x1"));
    // Neither reads, failed writes, refused registrations nor settings saves
    // mark the snapshot stale.
    db.GetChannelById(1);
    db.GetSetting("a", "");
    EXPECT_EQ(db.RegisterUser(account("r")), -1);
    try {
        db.SetChannelContent(999, "{}");
    } catch (const std::runtime_error&) {
    }
    db.SaveServerSettings(DB::DbServerSettings{});
    EXPECT_FALSE(seesEverywhere("x1"));

    db.SetChannelContent(1, "{}");
    EXPECT_TRUE(seesEverywhere("x1"));
    addBehindItsBack("x2");
    EXPECT_TRUE(seesEverywhere("x2")) << "once stale, every bulk read queries";
}

TEST_F(SnapshotTest, RegisteringAnAccountIsACommittedWrite) {
    addBehindItsBack("y");
    db.RegisterUser(account("fresh"));
    EXPECT_TRUE(seesEverywhere("y"));
}

TEST_F(SnapshotTest, MessageCountIncrementShowsAtOnce) {
    EXPECT_EQ(db.IncrementChannelMessageCount(1), 1);
    EXPECT_EQ(db.GetAllChannels()[0].message_count, 1);
}

TEST_F(SnapshotTest, GroupListStaysTheSameAcrossAnUnrelatedWrite) {
    const auto before = db.GetAllServerGroups();
    db.CreatePrivilegeKey(key("k"));
    const auto after = db.GetAllServerGroups();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].id, after[i].id);
        EXPECT_EQ(before[i].name, after[i].name);
    }
    EXPECT_EQ(db.GetAllPermissions().size(), 0u);
}
