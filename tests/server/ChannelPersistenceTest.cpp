// Channel administration with its database write-through: loading, ids that
// are row ids, refusals, message counts, and what a restart brings back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "support/LogCapture.h"
#include "support/RawSqlite.h"
#include "support/RecordingSinks.h"
#include "support/TestDatabase.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using kt::LogCapture;
using kt::Packet;

using kt::receivedSoFar;

DB::DbChannel row(const std::string& name, int32_t sortOrder = 0, int64_t parent = 0) {
    DB::DbChannel c;
    c.name = name;
    c.sort_order = sortOrder;
    c.parent_id = parent;
    c.is_permanent = false;
    return c;
}

ChannelInfo channel(const std::string& name, uint16_t parent = 0) {
    ChannelInfo c;
    c.name = name;
    c.parentId = parent;
    c.isPermanent = false;
    return c;
}

std::vector<uint16_t> idsOf(const std::vector<ChannelInfo>& channels) {
    std::vector<uint16_t> ids;
    for (const auto& c : channels) ids.push_back(c.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

class ChannelPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }

    // A virtual server on the test database, loaded as the host does it.
    std::shared_ptr<VirtualServer> makeServer(std::shared_ptr<DB::IDatabase> db) {
        auto vs = kt::makeVServer(kt::vsConfig(1, "Korrafin Server"), std::move(db));
        vs->loadChannelsFromDb();
        return vs;
    }

    // A session admitted to `vs` that watches what is broadcast.
    std::unique_ptr<kt::SessionHarness> watcher(const std::shared_ptr<VirtualServer>& vs, uint32_t id = 1) {
        return kt::connectTo(vs, id);
    }

    kt::TestDatabase db;
};

TEST_F(ChannelPersistenceTest, LoadingKeepsRowIdsSortsByOrderAndMovesTheCounterPastThem) {
    // Rows 2..7, then all but 4 and 7 removed: ids with gaps.
    for (int i = 2; i <= 7; ++i) {
        std::string name = "c";
        name += std::to_string(i);
        db.real->SaveChannel(row(name, i == 4 ? 2 : i == 7 ? 1 : 0));
    }
    for (int gone : {2, 3, 5, 6}) db.real->DeleteChannel(gone);

    auto vs = makeServer(db.db);
    EXPECT_EQ(idsOf(vs->channelManager.all()), (std::vector<uint16_t>{1, 4, 7}));
    EXPECT_EQ(vs->channelManager.find(4)->name, "c4");
    EXPECT_EQ(vs->channelManager.find(7)->sortOrder, 1);
    EXPECT_EQ(vs->channelManager.nextId(), 8);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 1] Loaded 3 channels from DB"), 1u);
}

TEST_F(ChannelPersistenceTest, EveryStoredFieldComesBack) {
    DB::DbChannel r = row("Ankündigungen", 5, 1);
    r.description = "news only";
    r.password = "pw";
    r.has_password = true;
    r.max_users = 12;
    r.is_permanent = true;
    r.required_role = 2;
    r.channel_type = 2;
    r.log_mode = true;
    r.icon_url = "i";
    r.banner_url = "b";
    r.text_color = "#fff";
    const int64_t id = db.real->SaveChannel(r);
    for (int i = 0; i < 42; ++i) db.real->IncrementChannelMessageCount(id);

    auto vs = makeServer(db.db);
    const auto c = vs->channelManager.find(static_cast<uint16_t>(id));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->parentId, 1);
    EXPECT_EQ(c->name, "Ankündigungen");
    EXPECT_EQ(c->description, "news only");
    EXPECT_EQ(c->password, "pw");
    EXPECT_TRUE(c->hasPassword);
    EXPECT_EQ(c->maxUsers, 12);
    EXPECT_EQ(c->sortOrder, 5);
    EXPECT_TRUE(c->isPermanent);
    EXPECT_EQ(c->requiredRole, 2);
    EXPECT_EQ(c->type, 2);
    EXPECT_TRUE(c->logMode);
    EXPECT_EQ(c->iconUrl, "i");
    EXPECT_EQ(c->bannerUrl, "b");
    EXPECT_EQ(c->textColor, "#fff");
    EXPECT_EQ(c->messageCount, 42u);
}

TEST_F(ChannelPersistenceTest, AnEmptyTableKeepsTheDefaultLobbyAndLogsNothing) {
    kt::RawSqlite(db.path()).exec("DELETE FROM Channels");
    db.reopen();
    auto vs = makeServer(db.db);
    EXPECT_EQ(idsOf(vs->channelManager.all()), (std::vector<uint16_t>{1}));
    EXPECT_EQ(LogCapture::instance().countContaining("channels from DB"), 0u);
}

TEST_F(ChannelPersistenceTest, AfterLoadingTheLobbyExistsAndNoChannelHangsUnderAMissingParent) {
    {
        kt::RawSqlite raw(db.path());
        raw.exec("DELETE FROM Channels WHERE id = 1");
        raw.exec("INSERT INTO Channels(id, name, parent_id) VALUES (2, 'Team', 0)");
        raw.exec("INSERT INTO Channels(id, name, parent_id) VALUES (3, 'Orphan', 9)");
        raw.exec("INSERT INTO Channels(id, name, parent_id) VALUES (4, 'Child', 2)");
        // Would narrow onto channel 2.
        raw.exec("INSERT INTO Channels(id, name, parent_id) VALUES (65538, 'Far', 0)");
    }
    db.reopen();
    auto vs = makeServer(db.db);

    EXPECT_EQ(idsOf(vs->channelManager.all()), (std::vector<uint16_t>{1, 2, 3, 4}));
    EXPECT_EQ(vs->channelManager.find(1)->name, "Lobby");
    EXPECT_EQ(vs->channelManager.find(2)->name, "Team");
    EXPECT_EQ(vs->channelManager.find(3)->parentId, 0);
    EXPECT_EQ(vs->channelManager.find(4)->parentId, 2);
    EXPECT_EQ(LogCapture::instance().countContaining("Channel row 65538 skipped"), 1u);
}

TEST_F(ChannelPersistenceTest, ACreatedChannelIsItsRowAndComesBackAfterARestart) {
    auto vs = makeServer(db.db);
    uint16_t id = 0;
    {
        // Made before the watcher, so it is detached only after the watcher's
        // reader, which may call it, is gone; and before `vs` goes.
        kt::AttachedRecorders rec(*vs);
        auto w = watcher(vs);

        id = vs->adminCreateChannel(channel("Stammtisch", 1), 0);
        ASSERT_NE(id, 0);
        const auto stored = db.real->GetChannelById(id);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->name, "Stammtisch");
        EXPECT_EQ(kt::typesOf(receivedSoFar(*w)), (std::vector<MessageType>{MessageType::ChannelList}));
        const auto created = rec.bot.events("created");
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(created[0].channelId, id);
        EXPECT_EQ(created[0].text, "Stammtisch");
        EXPECT_EQ(created[0].parentId, 1);
        EXPECT_TRUE(rec.bot.events("deleted").empty());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[VServer 1] Channel 'Stammtisch' (id=" +
                                                                   std::to_string(id) + ") created by client 0"),
                  1u);

        // An update and a rename reach that same row.
        ChannelInfo edit = *vs->channelManager.find(id);
        edit.name = "Stammtisch 2";
        ASSERT_TRUE(vs->adminUpdateChannel(edit, 0));
    }
    vs.reset();

    db.reopen();
    auto again = makeServer(db.db);
    ASSERT_TRUE(again->channelManager.find(id));
    EXPECT_EQ(again->channelManager.find(id)->name, "Stammtisch 2");
    ASSERT_TRUE(again->adminDeleteChannel(id, 0));
    EXPECT_FALSE(db.real->GetChannelById(id));
}

// The password that was set is the one that is kept: a NUL byte in it
// guards the channel the same way before and after a restart.
TEST_F(ChannelPersistenceTest, APasswordWithANulByteGuardsTheChannelAlikeAfterARestart) {
    const std::string password("\0s3cret", 7);
    auto vs = makeServer(db.db);
    ChannelInfo guarded = channel("Geheim");
    guarded.password = password;
    guarded.hasPassword = true;
    const uint16_t id = vs->adminCreateChannel(guarded, 0);
    ASSERT_NE(id, 0);

    auto tries = [&](const std::shared_ptr<VirtualServer>& server) {
        auto h = kt::admit(server, 5);
        std::vector<bool> joined;
        for (const std::string& attempt : {std::string(), std::string("s3cret"), std::string(1, '\0'), password}) {
            joined.push_back(server->moveUserToChannel(5, id, attempt));
        }
        server->removeSession(5);
        return joined;
    };
    const std::vector<bool> expected{false, false, false, true};
    EXPECT_EQ(tries(vs), expected) << "before the restart";
    vs.reset();

    db.reopen();
    auto again = makeServer(db.db);
    ASSERT_TRUE(again->channelManager.find(id));
    EXPECT_EQ(again->channelManager.find(id)->password, password);
    EXPECT_EQ(tries(again), expected) << "after the restart";
}

TEST_F(ChannelPersistenceTest, AFailedStoreRefusesTheCreation) {
    db.db->before = [](std::string_view op) {
        if (op == "SaveChannel") throw std::runtime_error("disk full");
    };
    auto vs = makeServer(db.db);
    auto w = watcher(vs);

    EXPECT_EQ(vs->adminCreateChannel(channel("Lost"), 0), 0);
    EXPECT_EQ(idsOf(vs->channelManager.all()), (std::vector<uint16_t>{1}));
    EXPECT_TRUE(receivedSoFar(*w).empty());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[VServer 1] DB save channel failed: disk full"), 1u);
}

TEST_F(ChannelPersistenceTest, ARowIdThatCannotBeAChannelIdIsNeverNarrowedOrReused) {
    struct Case {
        const char* what;
        bool aboveRange;
    };
    for (const Case& c : {Case{"row id above 65535", true}, Case{"id of a memory-only channel", false}}) {
        SCOPED_TRACE(c.what);
        kt::TestDatabase fresh;
        if (c.aboveRange) {
            kt::RawSqlite raw(fresh.path());
            raw.exec("INSERT INTO Channels(id, name) VALUES (70000, 'high')");
            raw.exec("DELETE FROM Channels WHERE id = 70000");
            fresh.reopen();
        }
        auto vs = makeServer(fresh.db);
        uint16_t memoryOnly = 0;
        if (!c.aboveRange) {
            // The console's channels live in memory and take automatic ids,
            // which the database hands out as well.
            memoryOnly = vs->channelManager.createChannel(channel("console"));
            ASSERT_EQ(memoryOnly, 2);
        }
        const auto before = idsOf(vs->channelManager.all());

        EXPECT_EQ(vs->adminCreateChannel(channel("New"), 0), 0);
        EXPECT_EQ(idsOf(vs->channelManager.all()), before);
        if (memoryOnly) {
            EXPECT_EQ(vs->channelManager.find(memoryOnly)->name, "console");
        }
        // The row nobody could reach is gone again.
        for (const auto& r : fresh.real->GetAllChannels()) EXPECT_NE(r.name, "New");
    }
}

TEST_F(ChannelPersistenceTest, NamesOfOneTo128BytesAreAccepted) {
    auto vs = makeServer(db.db);
    EXPECT_EQ(vs->adminCreateChannel(channel(""), 0), 0);
    EXPECT_EQ(vs->adminCreateChannel(channel(std::string(129, 'x')), 0), 0);
    EXPECT_NE(vs->adminCreateChannel(channel(std::string(128, 'x')), 0), 0);
    ChannelInfo lobby = *vs->channelManager.find(1);
    lobby.name = std::string(129, 'y');
    EXPECT_FALSE(vs->adminUpdateChannel(lobby, 0));
}

TEST_F(ChannelPersistenceTest, WithoutADatabaseChannelsGetAutomaticIdsAndNeverReplaceOne) {
    auto vs = makeServer(nullptr);
    ChannelInfo asks = channel("Claims the lobby");
    asks.id = 1;  // callers pass 0; an id in the record must not overwrite channel 1
    const uint16_t id = vs->adminCreateChannel(asks, 0);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(vs->channelManager.find(1)->name, "Lobby");
}

TEST_F(ChannelPersistenceTest, EveryOperationIsGatedByTheActorsRole) {
    auto vs = makeServer(db.db);
    auto guest = watcher(vs, 5);
    const uint16_t existing = vs->adminCreateChannel(channel("Existing"), 0);
    ASSERT_NE(existing, 0);
    LogCapture::instance().clear();

    EXPECT_EQ(vs->adminCreateChannel(channel("No"), 5), 0);
    ChannelInfo edit = *vs->channelManager.find(existing);
    edit.name = "Renamed";
    EXPECT_FALSE(vs->adminUpdateChannel(edit, 5));
    EXPECT_FALSE(vs->adminDeleteChannel(existing, 5));
    EXPECT_FALSE(vs->adminReorderChannels({existing}, 5));
    for (const char* line : {"[VServer 1] Client 5 denied: CREATE_CHANNELS", "[VServer 1] Client 5 denied: EDIT_CHANNELS",
                             "[VServer 1] Client 5 denied: DELETE_CHANNELS",
                             "[VServer 1] Client 5 denied: EDIT_CHANNELS (reorder)"})
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, line), 1u) << line;
    EXPECT_EQ(db.real->GetChannelById(existing)->name, "Existing");

    // An admin passes.
    guest->session->setRole(UserRole::Admin);
    EXPECT_TRUE(vs->adminUpdateChannel(edit, 5));
}

TEST_F(ChannelPersistenceTest, AnEditNeverChangesTheMessageCount) {
    auto vs = makeServer(db.db);
    const uint16_t id = vs->adminCreateChannel(channel("Talk"), 0);
    for (int i = 0; i < 42; ++i) vs->incrementChannelMessageCount(id);
    auto w = watcher(vs);

    ChannelInfo edit = *vs->channelManager.find(id);
    edit.messageCount = 0;  // an update request carries no count
    edit.description = "new";
    ASSERT_TRUE(vs->adminUpdateChannel(edit, 0));
    const auto packets = receivedSoFar(*w);
    ASSERT_EQ(packets.size(), 1u);
    for (const auto& c : kt::channelsOf(packets[0])) {
        if (c.id == id) {
            EXPECT_EQ(c.messageCount, 42u);
        }
    }

    vs->incrementChannelMessageCount(id);
    const auto counts = receivedSoFar(*w);
    ASSERT_EQ(counts.size(), 1u);
    auto r = counts[0].reader();
    EXPECT_EQ(r.readLE<uint16_t>(), id);
    EXPECT_EQ(r.readLE<uint32_t>(), 43u);
    EXPECT_EQ(db.real->GetChannelById(id)->message_count, 43);
}

TEST_F(ChannelPersistenceTest, MessageCountsComeFromTheRowOrFromTheTree) {
    struct Case {
        const char* what;
        bool withDb;
        bool memoryOnly;
        bool failing;
    };
    for (const Case& c : {Case{"no database", false, false, false}, Case{"channel without a row", true, true, false},
                          Case{"failing database", true, false, true}}) {
        SCOPED_TRACE(c.what);
        kt::TestDatabase fresh;
        auto vs = makeServer(c.withDb ? fresh.db : nullptr);
        uint16_t id = c.memoryOnly ? vs->channelManager.createChannel(channel("mem"))
                                   : vs->adminCreateChannel(channel("ch"), 0);
        ASSERT_NE(id, 0);
        if (c.failing) {
            fresh.db->before = [](std::string_view op) {
                if (op == "IncrementChannelMessageCount") throw std::runtime_error("locked");
            };
        }
        auto w = watcher(vs);
        vs->incrementChannelMessageCount(id);
        vs->incrementChannelMessageCount(id);
        vs->incrementChannelMessageCount(0);      // no channel
        vs->incrementChannelMessageCount(60000);  // unknown channel
        const auto packets = receivedSoFar(*w);
        ASSERT_EQ(packets.size(), 2u);
        for (uint32_t i = 0; i < 2; ++i) {
            auto r = packets[i].reader();
            EXPECT_EQ(packets[i].type, MessageType::ChannelMessageCount);
            EXPECT_EQ(r.readLE<uint16_t>(), id);
            EXPECT_EQ(r.readLE<uint32_t>(), i + 1);
        }
        if (c.failing) {
            EXPECT_EQ(LogCapture::instance().count(
                          LogLevel::Warn, "[VServer 1] message-count persist failed for channel " + std::to_string(id) +
                                              ": locked"),
                      2u);
        }
        fresh.db->before = nullptr;
    }
}

TEST_F(ChannelPersistenceTest, DeletingMovesMembersToTheLobbyThenAnnounces) {
    auto vs = makeServer(db.db);
    const uint16_t id = vs->adminCreateChannel(channel("Room"), 0);
    ChannelInfo spacer = channel("----");
    spacer.type = static_cast<uint8_t>(ChannelType::Spacer);
    spacer.isPermanent = true;
    const uint16_t spacerId = vs->adminCreateChannel(spacer, 0);
    ChannelInfo permanent = channel("Fixed");
    permanent.isPermanent = true;
    const uint16_t permanentId = vs->adminCreateChannel(permanent, 0);

    // Made before the watchers, whose readers may call it, so it goes after them.
    kt::AttachedRecorders rec(*vs);
    auto a = watcher(vs, 11);
    auto b = watcher(vs, 12);
    ASSERT_TRUE(vs->moveUserToChannel(11, id, ""));
    ASSERT_TRUE(vs->moveUserToChannel(12, id, ""));
    receivedSoFar(*a);
    receivedSoFar(*b);
    LogCapture::instance().clear();

    EXPECT_FALSE(vs->adminDeleteChannel(1, 0));
    EXPECT_FALSE(vs->adminDeleteChannel(permanentId, 0));
    EXPECT_TRUE(LogCapture::instance().lines().empty());
    ASSERT_TRUE(vs->adminDeleteChannel(id, 0));

    const auto seen = kt::typesOf(receivedSoFar(*a));
    const std::vector<MessageType> oneMove{MessageType::UserLeftChannel, MessageType::ChannelList,
                                           MessageType::UserJoinedChannel, MessageType::ChannelList};
    std::vector<MessageType> expected = oneMove;
    expected.push_back(MessageType::ChannelJoinResult);  // a's own move
    expected.insert(expected.end(), oneMove.begin(), oneMove.end());
    expected.push_back(MessageType::ChannelList);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(a->session->channelId(), 1);
    EXPECT_EQ(b->session->channelId(), 1);
    EXPECT_FALSE(db.real->GetChannelById(id));
    const auto deleted = rec.bot.events("deleted");
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0].channelId, id);
    EXPECT_TRUE(rec.bot.events("created").empty());

    EXPECT_TRUE(vs->adminDeleteChannel(spacerId, 0));
}

TEST_F(ChannelPersistenceTest, ReorderingSetsPositionsAndAnnouncesTheRequestedOrder) {
    auto vs = makeServer(db.db);
    const uint16_t three = vs->adminCreateChannel(channel("three"), 0);
    const uint16_t five = vs->adminCreateChannel(channel("five"), 0);
    auto w = watcher(vs);

    ASSERT_TRUE(vs->adminReorderChannels({five, three, 999}, 0));
    EXPECT_EQ(vs->channelManager.find(five)->sortOrder, 0);
    EXPECT_EQ(vs->channelManager.find(three)->sortOrder, 1);
    EXPECT_EQ(db.real->GetChannelById(three)->sort_order, 1);
    const auto packets = receivedSoFar(*w);
    ASSERT_EQ(kt::typesOf(packets), (std::vector<MessageType>{MessageType::ChannelList, MessageType::ChannelReorder}));
    auto r = packets[1].reader();
    EXPECT_EQ(r.readLE<uint16_t>(), 3);
    EXPECT_EQ(r.readLE<uint16_t>(), five);
    EXPECT_EQ(r.readLE<uint16_t>(), three);
    EXPECT_EQ(r.readLE<uint16_t>(), 999);
}

TEST_F(ChannelPersistenceTest, SettingsComeFromTheDatabaseOrAreTheDefaults) {
    auto noDb = makeServer(nullptr);
    const auto defaults = noDb->getServerSettings();
    EXPECT_EQ(defaults.accent_color, 0x3B82F6u);
    EXPECT_EQ(defaults.entry_channel_id, 1);
    EXPECT_EQ(defaults.notify_channel_id, 0);
    EXPECT_TRUE(defaults.welcome_message.empty());
    noDb->saveServerSettings(defaults);  // nothing to write to, nothing thrown

    auto vs = makeServer(db.db);
    DB::DbServerSettings s = vs->getServerSettings();
    s.welcome_message = "Moin";
    s.entry_channel_id = 3;
    vs->saveServerSettings(s);
    EXPECT_EQ(makeServer(db.db)->getServerSettings().welcome_message, "Moin");
    EXPECT_EQ(makeServer(db.db)->getServerSettings().entry_channel_id, 3);
}

}  // namespace
}  // namespace Korrafin
