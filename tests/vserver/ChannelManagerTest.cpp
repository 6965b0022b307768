#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "protocol/Packets.h"
#include "vserver/ChannelManager.h"

using Korrafin::ChannelInfo;
using Korrafin::ChannelManager;
using Korrafin::ChannelType;

namespace {

ChannelInfo channel(uint16_t id, const std::string& name = "c", uint16_t parent = 0) {
    ChannelInfo c;
    c.id = id;
    c.name = name;
    c.parentId = parent;
    return c;
}

ChannelInfo lobby() {
    ChannelInfo c = channel(1, "Lobby");
    c.description = "Default channel";
    return c;
}

std::set<uint16_t> ids(const std::vector<ChannelInfo>& list) {
    std::set<uint16_t> out;
    for (const auto& c : list) out.insert(c.id);
    return out;
}

}  // namespace

// ---- ids ------------------------------------------------------------------

TEST(ChannelManagerIds, FreshTreeIsEmptyAndCountsFromTwo) {
    ChannelManager m;
    EXPECT_TRUE(m.all().empty());
    EXPECT_FALSE(m.find(1).has_value());
    EXPECT_EQ(m.createChannel(channel(0)), 2);
    EXPECT_EQ(m.createChannel(channel(0)), 3);
    EXPECT_EQ(m.find(3)->id, 3);
}

TEST(ChannelManagerIds, ExplicitIdsAndTheCounter) {
    ChannelManager m;
    EXPECT_EQ(m.createChannel(channel(7)), 7);  // counter stays at 2
    EXPECT_EQ(m.createChannelWithId(channel(10)), 10);  // counter to 11
    EXPECT_EQ(m.createChannelWithId(channel(5)), 5);    // below the counter: no change
    EXPECT_EQ(m.createChannel(channel(0)), 11);
    EXPECT_EQ(m.createChannelWithId(channel(0)), 12);  // id 0 is a plain automatic create
    EXPECT_EQ(ids(m.all()), (std::set<uint16_t>{5, 7, 10, 11, 12}));

    // An explicit id equal to the counter moves it on, even once that channel is gone.
    ChannelManager fresh;
    fresh.createChannelWithId(channel(2));
    fresh.deleteChannel(2);
    EXPECT_EQ(fresh.createChannel(channel(0)), 3);
}

TEST(ChannelManagerIds, AutomaticIdsSkipLiveChannelsAndWrapPastLobby) {
    ChannelManager m;
    m.createChannel(lobby());
    m.createChannel(channel(2, "taken"));
    m.createChannel(channel(3, "taken"));
    EXPECT_EQ(m.createChannel(channel(0, "new")), 4);
    EXPECT_EQ(m.find(2)->name, "taken");

    // The counter wraps after the last id onto 0 and 1, which are never handed out.
    EXPECT_EQ(m.createChannelWithId(channel(65535, "last")), 65535);
    EXPECT_EQ(m.createChannel(channel(0, "wrapped")), 5);
    EXPECT_EQ(m.find(1)->name, "Lobby");
    EXPECT_EQ(m.find(65535)->name, "last");
}

TEST(ChannelManagerIds, ExhaustedIdSpaceIsReportedNotReused) {
    ChannelManager m;
    m.createChannel(lobby());
    for (uint32_t i = 2; i <= 65535; ++i) ASSERT_EQ(m.createChannel(channel(0)), i);
    m.addUser(40000, 9);

    EXPECT_EQ(m.createChannel(channel(0, "intruder")), 0);
    EXPECT_EQ(m.createChannelWithId(channel(0, "intruder")), 0);
    EXPECT_EQ(m.nextId(), 0);
    EXPECT_EQ(m.all().size(), 65535u);
    EXPECT_FALSE(m.find(0).has_value());
    EXPECT_EQ(m.find(1)->name, "Lobby");
    EXPECT_EQ(m.usersIn(40000), std::vector<uint32_t>{9});

    // A freed id is handed out again.
    ASSERT_TRUE(m.deleteChannel(1234));
    EXPECT_EQ(m.createChannel(channel(0, "back")), 1234);
    // Now the one free id sits just behind the counter: found all the same.
    ASSERT_TRUE(m.deleteChannel(1234));
    EXPECT_EQ(m.createChannel(channel(0, "again")), 1234);
    EXPECT_EQ(m.createChannel(channel(0)), 0);
}

TEST(ChannelManagerIds, NextIdHandsOutWithoutStoring) {
    ChannelManager m;
    m.createChannel(channel(2));
    EXPECT_EQ(m.nextId(), 3);
    EXPECT_FALSE(m.find(3).has_value());
    EXPECT_EQ(m.createChannel(channel(0)), 4);
}

TEST(ChannelManagerIds, ClearResetsTheCounter) {
    ChannelManager m;
    m.createChannelWithId(channel(50));
    m.clear();
    EXPECT_TRUE(m.all().empty());
    EXPECT_EQ(m.createChannel(channel(0)), 2);
}

// ---- records --------------------------------------------------------------

TEST(ChannelManagerRecords, ReplacingAnIdReplacesRecordAndEmptiesMembers) {
    ChannelManager m;
    m.createChannel(channel(4, "old"));
    m.addUser(4, 100);
    m.incrementMessageCount(4);
    for (auto create : {&ChannelManager::createChannel, &ChannelManager::createChannelWithId}) {
        EXPECT_EQ((m.*create)(channel(4, "new")), 4);
        EXPECT_EQ(m.find(4)->name, "new");
        EXPECT_EQ(m.find(4)->messageCount, 0u);
        EXPECT_TRUE(m.usersIn(4).empty());
        m.addUser(4, 100);
    }
}

TEST(ChannelManagerRecords, FindAndChildrenReportStoredCountsAllReportsLive) {
    ChannelManager m;
    ChannelInfo c = channel(2, "a");
    c.userCount = 77;
    m.createChannel(c);
    m.createChannel(channel(3, "b", 2));
    m.createChannel(channel(4, "c", 2));
    m.addUser(2, 10);
    m.addUser(2, 11);

    EXPECT_EQ(m.find(2)->userCount, 77u);
    const auto kids = m.children(2);
    EXPECT_EQ(ids(kids), (std::set<uint16_t>{3, 4}));
    EXPECT_EQ(ids(m.children(0)), (std::set<uint16_t>{2}));
    EXPECT_TRUE(m.children(9).empty());

    for (const auto& ch : m.all()) EXPECT_EQ(ch.userCount, ch.id == 2 ? 2u : 0u) << ch.id;
    // Copies only: changing a result changes nothing stored.
    auto copy = m.find(2);
    copy->name = "changed";
    EXPECT_EQ(m.find(2)->name, "a");
}

TEST(ChannelManagerRecords, UpdateKeepsMessageCountAndMembers) {
    ChannelManager m;
    EXPECT_FALSE(m.updateChannel(channel(2)));
    m.createChannel(channel(2, "a"));
    m.addUser(2, 5);
    m.incrementMessageCount(2);
    m.incrementMessageCount(2);

    ChannelInfo u = channel(2, "renamed", 9);
    u.password = "pw";
    u.hasPassword = true;
    u.userCount = 3;
    u.messageCount = 999;
    u.type = static_cast<uint8_t>(ChannelType::Text);
    EXPECT_TRUE(m.updateChannel(u));
    const ChannelInfo got = *m.find(2);
    EXPECT_EQ(got.name, "renamed");
    EXPECT_EQ(got.parentId, 9);
    EXPECT_EQ(got.password, "pw");
    EXPECT_TRUE(got.hasPassword);
    EXPECT_EQ(got.userCount, 3u);
    EXPECT_EQ(got.type, 1);
    EXPECT_EQ(got.messageCount, 2u);
    EXPECT_EQ(m.usersIn(2), std::vector<uint32_t>{5});
}

TEST(ChannelManagerRecords, DeleteKeepsLobbyChildrenAndLastChannelEntries) {
    ChannelManager m;
    m.createChannel(lobby());
    m.createChannel(channel(2, "parent"));
    m.createChannel(channel(3, "child", 2));
    m.addUser(2, 50);
    m.addUser(2, 51);

    EXPECT_FALSE(m.deleteChannel(1));
    EXPECT_TRUE(m.find(1).has_value());
    EXPECT_FALSE(m.deleteChannel(99));

    EXPECT_TRUE(m.deleteChannel(2));
    EXPECT_FALSE(m.find(2).has_value());
    EXPECT_FALSE(m.deleteChannel(2));
    EXPECT_EQ(m.find(3)->parentId, 2);
    EXPECT_TRUE(m.usersIn(2).empty());
    EXPECT_EQ(m.userCount(2), 0u);
    EXPECT_EQ(m.channelOf(50), 2);  // advisory entry survives the channel
    EXPECT_FALSE(m.addUser(2, 52));
}

TEST(ChannelManagerRecords, ClearLeavesLastChannelEntries) {
    ChannelManager m;
    m.createChannel(channel(2));
    m.addUser(2, 8);
    m.clear();
    EXPECT_EQ(m.channelOf(8), 2);
    EXPECT_TRUE(m.usersIn(2).empty());
}

TEST(ChannelManagerRecords, PasswordsSortOrderAndMessageCounts) {
    ChannelManager m;
    ChannelInfo locked = channel(2);
    locked.password = "Secret";
    m.createChannel(locked);
    m.createChannel(channel(3));

    struct Case {
        uint16_t id;
        const char* given;
        bool want;
    };
    const Case cases[] = {
        {2, "Secret", true}, {2, "secret", false}, {2, "Secret ", false}, {2, "", false},
        {3, "", true},       {3, "anything", true}, {9, "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(m.checkPassword(c.id, c.given), c.want) << c.id << " '" << c.given << "'";

    // A late position stays last instead of wrapping to the front.
    EXPECT_TRUE(m.setSortOrder(2, 255));
    EXPECT_EQ(m.find(2)->sortOrder, 255);
    EXPECT_TRUE(m.setSortOrder(2, 300));
    EXPECT_EQ(m.find(2)->sortOrder, 255);
    EXPECT_FALSE(m.setSortOrder(9, 1));

    EXPECT_EQ(m.incrementMessageCount(9), 0u);
    EXPECT_EQ(m.messageCount(9), 0u);
    EXPECT_EQ(m.incrementMessageCount(3), 1u);
    EXPECT_EQ(m.messageCount(3), 1u);

    ChannelInfo full = channel(4);
    full.messageCount = 4294967295u;
    m.createChannel(full);
    EXPECT_EQ(m.incrementMessageCount(4), 0u);
    EXPECT_EQ(m.messageCount(4), 0u);
}

// A client draws the list as a tree: no channel may end up under itself.
TEST(ChannelManagerRecords, NoChannelBecomesItsOwnAncestor) {
    ChannelManager m;
    m.createChannel(lobby());
    m.createChannel(channel(2, "a"));
    m.createChannel(channel(3, "b", 2));
    m.createChannel(channel(4, "c", 3));
    m.createChannel(channel(5, "orphan", 9));  // its parent is not there (yet)

    EXPECT_FALSE(m.updateChannelAcyclic(channel(2, "a", 2)));
    EXPECT_FALSE(m.updateChannelAcyclic(channel(2, "a", 4)));
    EXPECT_EQ(m.find(2)->parentId, 0) << "a refused update changes nothing";
    EXPECT_TRUE(m.updateChannelAcyclic(channel(4, "c", 2)));
    EXPECT_TRUE(m.updateChannelAcyclic(channel(2, "a", 77)));
    EXPECT_FALSE(m.updateChannelAcyclic(channel(8, "unknown")));

    // A new channel whose parent chain already names its id.
    EXPECT_EQ(m.createChannelIfFree(channel(9, "loop", 5)), 0);
    EXPECT_FALSE(m.find(9));
    EXPECT_EQ(m.createChannelIfFree(channel(6, "self", 6)), 0);
    EXPECT_EQ(m.createChannelIfFree(channel(9, "fine", 1)), 9);
    EXPECT_EQ(m.createChannelIfFree(channel(9, "taken")), 0);
    const uint16_t automatic = m.createChannelIfFree(channel(0, "auto", 2));
    EXPECT_EQ(automatic, 10);
    EXPECT_EQ(m.find(automatic)->name, "auto");

    // A loop made elsewhere (e.g. by stored rows) does not stall the check.
    m.createChannel(channel(11, "x", 12));
    m.createChannel(channel(12, "y", 11));
    EXPECT_FALSE(m.wouldBeOwnAncestor(3, 11));
    EXPECT_TRUE(m.wouldBeOwnAncestor(12, 11));
}

// ---- membership -----------------------------------------------------------

TEST(ChannelManagerMembers, AddAndRemove) {
    ChannelManager m;
    m.createChannel(channel(2));
    m.createChannel(channel(3));

    EXPECT_FALSE(m.addUser(9, 1));
    EXPECT_EQ(m.channelOf(1), 0);

    EXPECT_TRUE(m.addUser(2, 1));
    EXPECT_TRUE(m.addUser(2, 7));
    EXPECT_TRUE(m.addUser(2, 1));  // listed twice
    EXPECT_EQ(m.usersIn(2), (std::vector<uint32_t>{1, 7, 1}));
    EXPECT_EQ(m.userCount(2), 3u);
    EXPECT_EQ(m.channelOf(1), 2);

    EXPECT_TRUE(m.removeUser(2, 1));  // both entries go
    EXPECT_EQ(m.usersIn(2), std::vector<uint32_t>{7});
    EXPECT_EQ(m.channelOf(1), 0);

    // Not listed in 3, yet its last-channel entry (naming 2) goes.
    EXPECT_TRUE(m.removeUser(3, 7));
    EXPECT_EQ(m.channelOf(7), 0);
    EXPECT_EQ(m.usersIn(2), std::vector<uint32_t>{7});

    // Unknown channel: false, and the entry stays.
    m.addUser(3, 8);
    EXPECT_FALSE(m.removeUser(9, 8));
    EXPECT_EQ(m.channelOf(8), 3);
    EXPECT_TRUE(m.usersIn(9).empty());
    EXPECT_EQ(m.userCount(9), 0u);
}

TEST(ChannelManagerMembers, TheListPacketIsThatOfAllChannelsWithTheirLiveCounts) {
    ChannelManager m;
    m.createChannel(lobby());
    ChannelInfo cut = channel(2, "long");
    cut.description.assign(70000, 'd');  // cut short on the wire
    cut.iconUrl = "icon";
    cut.userCount = 99;  // a stored count the list does not use
    m.createChannel(cut);
    m.createChannel(channel(3, "sub", 2));
    m.addUser(2, 10);
    m.addUser(2, 11);
    m.addUser(1, 12);
    m.incrementMessageCount(3);

    EXPECT_EQ(m.listPacket(), Korrafin::channelListPacket(m.all()));
    EXPECT_EQ(ChannelManager().listPacket(), Korrafin::channelListPacket({}));
}

// A channel made hidden is in the list that announces it, and nowhere else
// until it is revealed; its id stays taken meanwhile.
TEST(ChannelManagerRecords, AHiddenChannelIsListedButNotFoundUntilRevealed) {
    ChannelManager m;
    m.createChannel(lobby());
    const uint16_t id = m.createHiddenIfFree(channel(0, "new", 1));
    ASSERT_NE(id, 0);
    EXPECT_FALSE(m.find(id));
    EXPECT_EQ(ids(m.all()), (std::set<uint16_t>{1}));
    EXPECT_TRUE(m.children(1).empty());
    EXPECT_EQ(m.createChannelIfFree(channel(id, "same id")), 0) << "its id is taken";
    ChannelManager shown;
    shown.createChannel(lobby());
    shown.createChannel(channel(id, "new", 1));
    EXPECT_EQ(m.listPacket(), shown.listPacket()) << "the list holds it";

    m.reveal(id);
    ASSERT_TRUE(m.find(id));
    EXPECT_EQ(m.find(id)->name, "new");
    EXPECT_EQ(ids(m.all()), (std::set<uint16_t>{1, id}));
    EXPECT_EQ(ids(m.children(1)), (std::set<uint16_t>{id}));

    // Deleted before it is revealed, its id is not hidden for a later channel.
    const uint16_t gone = m.createHiddenIfFree(channel(0, "gone"));
    ASSERT_TRUE(m.deleteChannel(gone));
    m.createChannel(channel(gone, "later"));
    EXPECT_TRUE(m.find(gone));
}

// ---- hooks ----------------------------------------------------------------

TEST(ChannelManagerHooks, CalledWithTheRecordAndFreeToCallBack) {
    ChannelManager m;
    std::vector<std::string> seen;
    // Each hook reads the tree again; that must not deadlock.
    m.onCreated = [&](const ChannelInfo& c) {
        seen.push_back("created " + std::to_string(c.id) + " " + c.name + " found=" +
                       std::to_string(m.find(c.id).has_value()));
    };
    m.onUpdated = [&](const ChannelInfo& c) { seen.push_back("updated " + m.find(c.id)->name); };
    m.onDeleted = [&](const ChannelInfo& c) {
        seen.push_back("deleted " + c.name + " found=" + std::to_string(m.find(c.id).has_value()));
    };

    m.createChannel(channel(0, "auto"));
    m.createChannelWithId(channel(9, "loaded"));
    m.updateChannel(channel(9, "renamed"));
    m.deleteChannel(9);
    m.deleteChannel(9);   // unknown: no hook
    m.deleteChannel(1);   // lobby: no hook
    m.updateChannel(channel(42));  // unknown: no hook
    m.clear();            // no hook
    EXPECT_EQ(seen, (std::vector<std::string>{"created 2 auto found=1", "created 9 loaded found=1",
                                              "updated renamed", "deleted renamed found=0"}));
}
