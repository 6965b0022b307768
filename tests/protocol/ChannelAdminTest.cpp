// Channel create, update, delete and reorder requests over real sockets,
// against a virtual server with a real database: who may, how the request
// records are read, what every session receives, what is stored, and the
// records the tree must never take (too long for the channel list, or a
// channel under itself).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ChannelInfo.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

constexpr const char* kUnderflow = "packet processing error: PacketReader: buffer underflow";

ChannelRequest named(const std::string& name, uint16_t parentId = 0, int tail = 6) {
    ChannelRequest c;
    c.name = name;
    c.parentId = parentId;
    c.tail = tail;
    return c;
}

// The one channel of the tree that has this name.
std::optional<ChannelInfo> byName(VirtualServer& vs, const std::string& name) {
    for (const auto& c : vs.channelManager.all())
        if (c.name == name) return c;
    return std::nullopt;
}

std::vector<uint16_t> reorderIdsOf(const Packet& p) {
    return listOf(p, MessageType::ChannelReorder, [](PacketReader& r) { return r.readLE<uint16_t>(); });
}

// The scene with one deletable text channel "Alt".
struct AltScene : Scene {
    explicit AltScene(UserRole requesterRole) : Scene(requesterRole) {
        alt = world.addChannel("Alt");
        world.drainAll();
    }
    uint16_t alt = 0;
};

class ChannelAdminTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
};

// ---------------------------------------------------------------- who may

TEST_F(ChannelAdminTest, EachRequestByRole) {
    struct Case {
        const char* what;
        UserRole least;
        const char* refusal;
        std::function<std::vector<uint8_t>(AltScene&)> request;
        Types broadcast;
        std::function<bool(AltScene&)> applied;
    };
    const std::vector<Case> cases = {
        {"create", UserRole::Admin, "Cannot create channel",
         [](AltScene&) {
             ChannelRequest c;
             c.name = "Neu";
             return channelCreateRequest(c);
         },
         {MessageType::ChannelList}, [](AltScene& s) { return byName(*s.world.vs, "Neu").has_value(); }},
        {"update", UserRole::Moderator, "Cannot update channel",
         [](AltScene& s) {
             ChannelRequest c;
             c.name = "Umbenannt";
             return channelUpdateRequest(s.alt, c);
         },
         {MessageType::ChannelList},
         [](AltScene& s) { return s.world.vs->channelManager.find(s.alt)->name == "Umbenannt"; }},
        {"delete", UserRole::Admin, "Cannot delete channel", [](AltScene& s) { return channelDeleteRequest(s.alt); },
         {MessageType::ChannelList}, [](AltScene& s) { return !s.world.vs->channelManager.find(s.alt); }},
        {"reorder", UserRole::Moderator, "Cannot reorder channels",
         [](AltScene& s) { return channelReorderRequest({s.alt, ChannelManager::kLobbyId}); },
         {MessageType::ChannelList, MessageType::ChannelReorder},
         [](AltScene& s) { return s.world.vs->channelManager.find(ChannelManager::kLobbyId)->sortOrder == 1; }},
    };

    for (const auto& c : cases) {
        for (UserRole role : kRoles) {
            SCOPED_TRACE(std::string(c.what) + " by " + roleText(role));
            AltScene s(role);
            const auto before = s.world.vs->channelManager.all();
            const auto got = s.request(c.request(s));
            if (static_cast<uint8_t>(role) >= static_cast<uint8_t>(c.least)) {
                EXPECT_EQ(typesOf(got), c.broadcast);
                EXPECT_TRUE(c.applied(s));
                for (SessionHarness* m : s.others()) EXPECT_EQ(typesOf(receivedSoFar(*m)), c.broadcast);
            } else {
                ASSERT_EQ(got.size(), 1u);
                EXPECT_EQ(errorText(got[0]), c.refusal);
                EXPECT_FALSE(c.applied(s));
                EXPECT_EQ(s.world.vs->channelManager.all().size(), before.size());
                for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
            }
        }
    }
}

TEST_F(ChannelAdminTest, TheLobbyIsNeverDeletedWhateverTheRole) {
    for (UserRole role : kRoles) {
        SCOPED_TRACE(roleText(role));
        AltScene s(role);
        const auto got = s.request(channelDeleteRequest(ChannelManager::kLobbyId));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(errorText(got[0]), "Cannot delete channel");
        EXPECT_TRUE(s.world.vs->channelManager.find(ChannelManager::kLobbyId));
        EXPECT_EQ(s.world.vs->channelManager.usersIn(ChannelManager::kLobbyId).size(), 2u);
    }
}

// ---------------------------------------------------------------- malformed payloads

TEST_F(ChannelAdminTest, ShortPayloadsChangeAndSendNothingAndKeepTheConnection) {
    ChannelRequest withIcon;
    withIcon.tail = 4;
    withIcon.iconUrl = "https://bilder.example/icon.png";
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>(uint16_t alt)> request;
        bool underflow;  // logged as a reader error (else dropped quietly)
    };
    const std::vector<Case> cases = {
        {"create without logMode", [](uint16_t) { return cutShort(channelCreateRequest(named("Raum", 0, 0)), 1); }, true},
        {"create with a cut-off icon URL", [&](uint16_t) { return cutShort(channelCreateRequest(withIcon), 3); }, true},
        {"create with half an icon length", [&](uint16_t) { return cutShort(channelCreateRequest(withIcon), 32); }, true},
        {"create without payload", [](uint16_t) { return packet(MessageType::ChannelCreate); }, true},
        {"update with the id only",
         [](uint16_t alt) {
             PacketBuilder b(MessageType::ChannelUpdate);
             b.writeLE(alt);
             return b.finalise();
         },
         true},
        {"update without logMode",
         [](uint16_t alt) { return cutShort(channelUpdateRequest(alt, named("Raum", 0, 0)), 1); }, true},
        {"delete with one byte", [](uint16_t alt) { return cutShort(channelDeleteRequest(alt), 1); }, true},
        {"reorder missing an id", [](uint16_t alt) { return channelReorderRequest({alt}, 2); }, true},
        {"reorder without a count", [](uint16_t) { return packet(MessageType::ChannelReorder); }, true},
        {"reorder of none", [](uint16_t) { return channelReorderRequest({}); }, false},
        {"reorder of 513",
         [](uint16_t alt) { return channelReorderRequest(std::vector<uint16_t>(513, alt)); }, false},
    };

    AltScene s(UserRole::Owner);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        const auto before = s.world.vs->channelManager.all();
        EXPECT_TRUE(s.request(c.request(s.alt)).empty()) << "no answer";
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, std::string("Client 10: ") + kUnderflow),
                  c.underflow ? 1u : 0u);
        const auto after = s.world.vs->channelManager.all();
        ASSERT_EQ(after.size(), before.size());
        for (const auto& ch : after) {
            const auto old = std::find_if(before.begin(), before.end(), [&](auto& b) { return b.id == ch.id; });
            ASSERT_NE(old, before.end());
            EXPECT_EQ(ch.name, old->name);
            EXPECT_EQ(ch.sortOrder, old->sortOrder);
        }
        for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
    }
    EXPECT_FALSE(s.requester->session->isClosed());
}

// ---------------------------------------------------------------- create

TEST_F(ChannelAdminTest, TheOptionalTailIsReadFieldByField) {
    struct Case {
        int tail;
        uint8_t role;
        const char* icon;
        const char* banner;
        const char* color;
    };
    const std::vector<Case> cases = {
        {0, 0, "", "", ""},       {1, 3, "", "", ""},       {2, 3, "", "", ""}, {3, 3, "", "", ""},
        {4, 3, "i.png", "", ""}, {5, 3, "i.png", "b.png", ""}, {6, 3, "i.png", "b.png", "#ff8800"},
    };
    AltScene s(UserRole::Admin);
    for (const auto& c : cases) {
        SCOPED_TRACE("tail of " + std::to_string(c.tail));
        ChannelRequest r;
        r.name = "Schwanz " + std::to_string(c.tail);
        r.tail = c.tail;
        r.requiredRole = 3;
        r.iconUrl = "i.png";
        r.bannerUrl = "b.png";
        r.textColor = "#ff8800";
        const auto got = s.request(channelCreateRequest(r));
        ASSERT_EQ(typesOf(got), Types{MessageType::ChannelList});
        const auto made = byName(*s.world.vs, r.name);
        ASSERT_TRUE(made);
        const auto shown = listedChannel(got[0], made->id);
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->requiredRole, c.role);
        EXPECT_EQ(shown->iconUrl, c.icon);
        EXPECT_EQ(shown->bannerUrl, c.banner);
        EXPECT_EQ(shown->textColor, c.color);
    }
}

TEST_F(ChannelAdminTest, ACreatedChannelTakesEveryFieldAndIsItsStoredRow) {
    AltScene s(UserRole::Admin);
    ChannelRequest r;
    r.parentId = 999;  // need not exist
    r.name = "Werkstatt";
    r.description = "Schrauben und Löten";
    r.password = "geheim";
    r.maxUsers = 5;
    r.sortOrder = 7;
    r.isPermanent = 2;
    r.type = 9;  // any value is taken
    r.logMode = 5;
    r.requiredRole = 2;
    r.iconUrl = "icon";
    r.bannerUrl = "banner";
    r.textColor = "#123456";
    const auto got = s.request(channelCreateRequest(r));
    ASSERT_EQ(typesOf(got), Types{MessageType::ChannelList});

    const auto made = byName(*s.world.vs, "Werkstatt");
    ASSERT_TRUE(made);
    const auto shown = listedChannel(got[0], made->id);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->parentId, 999);
    EXPECT_EQ(shown->description, "Schrauben und Löten");
    EXPECT_TRUE(shown->hasPassword);
    EXPECT_EQ(shown->maxUsers, 5);
    EXPECT_EQ(shown->userCount, 0u);
    EXPECT_EQ(shown->sortOrder, 7);
    EXPECT_TRUE(shown->isPermanent);
    EXPECT_EQ(shown->type, 9);
    EXPECT_TRUE(shown->logMode);
    EXPECT_EQ(shown->messageCount, 0u);
    EXPECT_EQ(made->password, "geheim");

    const auto row = s.world.database->real->GetChannelById(made->id);
    ASSERT_TRUE(row) << "the channel's id is its row id";
    EXPECT_EQ(row->name, "Werkstatt");
    EXPECT_EQ(row->parent_id, 999);
    EXPECT_EQ(row->password, "geheim");
    EXPECT_EQ(row->required_role, 2);
    EXPECT_EQ(row->text_color, "#123456");
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 7] Channel 'Werkstatt' (id=" +
                                                               std::to_string(made->id) + ") created by client 10"),
              1u);
}

TEST_F(ChannelAdminTest, NamesOfOneTo128BytesAreTaken) {
    struct Case {
        std::size_t length;
        bool taken;
    };
    const std::vector<Case> cases = {{0, false}, {1, true}, {128, true}, {129, false}};
    AltScene s(UserRole::Owner);
    for (const auto& c : cases) {
        SCOPED_TRACE("name of " + std::to_string(c.length) + " bytes");
        ChannelRequest r;
        r.name = std::string(c.length, 'n');
        const auto created = s.request(channelCreateRequest(r));
        const auto updated = s.request(channelUpdateRequest(s.alt, r));
        if (c.taken) {
            EXPECT_EQ(typesOf(created), Types{MessageType::ChannelList});
            EXPECT_EQ(typesOf(updated), Types{MessageType::ChannelList});
            EXPECT_EQ(s.world.vs->channelManager.find(s.alt)->name, r.name);
        } else {
            ASSERT_EQ(created.size(), 1u);
            EXPECT_EQ(errorText(created[0]), "Cannot create channel");
            ASSERT_EQ(updated.size(), 1u);
            EXPECT_EQ(errorText(updated[0]), "Cannot update channel");
            EXPECT_NE(s.world.vs->channelManager.find(s.alt)->name, r.name);
        }
    }
}

// The body of a channel's wire record is counted in 16 bits: a record that
// would not fit would break the channel list of every client.
TEST_F(ChannelAdminTest, ARecordTooLongForTheChannelListIsRefused) {
    AltScene s(UserRole::Owner);
    // name + description + the three appearance strings; the password is not
    // listed, so it does not count.
    const std::size_t room = ChannelInfo::kMaxWireBody - ChannelInfo::kFixedWireBody;
    auto sized = [&](std::size_t total, const std::string& name) {
        ChannelRequest r;
        r.name = name;
        r.password = std::string(60000, 'p');
        r.iconUrl = std::string(20000, 'i');
        r.bannerUrl = std::string(20000, 'b');
        r.textColor = "#fff";
        r.description = std::string(total - r.name.size() - 40000 - 4, 'd');
        return r;
    };

    const auto fits = sized(room, "Passt");
    const auto created = s.request(channelCreateRequest(fits));
    ASSERT_EQ(typesOf(created), Types{MessageType::ChannelList});
    const auto made = listedChannel(created[0], byName(*s.world.vs, "Passt")->id);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->description.size(), fits.description.size()) << "listed whole";

    const std::size_t rowsBefore = s.world.database->real->GetAllChannels().size();
    const auto tooLong = sized(room + 1, "Zu lang");
    auto got = s.request(channelCreateRequest(tooLong));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(errorText(got[0]), "Cannot create channel");
    EXPECT_FALSE(byName(*s.world.vs, "Zu lang"));
    EXPECT_EQ(s.world.database->real->GetAllChannels().size(), rowsBefore) << "no row left behind";

    got = s.request(channelUpdateRequest(s.alt, sized(room + 1, "Alt")));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(errorText(got[0]), "Cannot update channel");
    EXPECT_TRUE(s.world.vs->channelManager.find(s.alt)->description.empty());
    EXPECT_TRUE(s.world.database->real->GetChannelById(s.alt)->description.empty());
    EXPECT_EQ(typesOf(s.request(channelUpdateRequest(s.alt, sized(room, "Alt")))), Types{MessageType::ChannelList});

    for (SessionHarness* m : s.others()) {
        EXPECT_EQ(typesOf(receivedSoFar(*m)), (Types{MessageType::ChannelList, MessageType::ChannelList}));
    }

    // Small lists again, so the leaving sessions' announcements do not pile
    // up in the sockets of those that leave last.
    s.world.vs->adminDeleteChannel(made->id, 0);
    auto small = *s.world.vs->channelManager.find(s.alt);
    small.description.clear();
    small.iconUrl.clear();
    small.bannerUrl.clear();
    s.world.vs->adminUpdateChannel(small, 0);
    s.world.drainAll();
}

// ---------------------------------------------------------------- update

TEST_F(ChannelAdminTest, AnUpdateReplacesTheSettingsWholeAndKeepsMembersAndCount) {
    AltScene s(UserRole::Moderator);
    ChannelRequest full;
    full.name = "Alt";
    full.description = "mit allem";
    full.password = "pw";
    full.requiredRole = 2;
    full.iconUrl = "i";
    full.bannerUrl = "b";
    full.textColor = "#000";
    ASSERT_EQ(typesOf(s.request(channelUpdateRequest(s.alt, full))), Types{MessageType::ChannelList});
    ASSERT_TRUE(s.world.vs->moveUserToChannel(20, s.alt, "pw"));
    for (int i = 0; i < 3; ++i) s.world.vs->incrementChannelMessageCount(s.alt);
    s.world.drainAll();

    ChannelRequest bare;  // no tail, no password
    bare.name = "Kahl";
    bare.parentId = ChannelManager::kLobbyId;
    bare.maxUsers = 4;
    bare.sortOrder = 9;
    bare.tail = 0;
    const auto got = s.request(channelUpdateRequest(s.alt, bare));
    ASSERT_EQ(typesOf(got), Types{MessageType::ChannelList});
    const auto shown = listedChannel(got[0], s.alt);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->name, "Kahl");
    EXPECT_EQ(shown->parentId, 1);
    EXPECT_EQ(shown->description, "");
    EXPECT_FALSE(shown->hasPassword) << "an empty password removes it";
    EXPECT_EQ(shown->requiredRole, 0);
    EXPECT_EQ(shown->iconUrl, "");
    EXPECT_EQ(shown->bannerUrl, "");
    EXPECT_EQ(shown->textColor, "");
    EXPECT_EQ(shown->maxUsers, 4);
    EXPECT_EQ(shown->sortOrder, 9);
    EXPECT_EQ(shown->messageCount, 3u) << "the count stays";
    EXPECT_EQ(shown->userCount, 1u) << "the member stays";

    const auto row = s.world.database->real->GetChannelById(s.alt);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->name, "Kahl");
    EXPECT_FALSE(row->has_password);
    EXPECT_EQ(row->required_role, 0);
    EXPECT_EQ(row->message_count, 3);
    EXPECT_TRUE(s.world.vs->moveUserToChannel(10, s.alt, "")) << "no password any more";
}

TEST_F(ChannelAdminTest, AnUpdateOfAnUnknownChannelIsRefused) {
    AltScene s(UserRole::Owner);
    for (uint16_t id : {uint16_t{0}, uint16_t{4321}}) {
        const auto got = s.request(channelUpdateRequest(id, ChannelRequest{}));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(errorText(got[0]), "Cannot update channel");
        EXPECT_FALSE(s.world.vs->channelManager.find(id));
    }
}

// A client draws the channel list as a tree: a channel under itself, however
// far down, has no place in it.
TEST_F(ChannelAdminTest, NoChannelBecomesItsOwnAncestor) {
    AltScene s(UserRole::Owner);
    auto create = [&](const std::string& name, uint16_t parent) {
        ChannelRequest r;
        r.name = name;
        r.parentId = parent;
        s.request(channelCreateRequest(r));
        return byName(*s.world.vs, name)->id;
    };
    auto reparent = [&](uint16_t id, uint16_t parent) {
        ChannelRequest r;
        r.name = s.world.vs->channelManager.find(id)->name;
        r.parentId = parent;
        return s.request(channelUpdateRequest(id, r));
    };
    const uint16_t a = create("A", 0);
    const uint16_t b = create("B", a);
    const uint16_t c = create("C", b);
    s.world.drainAll();

    for (auto [id, parent] : {std::pair{a, a}, std::pair{a, c}, std::pair{b, c}}) {
        SCOPED_TRACE(std::to_string(id) + " under " + std::to_string(parent));
        const auto got = reparent(id, parent);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(errorText(got[0]), "Cannot update channel");
    }
    EXPECT_EQ(s.world.vs->channelManager.find(a)->parentId, 0);
    EXPECT_EQ(s.world.vs->channelManager.find(b)->parentId, a);
    EXPECT_EQ(s.world.database->real->GetChannelById(a)->parent_id, 0);

    // Moving a branch elsewhere, or under a parent that is not there, is fine.
    EXPECT_EQ(typesOf(reparent(c, a)), Types{MessageType::ChannelList});
    EXPECT_EQ(typesOf(reparent(b, 60000)), Types{MessageType::ChannelList});

    // A new channel gets the next row id: one that an existing channel, or
    // the new channel itself, already names as its parent.
    const uint16_t next = static_cast<uint16_t>(c + 1);
    ASSERT_EQ(typesOf(reparent(a, next)), Types{MessageType::ChannelList});
    auto got = s.request(channelCreateRequest(named("Schleife", a)));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(errorText(got[0]), "Cannot create channel");
    EXPECT_FALSE(byName(*s.world.vs, "Schleife"));
    EXPECT_FALSE(s.world.database->real->GetChannelById(next)) << "the refused row is not kept";

    // The refused row used its id up: the next one follows it.
    const uint16_t after = static_cast<uint16_t>(next + 1);
    got = s.request(channelCreateRequest(named("Selbst", after)));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(errorText(got[0]), "Cannot create channel");
    EXPECT_FALSE(byName(*s.world.vs, "Selbst"));
}

// ---------------------------------------------------------------- delete

TEST_F(ChannelAdminTest, PermanentChannelsAreDeletedOnlyAsSpacersOrAfterAnUpdate) {
    AltScene s(UserRole::Admin);
    auto create = [&](const std::string& name, ChannelType type) {
        ChannelRequest r;
        r.name = name;
        r.isPermanent = 1;
        r.type = static_cast<uint8_t>(type);
        s.request(channelCreateRequest(r));
        return byName(*s.world.vs, name)->id;
    };
    const uint16_t text = create("Bleibt", ChannelType::Text);
    const uint16_t spacer = create("Trenner", ChannelType::Spacer);

    auto got = s.request(channelDeleteRequest(text));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(errorText(got[0]), "Cannot delete channel");
    EXPECT_TRUE(s.world.vs->channelManager.find(text));

    ChannelRequest cleared;
    cleared.name = "Bleibt";
    cleared.isPermanent = 0;
    ASSERT_EQ(typesOf(s.request(channelUpdateRequest(text, cleared))), Types{MessageType::ChannelList});
    EXPECT_EQ(typesOf(s.request(channelDeleteRequest(text))), Types{MessageType::ChannelList});
    EXPECT_EQ(typesOf(s.request(channelDeleteRequest(spacer))), Types{MessageType::ChannelList});
    EXPECT_FALSE(s.world.vs->channelManager.find(text));
    EXPECT_FALSE(s.world.vs->channelManager.find(spacer));
    EXPECT_FALSE(s.world.database->real->GetChannelById(text));
    EXPECT_FALSE(s.world.database->real->GetChannelById(spacer));

    got = s.request(channelDeleteRequest(text));
    ASSERT_EQ(got.size(), 1u) << "gone already";
    EXPECT_EQ(errorText(got[0]), "Cannot delete channel");
}

TEST_F(ChannelAdminTest, DeletingMovesEveryMemberToTheLobbyFirst) {
    AltScene s(UserRole::Admin);
    auto& third = s.world.join(40, "dritte", UserRole::Member);
    for (uint32_t id : {10u, 20u, 40u}) ASSERT_TRUE(s.world.vs->moveUserToChannel(id, s.alt, ""));
    s.world.drainAll();

    const auto got = s.request(channelDeleteRequest(s.alt));
    std::vector<SessionHarness*> all = s.everyone();
    all.push_back(&third);
    for (SessionHarness* m : all) {
        SCOPED_TRACE("client " + std::to_string(m->clientId));
        const auto seen = m == s.requester ? got : receivedSoFar(*m);
        std::vector<Packet> announcements;
        std::vector<Packet> results;
        for (const auto& p : seen) (p.type == MessageType::ChannelJoinResult ? results : announcements).push_back(p);
        const Types oneMove = {MessageType::UserLeftChannel, MessageType::ChannelList,
                               MessageType::UserJoinedChannel, MessageType::ChannelList};
        Types expected;
        for (int i = 0; i < 3; ++i)
            for (MessageType t : oneMove) expected.push_back(t);
        expected.push_back(MessageType::ChannelList);
        ASSERT_EQ(typesOf(announcements), expected);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(firstU32(announcements[i * 4]), (std::vector<uint32_t>{10, 20, 40})[i]) << "joining order";
            EXPECT_EQ(userOf(announcements[i * 4 + 2]).channelId, 1);
        }
        EXPECT_FALSE(listedChannel(announcements.back(), s.alt));
        EXPECT_EQ(userCountIn(announcements.back(), 1), 3u);
        // Only a moved member is told its own move's result.
        if (m == s.pending) {
            EXPECT_TRUE(results.empty());
        } else {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(joinResultOf(results[0]), (std::pair<uint16_t, uint16_t>{0, 1}));
        }
    }
    for (uint32_t id : {10u, 20u, 40u}) EXPECT_EQ(s.world.vs->findSession(id)->channelId(), 1);
}

// A member that cannot enter the lobby must not stay behind in a channel
// that no longer exists.
TEST_F(ChannelAdminTest, AMemberThatCannotEnterTheLobbyIsTakenOutOfTheDeletedChannel) {
    AltScene s(UserRole::Owner);
    ASSERT_TRUE(s.world.vs->moveUserToChannel(20, s.alt, ""));
    auto lobby = *s.world.vs->channelManager.find(ChannelManager::kLobbyId);
    lobby.password = "nur mit Schlüssel";
    lobby.hasPassword = true;
    ASSERT_TRUE(s.world.vs->adminUpdateChannel(lobby, 0));
    s.world.drainAll();

    const auto got = s.request(channelDeleteRequest(s.alt));
    for (SessionHarness* m : s.everyone()) {
        SCOPED_TRACE("client " + std::to_string(m->clientId));
        const auto seen = m == s.requester ? got : receivedSoFar(*m);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::UserLeftChannel, MessageType::ChannelList}));
        auto r = seen[0].reader();
        EXPECT_EQ(r.readLE<uint32_t>(), 20u);
        EXPECT_EQ(r.readLE<uint16_t>(), s.alt);
        EXPECT_FALSE(listedChannel(seen[1], s.alt));
        EXPECT_EQ(userCountIn(seen[1], 1), 1u);
    }
    EXPECT_EQ(s.world.vs->findSession(20)->channelId(), 0);
    EXPECT_EQ(s.world.vs->channelManager.channelOf(20), 0);
    EXPECT_FALSE(s.world.vs->channelManager.find(s.alt));

    // It can still go where it may.
    EXPECT_TRUE(s.world.vs->moveUserToChannel(20, ChannelManager::kLobbyId, "nur mit Schlüssel"));
}

// ---------------------------------------------------------------- reorder

TEST_F(ChannelAdminTest, ReorderingAnnouncesTheRequestedListAsGiven) {
    AltScene s(UserRole::Moderator);
    const uint16_t b = s.world.addChannel("B");
    s.world.drainAll();
    const std::vector<uint16_t> order{b, s.alt, 4444, b, ChannelManager::kLobbyId};
    const auto got = s.request(channelReorderRequest(order));
    for (SessionHarness* m : s.everyone()) {
        SCOPED_TRACE("client " + std::to_string(m->clientId));
        const auto seen = m == s.requester ? got : receivedSoFar(*m);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::ChannelList, MessageType::ChannelReorder}));
        EXPECT_EQ(reorderIdsOf(seen[1]), order) << "duplicates and unknown ids included";
        EXPECT_EQ(listedChannel(seen[0], s.alt)->sortOrder, 1);
        EXPECT_EQ(listedChannel(seen[0], b)->sortOrder, 3) << "a repeated id ends at its last position";
        EXPECT_EQ(listedChannel(seen[0], 1)->sortOrder, 4);
    }
    EXPECT_FALSE(s.world.vs->channelManager.find(4444));
    EXPECT_EQ(s.world.database->real->GetChannelById(b)->sort_order, 3);
}

// Positions beyond what the one-byte order holds keep the channel at the
// end rather than wrapping it to the front; the database keeps the position.
TEST_F(ChannelAdminTest, ReorderingTakes512IdsAndLatePositionsStayLast) {
    AltScene s(UserRole::Owner);
    std::vector<uint16_t> order(512, 4444);
    order[0] = ChannelManager::kLobbyId;
    order[300] = s.alt;
    const auto got = s.request(channelReorderRequest(order));
    ASSERT_EQ(typesOf(got), (Types{MessageType::ChannelList, MessageType::ChannelReorder}));
    EXPECT_EQ(reorderIdsOf(got[1]).size(), 512u);
    EXPECT_EQ(listedChannel(got[0], s.alt)->sortOrder, 255);
    EXPECT_EQ(listedChannel(got[0], 1)->sortOrder, 0);
    EXPECT_EQ(s.world.database->real->GetChannelById(s.alt)->sort_order, 300);

    // After a restart the stored position is shown the same way.
    VirtualServer::VSConfig cfg;
    cfg.id = 8;
    auto reloaded = std::make_shared<VirtualServer>(cfg);
    reloaded->db = s.world.database->db;
    reloaded->loadChannelsFromDb();
    EXPECT_EQ(reloaded->channelManager.find(s.alt)->sortOrder, 255);
}

}  // namespace
}  // namespace Korrafin::Test
