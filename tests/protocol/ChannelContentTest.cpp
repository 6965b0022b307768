// Channel content and reactions over real sockets, against a virtual server
// with a real database: reading, replacing, toggling reactions, what every
// session receives, and what is stored.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/Names.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"

namespace Korrafin::Test {
namespace {

const std::string kThumbs = "\xF0\x9F\x91\x8D";  // U+1F44D, four bytes

struct Content {
    uint16_t channel = 0;
    std::string text;
    bool operator==(const Content&) const = default;
};

struct ReactionUpdate {
    uint16_t channel = 0;
    std::string post;
    std::string emoji;
    uint32_t count = 0;
    uint16_t count16 = 0;
    std::vector<uint32_t> ids;
    bool operator==(const ReactionUpdate&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ReactionUpdate& u) {
    os << "{" << u.channel << ", " << u.post << ", " << u.emoji << ", " << u.count << ", " << u.count16 << ", [";
    for (uint32_t id : u.ids) os << id << " ";
    return os << "]}";
}

std::ostream& operator<<(std::ostream& os, const Content& c) { return os << "{" << c.channel << ", " << c.text << "}"; }

Content contentOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ChannelContent);
    auto r = p.reader();
    Content c;
    c.channel = r.readLE<uint16_t>();
    c.text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return c;
}

ReactionUpdate reactionOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ChannelReactionUpdate);
    auto r = p.reader();
    ReactionUpdate u;
    u.channel = r.readLE<uint16_t>();
    u.post = r.readStr();
    u.emoji = r.readStr();
    u.count = r.readLE<uint32_t>();
    u.count16 = r.readLE<uint16_t>();
    for (uint32_t i = 0; i < u.count; ++i) u.ids.push_back(r.readLE<uint32_t>());
    EXPECT_EQ(r.remaining(), 0u);
    return u;
}

ReactionUpdate update(uint16_t channel, const std::string& post, const std::string& emoji, std::vector<uint32_t> ids) {
    const auto n = static_cast<uint32_t>(ids.size());
    return {channel, post, emoji, n, static_cast<uint16_t>(n), std::move(ids)};
}

class ChannelContentTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        // Installed before any reader thread runs; the tests switch failures on and off.
        world.database->db->before = [this](std::string_view op) {
            if (op == failing.load()) throw std::runtime_error(failure);
        };
        channel = world.addChannel("board");
        alice = &world.join(7, "alice", UserRole::Member);
        bob = &world.join(9, "bob", UserRole::Member);
        // Announcements reach sessions that have not logged in as well.
        pending = &world.join(13, "", UserRole::Guest, 0, /*authenticated=*/false);
    }

    std::optional<std::string> stored(uint16_t ch) { return world.database->real->GetChannelContent(ch); }
    void store(uint16_t ch, const std::string& text) { world.database->real->SetChannelContent(ch, text); }

    // Every member but `requester` received exactly `expected` (and the requester's own share is checked by the
    // caller).
    void expectOthersGot(const SessionHarness& requester, const std::vector<std::vector<uint8_t>>& expected) {
        for (const auto& m : world.members()) {
            if (m.get() == &requester) continue;
            SCOPED_TRACE("client " + std::to_string(m->clientId));
            const auto got = receivedSoFar(*m);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].bytes(), expected[i]) << "packet " << i;
            }
        }
    }

    // Toggles as `who` and returns the update it received (every other
    // member must have received the identical packet).
    std::optional<ReactionUpdate> toggle(SessionHarness& who, const std::string& post, const std::string& emoji) {
        const auto got = world.request(who, reactionToggleRequest(channel, post, emoji));
        if (got.size() != 1) {
            ADD_FAILURE() << "toggle answered with " << got.size() << " packets";
            expectOthersGot(who, {});
            return std::nullopt;
        }
        expectOthersGot(who, {got[0].bytes()});
        return reactionOf(got[0]);
    }

    VServerWorld world;
    // The store operation that throws `failure` (none when empty).
    std::atomic<const char*> failing{""};
    const char* failure = "";
    uint16_t channel = 0;
    SessionHarness* alice = nullptr;
    SessionHarness* bob = nullptr;
    SessionHarness* pending = nullptr;
};

// ---------------------------------------------------------------- get

TEST_F(ChannelContentTest, GetAnswersTheRequesterOnly) {
    auto got = world.request(*alice, contentGetRequest(channel));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contentOf(got[0]), (Content{channel, ""})) << "never written";
    expectOthersGot(*alice, {});

    store(channel, "{\"posts\":[]}");
    got = world.request(*bob, contentGetRequest(channel));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contentOf(got[0]), (Content{channel, "{\"posts\":[]}"}));
    expectOthersGot(*bob, {});

    EXPECT_TRUE(world.request(*alice, contentGetRequest(999)).empty()) << "no such channel";
    EXPECT_TRUE(world.request(*alice, contentGetRequest(0)).empty()) << "channel 0 never exists";
}

TEST_F(ChannelContentTest, GetWithFailingStoreAnswersEmptyAndWarns) {
    store(channel, "kept");
    failure = "disk gone";
    failing = "GetChannelContent";
    const auto got = world.request(*alice, contentGetRequest(channel));
    failing = "";
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contentOf(got[0]), (Content{channel, ""}));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[ChannelContent] GetChannelContent(" +
                                                               std::to_string(channel) + ") failed: disk gone"),
              1u);
}

TEST(ChannelContentWithoutDatabaseTest, GetAnswersEmptyUpdateAndToggleDoNothing) {
    VServerWorld world(8, /*withDatabase=*/false);
    auto& mod = world.join(21, "mod", UserRole::Moderator);
    auto got = world.request(mod, contentGetRequest(1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contentOf(got[0]), (Content{1, ""}));
    EXPECT_TRUE(world.request(mod, contentUpdateRequest(1, "text")).empty());
    EXPECT_TRUE(world.request(mod, reactionToggleRequest(1, "p1", kThumbs)).empty());
}

// ---------------------------------------------------------------- update

TEST_F(ChannelContentTest, UpdateByRole) {
    struct Case {
        UserRole role;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {UserRole::Guest, false}, {UserRole::Member, false}, {UserRole::Moderator, true},
        {UserRole::Admin, true},  {UserRole::Owner, true},
    };
    uint32_t id = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(roleText(c.role));
        LogCapture::instance().clear();
        auto& who = world.join(++id, std::string("by-") + roleText(c.role), c.role);
        store(channel, "before");
        // Not JSON on purpose: the text is stored and echoed as it is.
        const std::string text = std::string("{not json, written by ") + roleText(c.role);

        const auto got = world.request(who, contentUpdateRequest(channel, text));
        const std::string denial =
            "[VServer 7] Client " + std::to_string(id) + " denied: EDIT_CHANNELS (channel content)";
        if (c.allowed) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(contentOf(got[0]), (Content{channel, text}));
            PacketBuilder expected(MessageType::ChannelContent);
            expected.writeLE(channel);
            expected.writeStr(text);
            expectOthersGot(who, {expected.finalise()});
            EXPECT_EQ(stored(channel), text);
            EXPECT_EQ(LogCapture::instance().count(denial), 0u);
        } else {
            EXPECT_TRUE(got.empty());
            expectOthersGot(who, {});
            EXPECT_EQ(stored(channel), "before");
            EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, denial), 1u);
        }
    }
}

TEST_F(ChannelContentTest, UpdateOfAMissingChannelOrWithFailingStoreSendsNothing) {
    auto& mod = world.join(20, "mod", UserRole::Moderator);
    EXPECT_TRUE(world.request(mod, contentUpdateRequest(999, "x")).empty());
    expectOthersGot(mod, {});

    store(channel, "before");
    failure = "read-only";
    failing = "SetChannelContent";
    EXPECT_TRUE(world.request(mod, contentUpdateRequest(channel, "after")).empty());
    failing = "";
    expectOthersGot(mod, {});
    EXPECT_EQ(stored(channel), "before");
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Error, "[ChannelContent] SetChannelContent(" +
                                                                std::to_string(channel) + ") failed: read-only"),
              1u);
}

// ---------------------------------------------------------------- reactions

TEST_F(ChannelContentTest, TogglesAreSeenByEveryMemberAndStoredNormalised) {
    store(channel, R"({ "title": "T",  "posts": [ {"text": "Hi", "id": "p1"} ] })");

    EXPECT_EQ(toggle(*alice, "p1", kThumbs), update(channel, "p1", kThumbs, {7}));
    EXPECT_EQ(stored(channel),
              R"({"posts":[{"id":"p1","reactions":{")" + kThumbs + R"(":[7]},"text":"Hi"}],"title":"T"})");

    EXPECT_EQ(toggle(*bob, "p1", kThumbs), update(channel, "p1", kThumbs, {7, 9}));
    EXPECT_EQ(toggle(*alice, "p1", kThumbs), update(channel, "p1", kThumbs, {9}));
    EXPECT_EQ(toggle(*bob, "p1", kThumbs), update(channel, "p1", kThumbs, {}));
    // The emptied emoji goes; the reactions object stays.
    EXPECT_EQ(stored(channel), R"({"posts":[{"id":"p1","reactions":{},"text":"Hi"}],"title":"T"})");
}

TEST_F(ChannelContentTest, ToggleWorksOnTheFirstMatchingPostAndKeepsWhatItDoesNotCount) {
    struct Case {
        const char* what;
        std::string before;
        SessionHarness* who;
        std::string emoji;
        std::vector<uint32_t> ids;
        std::string after;
    };
    SessionHarness* a = alice;  // client 7
    SessionHarness* b = bob;    // client 9
    const std::vector<Case> cases = {
        {"first of two entries removed",
         R"({"posts":[{"id":"p1","reactions":{"x":[7,9,7]}}]})",
         a,
         "x",
         {9, 7},
         R"({"posts":[{"id":"p1","reactions":{"x":[9,7]}}]})"},
        {"strings and fractions kept, not counted",
         R"({"posts":[{"id":"p1","reactions":{"x":[7,"9",9.0,1.5]}}]})",
         b,
         "x",
         {7, 9},
         R"({"posts":[{"id":"p1","reactions":{"x":[7,"9",9.0,1.5,9]}}]})"},
        {"a list of non-integers stays when nothing is counted",
         R"({"posts":[{"id":"p1","reactions":{"x":["a",7]}}]})",
         a,
         "x",
         {},
         R"({"posts":[{"id":"p1","reactions":{"x":["a"]}}]})"},
        {"negative and large integers are ids by their low 32 bits",
         R"({"posts":[{"id":"p1","reactions":{"x":[-1,4294967303]}}]})",
         a,
         "x",
         {0xFFFFFFFFu, 7, 7},
         R"({"posts":[{"id":"p1","reactions":{"x":[-1,4294967303,7]}}]})"},
        {"other posts, other emoji and non-objects untouched",
         R"({"posts":[5,{"id":"p0","reactions":{"x":[1]}},{"id":"p1","reactions":{"y":[2]}},{"id":"p1"}]})",
         b,
         "x",
         {9},
         R"({"posts":[5,{"id":"p0","reactions":{"x":[1]}},{"id":"p1","reactions":{"x":[9],"y":[2]}},{"id":"p1"}]})"},
        {"reactions that are not an object are replaced",
         R"({"posts":[{"id":"p1","reactions":[1,2]}]})",
         a,
         "x",
         {7},
         R"({"posts":[{"id":"p1","reactions":{"x":[7]}}]})"},
        {"an emoji that is not a list is replaced",
         R"({"posts":[{"id":"p1","reactions":{"x":"7"}}]})",
         a,
         "x",
         {7},
         R"({"posts":[{"id":"p1","reactions":{"x":[7]}}]})"},
        {"a post without id has the empty id and is skipped",
         R"({"posts":[{"text":"no id"},{"id":"p1"}]})",
         a,
         "x",
         {7},
         R"({"posts":[{"text":"no id"},{"id":"p1","reactions":{"x":[7]}}]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        store(channel, c.before);
        EXPECT_EQ(toggle(*c.who, "p1", c.emoji), update(channel, "p1", c.emoji, c.ids));
        EXPECT_EQ(stored(channel), c.after);
    }
}

TEST_F(ChannelContentTest, ToggleChangesNothingOnContentThatIsNotAPostDocument) {
    // 30000 levels: the server would recurse that deep to write it back.
    const std::string deep =
        R"({"posts":[{"id":"p1"}],"deep":)" + std::string(30000, '[') + std::string(30000, ']') + "}";
    const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
        {"no content row", std::nullopt},
        {"empty text", ""},
        {"not JSON", "posts: p1"},
        {"an array", R"([{"id":"p1"}])"},
        {"an object without posts", R"({"title":"T"})"},
        {"posts that are not a list", R"({"posts":{"id":"p1"}})"},
        {"no post with the id", R"({"posts":[{"id":"p2"}]})"},
        {"a comment", R"({"posts":[{"id":"p1"}]} // note)"},
        {"invalid UTF-8 in a string", "{\"posts\":[{\"id\":\"p1\",\"t\":\"\xFF\"}]}"},
        {"two values", R"({"posts":[{"id":"p1"}]} {})"},
        {"nested far too deep", deep},
    };
    uint16_t ch = channel;
    for (const auto& [what, before] : cases) {
        SCOPED_TRACE(what);
        if (before) store(ch, *before);
        EXPECT_TRUE(world.request(*alice, reactionToggleRequest(ch, "p1", kThumbs)).empty());
        expectOthersGot(*alice, {});
        EXPECT_EQ(stored(ch), before);
        ch = world.addChannel(std::string("next after ") + what);
    }
}

TEST_F(ChannelContentTest, ToggleWithinTheDepthBoundWorks) {
    const std::string nested = R"({"posts":[{"id":"p1"}],"deep":)" + std::string(40, '[') + std::string(40, ']') + "}";
    store(channel, nested);
    EXPECT_EQ(toggle(*alice, "p1", "x"), update(channel, "p1", "x", {7}));
}

TEST_F(ChannelContentTest, ToggleIgnoresBadArguments) {
    const std::string before = R"({"posts":[{"id":"p1"}]})";
    store(channel, before);
    const std::vector<std::tuple<const char*, uint16_t, std::string, std::string>> ignored = {
        {"empty post id", channel, "", kThumbs},
        {"empty emoji", channel, "p1", ""},
        {"emoji of 33 bytes", channel, "p1", std::string(33, 'e')},
        {"unknown channel", 999, "p1", kThumbs},
    };
    for (const auto& [what, ch, post, emoji] : ignored) {
        SCOPED_TRACE(what);
        EXPECT_TRUE(world.request(*alice, reactionToggleRequest(ch, post, emoji)).empty());
        expectOthersGot(*alice, {});
        EXPECT_EQ(stored(channel), before);
    }
    const std::string longest(32, 'e');
    EXPECT_EQ(toggle(*alice, "p1", longest), update(channel, "p1", longest, {7}));
}

TEST_F(ChannelContentTest, ToggleThatCannotBeStoredIsNotAnnounced) {
    struct Case {
        const char* what;
        std::string before;
        std::string emoji;
    };
    // The document text would pass the 65535 bytes a string can carry, so
    // nobody could read it any more.
    const std::string head = R"({"pad":")";
    const std::string tail = R"(","posts":[{"id":"p1"}]})";
    const std::string nearlyFull = head + std::string(65535 - 5 - head.size() - tail.size(), 'a') + tail;
    ASSERT_EQ(nearlyFull.size(), 65530u);
    const std::vector<Case> cases = {
        {"document would outgrow a string", nearlyFull, "x"},
        {"emoji that is not UTF-8", R"({"posts":[{"id":"p1"}]})", "\xC3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        store(channel, c.before);
        EXPECT_TRUE(world.request(*alice, reactionToggleRequest(channel, "p1", c.emoji)).empty());
        expectOthersGot(*alice, {});
        EXPECT_EQ(stored(channel), c.before);
        EXPECT_EQ(LogCapture::instance().countContaining("[ChannelReaction] Persist failed for channel " +
                                                         std::to_string(channel) + " post p1: "),
                  1u);
    }
    // What is stored can still be read.
    const auto got = world.request(*bob, contentGetRequest(channel));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contentOf(got[0]).text, cases.back().before);
}

TEST_F(ChannelContentTest, PostWithANonStringIdFailsTheRequest) {
    const std::string before = R"({"posts":[{"id":5},{"id":"p1"}]})";
    store(channel, before);
    EXPECT_TRUE(world.request(*alice, reactionToggleRequest(channel, "p1", "x")).empty());
    expectOthersGot(*alice, {});
    EXPECT_EQ(stored(channel), before);
    EXPECT_EQ(LogCapture::instance().countContaining("Client 7: packet processing error: "), 1u);
}

TEST_F(ChannelContentTest, ShortPayloadsChangeNothing) {
    store(channel, R"({"posts":[{"id":"p1"}]})");
    auto& mod = world.join(20, "mod", UserRole::Moderator);
    auto cut = [](MessageType t, std::vector<uint8_t> payload) { return packet(t, payload); };
    const auto ch0 = static_cast<uint8_t>(channel);
    const auto ch1 = static_cast<uint8_t>(channel >> 8);
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"get without channel", cut(MessageType::ChannelContentGet, {ch0})},
        {"update without content", cut(MessageType::ChannelContentUpdate, {ch0, ch1})},
        {"update with cut content", cut(MessageType::ChannelContentUpdate, {ch0, ch1, 5, 0, 'a'})},
        {"toggle without emoji", cut(MessageType::ChannelReactionToggle, {ch0, ch1, 2, 0, 'p', '1'})},
        {"toggle with cut emoji", cut(MessageType::ChannelReactionToggle, {ch0, ch1, 2, 0, 'p', '1', 1, 0})},
    };
    for (const auto& [what, packet] : cases) {
        SCOPED_TRACE(what);
        LogCapture::instance().clear();
        EXPECT_TRUE(world.request(mod, packet).empty());
        expectOthersGot(mod, {});
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                               "Client 20: packet processing error: PacketReader: buffer underflow"),
                  1u);
    }
    EXPECT_EQ(stored(channel), R"({"posts":[{"id":"p1"}]})");
}

// Many members toggle on one post at once; a slow store read widens the gap
// between load and store. Every toggle must survive.
TEST(ChannelContentRaceTest, ConcurrentTogglesOnOneChannelLoseNothing) {
    constexpr int kMembers = 8;
    VServerWorld world;
    world.database->db->after = [](std::string_view op) {
        if (op == "GetChannelContent") std::this_thread::sleep_for(2ms);
    };
    const uint16_t channel = world.addChannel("board");
    world.database->real->SetChannelContent(channel, R"({"posts":[{"id":"p1"},{"id":"p2"}]})");
    std::vector<SessionHarness*> members;
    for (int i = 0; i < kMembers; ++i)
        members.push_back(&world.join(100 + i, numbered("m", i), UserRole::Member));

    std::vector<std::vector<Packet>> received(kMembers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kMembers; ++i) {
        threads.emplace_back([&, i] {
            // Every member reacts on both posts with the shared emoji and with one of its own.
            for (const auto& [post, emoji] : std::vector<std::pair<std::string, std::string>>{
                     {"p1", kThumbs}, {"p1", numbered("e", i)}, {"p2", kThumbs}}) {
                for (auto& p : requestAndWait(*members[i], reactionToggleRequest(channel, post, emoji)))
                    received[i].push_back(std::move(p));
            }
        });
    }
    for (auto& t : threads) t.join();

    const auto doc = nlohmann::json::parse(*world.database->real->GetChannelContent(channel));
    std::set<uint32_t> expected;
    for (int i = 0; i < kMembers; ++i) expected.insert(100 + i);
    for (int post : {0, 1}) {
        const auto& list = doc["posts"][post]["reactions"][kThumbs];
        ASSERT_EQ(list.size(), static_cast<std::size_t>(kMembers)) << list.dump();
        EXPECT_EQ(list.get<std::set<uint32_t>>(), expected);
    }
    for (int i = 0; i < kMembers; ++i)
        EXPECT_EQ(doc["posts"][0]["reactions"][numbered("e", i)], nlohmann::json::array({100 + i}));

    // Every member saw every toggle; the last update of each list carries all ids.
    for (int i = 0; i < kMembers; ++i) {
        for (auto& p : receivedSoFar(*members[i])) received[i].push_back(std::move(p));
        std::size_t updates = 0;
        std::size_t fullLists = 0;
        for (const auto& p : received[i]) {
            if (p.type != MessageType::ChannelReactionUpdate) continue;
            ++updates;
            const auto u = reactionOf(p);
            if (u.emoji == kThumbs && u.count == kMembers) ++fullLists;
        }
        EXPECT_EQ(updates, static_cast<std::size_t>(3 * kMembers)) << "member " << i;
        EXPECT_EQ(fullLists, 2u) << "member " << i;
    }
}

}  // namespace
}  // namespace Korrafin::Test
