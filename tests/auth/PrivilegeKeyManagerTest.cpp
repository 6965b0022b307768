#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "core/Logger.h"
#include "support/TestDatabase.h"
#include "support/Time.h"

using namespace Korrafin;
using Korrafin::Auth::PrivilegeKeyManager;
using Korrafin::Test::TestDatabase;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kTop = "  ╔══════════════════════════════════════════════════╗\n";
const std::string kMid = "  ╠══════════════════════════════════════════════════╣\n";
const std::string kBottom = "  ╚══════════════════════════════════════════════════╝\n";
const std::string kNewTitle = "  ║           SERVER ADMIN PRIVILEGE KEY             ║\n";
const std::string kReprintTitle = "  ║  SERVER ADMIN KEY (already in database, reprint) ║\n";
const std::string kFooter =
    "  ║  Use in the client:                              ║\n"
    "  ║  Permissions  →  Use Privilege Key               ║\n"
    "  ║  This key can only be used ONCE.                 ║\n";

std::string box(const std::string& title, const std::string& keyRow) {
    return "\n" + kTop + title + kMid + keyRow + kMid + kFooter + kBottom + "\n";
}

// The key row of a key of at most 48 characters.
std::string keyRow(const std::string& key) { return "  ║  " + key + std::string(48 - key.size(), ' ') + "║\n"; }

// Stdout split into the plain lines the manager writes itself and the
// messages of log lines (colour, time stamp and level removed).
struct Output {
    std::string plain;
    std::vector<std::string> logs;
};

Output split(const std::string& out) {
    Output o;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("\033[", 0) == 0) {
            // "\033[96m[time] [INFO ] message\033[0m"
            const auto start = line.find("] [");
            const auto msg = line.find("] ", start + 3);
            o.logs.push_back(line.substr(msg + 2, line.size() - (msg + 2) - 4));
        } else {
            o.plain += line + "\n";
        }
    }
    return o;
}

DB::DbPrivilegeKey key(const std::string& token, const std::string& type, int64_t target = 0) {
    DB::DbPrivilegeKey k;
    k.token = token;
    k.type = type;
    k.target_id = target;
    k.description = "test";
    return k;
}

class PrivilegeKeyTest : public testing::Test {
protected:
    void SetUp() override { Logger::instance().setLevel(LogLevel::Info); }

    // Runs f with stdout captured. Keep assertions outside f: their failure
    // messages would be captured too.
    template <typename F>
    Output captured(F&& f) {
        CaptureStdout();
        try {
            f();
        } catch (...) {
            GetCapturedStdout();
            throw;
        }
        return split(GetCapturedStdout());
    }

    // Runs f with stdout captured; whether it threw std::runtime_error.
    template <typename F>
    bool capturedThrow(F&& f) {
        bool threw = false;
        captured([&] {
            try {
                f();
            } catch (const std::runtime_error&) {
                threw = true;
            }
        });
        return threw;
    }

    bool isUsed(const std::string& token) { return t.real->GetPrivilegeKey(token).value().used; }

    TestDatabase t;
};

}  // namespace

TEST(PrivilegeKeyTokenTest, RandomTokensUseTheWholeAlphabetOnly) {
    EXPECT_EQ(PrivilegeKeyManager::kAlphabet, "ABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    EXPECT_EQ(PrivilegeKeyManager::CreateRandomToken(0), "");
    EXPECT_EQ(PrivilegeKeyManager::CreateRandomToken(-3), "");

    std::set<char> seen;
    std::set<std::string> tokens;
    for (int i = 0; i < 400; ++i) {
        const std::string s = PrivilegeKeyManager::CreateRandomToken(25);
        ASSERT_EQ(s.size(), 25u);
        for (char c : s) {
            ASSERT_NE(PrivilegeKeyManager::kAlphabet.find(c), std::string_view::npos) << s;
            seen.insert(c);
        }
        tokens.insert(s);
    }
    // 10 000 draws: every one of the 32 characters shows up, and no token repeats.
    EXPECT_EQ(seen.size(), 32u);
    EXPECT_EQ(tokens.size(), 400u);
}

TEST_F(PrivilegeKeyTest, GeneratedKeyIsStoredUnusedInFiveGroups) {
    PrivilegeKeyManager m(t.db);
    const auto before = Korrafin::Test::unixNow();
    const std::string token = m.GenerateToken("servergroup", 3, "for the mods");
    const auto after = Korrafin::Test::unixNow();

    ASSERT_EQ(token.size(), 29u);
    for (size_t i = 0; i < token.size(); ++i) {
        if (i % 6 == 5) {
            EXPECT_EQ(token[i], '-') << token;  // positions 6, 12, 18 and 24 counting from 1
        } else {
            EXPECT_NE(PrivilegeKeyManager::kAlphabet.find(token[i]), std::string_view::npos) << token;
        }
    }
    EXPECT_EQ(token.find_first_of("IO01"), std::string::npos);

    const auto stored = t.real->GetPrivilegeKey(token);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, "servergroup");
    EXPECT_EQ(stored->target_id, 3);
    EXPECT_EQ(stored->description, "for the mods");
    EXPECT_FALSE(stored->used);
    EXPECT_GE(stored->created_at, before);
    EXPECT_LE(stored->created_at, after);
    EXPECT_TRUE(m.IsTokenValid(token));
    EXPECT_FALSE(m.IsTokenValid("NOT-A-KEY"));
}

TEST_F(PrivilegeKeyTest, KeyBoxBytes) {
    PrivilegeKeyManager m(t.db);
    const std::string longKey(64, 'f');  // a hexadecimal key made elsewhere is not cut
    struct Case {
        std::string key;
        bool stored;
        std::string expected;
    };
    const Case cases[] = {
        {"ABCDE-FGHJK-LMNPQ-RSTUV-WXYZ2", false,
         box(kNewTitle, "  ║  ABCDE-FGHJK-LMNPQ-RSTUV-WXYZ2                   ║\n")},
        {"ABCDE-FGHJK-LMNPQ-RSTUV-WXYZ2", true,
         box(kReprintTitle, "  ║  ABCDE-FGHJK-LMNPQ-RSTUV-WXYZ2                   ║\n")},
        {std::string(48, 'K'), false, box(kNewTitle, "  ║  " + std::string(48, 'K') + "║\n")},
        {longKey, true, box(kReprintTitle, "  ║  " + longKey + "║\n")},
        {"", false, box(kNewTitle, "  ║" + std::string(50, ' ') + "║\n")},
        {"→é", true, box(kReprintTitle, "  ║  →é" + std::string(46, ' ') + "║\n")},  // one column per character
    };
    for (const auto& c : cases) {
        CaptureStdout();
        m.PrintKeyBanner(c.key, c.stored);
        EXPECT_EQ(GetCapturedStdout(), c.expected) << c.key;
    }
}

TEST_F(PrivilegeKeyTest, StartUpKeyLifecycle) {
    const std::string checking = "[AUTH] Checking database for existing ServerAdmin privilege key…\n";

    // Fresh database: the first key is made and shown under the new-key title.
    Output o = captured([&] { PrivilegeKeyManager(t.db).EnsureServerAdminToken(); });
    auto keys = t.real->GetKeysByType("serveradmin", false);
    ASSERT_EQ(keys.size(), 1u);
    const DB::DbPrivilegeKey first = keys[0];
    EXPECT_EQ(first.target_id, 0);
    EXPECT_EQ(first.description, "Auto-generated ServerAdmin key");
    EXPECT_FALSE(first.used);
    EXPECT_EQ(o.plain, checking + "[AUTH] No ServerAdmin privilege key found in database. Generating first key.\n" +
                           box(kNewTitle, keyRow(first.token)));
    EXPECT_THAT(o.logs, testing::ElementsAre("[AUTH] First server start – generating initial ServerAdmin privilege key.",
                                             "[AUTH] ServerAdmin privilege key generated and stored in database."));

    // Restart without redemption: the same key again, nothing stored.
    t.reopen();
    o = captured([&] { PrivilegeKeyManager(t.db).EnsureServerAdminToken(); });
    EXPECT_EQ(t.real->GetKeysByType("serveradmin", false).size(), 1u);
    EXPECT_EQ(o.plain, checking + "[AUTH] Unused ServerAdmin key already exists in database – skipping generation.\n" +
                           box(kReprintTitle, keyRow(first.token)));
    EXPECT_THAT(o.logs, testing::ElementsAre("[AUTH] ServerAdmin privilege key exists in DB (id=" +
                                             std::to_string(first.id) + "), not generating a new one."));

    // Redeemed, then revoked: each time a replacement is made.
    for (int round = 0; round < 2; ++round) {
        PrivilegeKeyManager m(t.db);
        const auto unused = t.real->GetKeysByType("serveradmin", true);
        ASSERT_EQ(unused.size(), 1u);
        if (round == 0) {
            bool ok = false;
            captured([&] { ok = m.RedeemToken(unused[0].token, 0, "op"); });
            EXPECT_TRUE(ok);
        } else {
            t.real->RevokePrivilegeKey(unused[0].id);
        }
        o = captured([&] { m.EnsureServerAdminToken(); });
        const auto fresh = t.real->GetKeysByType("serveradmin", true);
        ASSERT_EQ(fresh.size(), 1u);
        EXPECT_NE(fresh[0].token, unused[0].token);
        EXPECT_EQ(o.plain, checking +
                               "[AUTH] All previous ServerAdmin keys have been redeemed. Generating a new one.\n" +
                               box(kNewTitle, keyRow(fresh[0].token)));
        EXPECT_THAT(o.logs, testing::ElementsAre("[AUTH] Previous ServerAdmin key(s) were used. Generating replacement.",
                                                 "[AUTH] ServerAdmin privilege key generated and stored in database."));
    }
    EXPECT_EQ(t.real->GetKeysByType("serveradmin", false).size(), 3u);
}

TEST_F(PrivilegeKeyTest, SeveralUnusedKeysShowOnlyTheFirst) {
    t.real->CreatePrivilegeKey(key("aaaa", "serveradmin"));
    t.real->CreatePrivilegeKey(key("bbbb", "serveradmin"));
    t.real->CreatePrivilegeKey(key("cccc", "servergroup"));
    const std::string firstToken = t.real->GetKeysByType("serveradmin", true).at(0).token;

    const Output o = captured([&] { PrivilegeKeyManager(t.db).EnsureServerAdminToken(); });
    EXPECT_THAT(o.plain, testing::EndsWith(box(kReprintTitle, keyRow(firstToken))));
    EXPECT_EQ(o.plain.find(firstToken == "aaaa" ? "bbbb" : "aaaa"), std::string::npos);
    EXPECT_EQ(t.real->GetAllPrivilegeKeys().size(), 3u);
}

TEST_F(PrivilegeKeyTest, ServerAdminGroupIsTheFirstOfTheHighestPriority) {
    PrivilegeKeyManager m(t.db);
    EXPECT_EQ(m.FindServerAdminGroupId(), t.groupId("Server Admin"));

    // A tie: the group the store lists first wins, not a later one.
    t.addGroup("Twin", 100);
    const auto groups = t.real->GetAllServerGroups();
    ASSERT_EQ(groups[0].priority, 100);
    ASSERT_EQ(groups[1].priority, 100);
    EXPECT_EQ(m.FindServerAdminGroupId(), groups[0].id);

    const int64_t top = t.addGroup("Top", 101);
    EXPECT_EQ(m.FindServerAdminGroupId(), top);
}

TEST_F(PrivilegeKeyTest, NoGroupOfPriorityZeroOrMore) {
    // Rewrite the groups behind the database's back, then open the file again.
    const std::string path = t.path();
    t.real.reset();
    t.db.reset();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "UPDATE ServerGroups SET priority = -1 - id", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    t.reopen();

    PrivilegeKeyManager m(t.db);
    const std::string warning = "[AUTH] WARNING: Could not find Server Admin group in database!\n";
    CaptureStderr();
    EXPECT_EQ(m.FindServerAdminGroupId(), 0);
    EXPECT_EQ(GetCapturedStderr(), warning);

    const int64_t u = t.addUser("nobody");
    t.real->CreatePrivilegeKey(key("K1", "serveradmin"));
    CaptureStderr();
    bool ok = false;
    const Output o = captured([&] { ok = m.RedeemToken("K1", u, "nobody"); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetCapturedStderr(), warning);
    EXPECT_TRUE(t.real->GetUserServerGroups(u).empty());
    EXPECT_TRUE(isUsed("K1"));
    EXPECT_EQ(o.plain, "[AUTH] Token redemption attempt by: nobody\n[AUTH] Token redeemed successfully by: nobody\n");
}

TEST_F(PrivilegeKeyTest, RedemptionByKeyType) {
    const int64_t adminGroup = t.groupId("Server Admin");
    const int64_t modGroup = t.groupId("Moderator");
    struct Case {
        std::string type;
        int64_t target;
        bool withUser;
        std::vector<int64_t> groups;  // the user's groups afterwards
    };
    const Case cases[] = {
        {"serveradmin", 0, true, {adminGroup}},
        {"serveradmin", modGroup, true, {adminGroup}},  // the target does not matter here
        {"serveradmin", 0, false, {}},
        {"servergroup", modGroup, true, {modGroup}},
        {"servergroup", modGroup, false, {}},
        {"servergroup", 0, true, {}},
        {"ServerAdmin", 0, true, {}},
        {"admin", 0, true, {}},
        {"mod", modGroup, true, {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type + " target " + std::to_string(c.target) + (c.withUser ? " user" : " no user"));
        const std::string nick = "nick" + std::to_string(n);
        const std::string token = "TOKEN-" + std::to_string(n++);
        const int64_t u = t.addUser(nick);
        t.real->CreatePrivilegeKey(key(token, c.type, c.target));

        PrivilegeKeyManager m(t.db);
        bool ok = false;
        const Output o = captured([&] { ok = m.RedeemToken(token, c.withUser ? u : 0, nick); });
        EXPECT_TRUE(ok);
        EXPECT_TRUE(isUsed(token));
        EXPECT_EQ(t.real->GetUserServerGroups(u), c.groups);

        std::string plain = "[AUTH] Token redemption attempt by: " + nick + "\n";
        std::vector<std::string> logs;
        if (!c.groups.empty() && c.type == "serveradmin") {
            plain += "[AUTH] Assigned '" + nick + "' (id=" + std::to_string(u) + ") to Server Admin group (id=" +
                     std::to_string(adminGroup) + ").\n";
            logs.push_back("[AUTH] User '" + nick + "' (id=" + std::to_string(u) + ") assigned to Server Admin group (id=" +
                           std::to_string(adminGroup) + ") via privilege key.");
        } else if (!c.groups.empty()) {
            logs.push_back("[AUTH] User '" + nick + "' assigned to group id=" + std::to_string(c.target) +
                           " via privilege key.");
        }
        plain += "[AUTH] Token redeemed successfully by: " + nick + "\n";
        logs.push_back("[AUTH] Privilege key redeemed by: " + nick);
        EXPECT_EQ(o.plain, plain);
        EXPECT_EQ(o.logs, logs);
    }
}

TEST_F(PrivilegeKeyTest, UnknownUsedAndRevokedKeysAreRejected) {
    const int64_t u = t.addUser("late");
    t.real->CreatePrivilegeKey(key("ONCE", "serveradmin"));
    t.real->CreatePrivilegeKey(key("REVOKED", "serveradmin"));
    t.real->RevokePrivilegeKey(t.real->GetPrivilegeKey("REVOKED")->id);
    PrivilegeKeyManager m(t.db);
    bool first = false;
    captured([&] { first = m.RedeemToken("ONCE", 0, "first"); });
    EXPECT_TRUE(first);

    for (const std::string token : {"ONCE", "REVOKED", "NO-SUCH-KEY", ""}) {
        const auto before = t.real->GetAllPrivilegeKeys();
        bool ok = true;
        const Output o = captured([&] { ok = m.RedeemToken(token, u, "late"); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(o.plain, "[AUTH] Token redemption attempt by: late\n"
                           "[AUTH] REJECTED – invalid or already-used token.\n")
            << token;
        EXPECT_THAT(o.logs, testing::ElementsAre("[AUTH] Invalid or already-used privilege key attempted by: late"));
        EXPECT_TRUE(t.real->GetUserServerGroups(u).empty());
        const auto after = t.real->GetAllPrivilegeKeys();
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].used, before[i].used);
    }
}

TEST_F(PrivilegeKeyTest, StoreFailures) {
    const int64_t u = t.addUser("unlucky");
    t.real->CreatePrivilegeKey(key("K-CLAIM", "serveradmin"));
    t.real->CreatePrivilegeKey(key("K-ASSIGN", "serveradmin"));
    std::string failing;
    t.db->before = [&](std::string_view op) {
        if (op == failing) throw std::runtime_error("disk I/O error");
    };
    PrivilegeKeyManager m(t.db);

    // Failing to claim leaves the key as it was.
    failing = "ClaimPrivilegeKey";
    EXPECT_TRUE(capturedThrow([&] { m.RedeemToken("K-CLAIM", u, "unlucky"); }));
    EXPECT_FALSE(isUsed("K-CLAIM"));

    // Once claimed, a later failure keeps the key used: it can never be granted twice.
    failing = "AssignUserToServerGroup";
    EXPECT_TRUE(capturedThrow([&] { m.RedeemToken("K-ASSIGN", u, "unlucky"); }));
    EXPECT_TRUE(isUsed("K-ASSIGN"));
    failing.clear();
    bool ok = true;
    captured([&] { ok = m.RedeemToken("K-ASSIGN", u, "unlucky"); });
    EXPECT_FALSE(ok);

    t.real->RevokePrivilegeKey(t.real->GetPrivilegeKey("K-CLAIM")->id);  // no unused start-up key left
    failing = "CreatePrivilegeKey";
    EXPECT_THROW(m.GenerateToken("serveradmin", 0, "x"), std::runtime_error);
    EXPECT_TRUE(capturedThrow([&] { m.EnsureServerAdminToken(); }));
}
