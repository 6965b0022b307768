// Every client gets the channel list as one packet, and a packet larger than
// the receivers take is never sent. So a channel create or update that would
// make the whole list too large is refused, the way a record too long for its
// own wire form is, rather than leaving every client without a list.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/ChannelInfo.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketHeader.h"
#include "protocol/Packets.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;

using kt::LogCapture;
using Types = std::vector<MessageType>;

// The longest record one channel may have on the wire (its body fills the
// 16-bit length), whatever the name.
ChannelInfo longest(const std::string& name) {
    ChannelInfo c;
    c.name = name;
    c.isPermanent = false;
    c.type = static_cast<uint8_t>(ChannelType::Text);
    c.description.assign(ChannelInfo::kMaxWireBody - ChannelInfo::kFixedWireBody - name.size(), 'd');
    return c;
}

ChannelInfo small(const std::string& name) {
    ChannelInfo c;
    c.name = name;
    c.isPermanent = false;
    return c;
}

std::size_t listPayload(const VirtualServer& vs) {
    return channelListPacket(vs.channelManager.all()).size() - PacketHeader::kSize;
}

// Creates longest records (as the system actor) until the first refusal.
std::vector<uint16_t> fillWithLongest(VirtualServer& vs) {
    std::vector<uint16_t> ids;
    for (int i = 0; i < 100; ++i) {
        const uint16_t id = vs.adminCreateChannel(longest("Voll " + std::to_string(i)), 0);
        if (id == 0) break;
        ids.push_back(id);
    }
    return ids;
}

std::size_t storedRows(const kt::VServerWorld& world) {
    return world.database ? world.database->real->GetAllChannels().size() : 0;
}

// The request record of a channel with the given name and description.
kt::ChannelRequest requestOf(const ChannelInfo& c) {
    kt::ChannelRequest r;
    r.name = c.name;
    r.description = c.description;
    r.tail = 0;
    return r;
}

class ChannelListLimitTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
};

TEST_F(ChannelListLimitTest, CreatesAndUpdatesStopWhereTheListWouldOutgrowThePacketLimit) {
    for (const bool withDatabase : {false, true}) {
        SCOPED_TRACE(withDatabase ? "with a database" : "in memory only");
        kt::VServerWorld world(7, withDatabase);
        VirtualServer& vs = *world.vs;
        const std::size_t rowsBefore = storedRows(world);
        const std::size_t record = longest("x").wireSize();
        const std::size_t expected = (PacketHeader::kMaxPayload - listPayload(vs)) / record;
        ASSERT_GT(expected, 10u);

        const auto ids = fillWithLongest(vs);
        EXPECT_EQ(ids.size(), expected);
        EXPECT_LE(listPayload(vs), PacketHeader::kMaxPayload);
        EXPECT_GT(listPayload(vs) + record, PacketHeader::kMaxPayload) << "the refused one would not have fitted";
        EXPECT_EQ(vs.channelManager.all().size(), expected + 1);
        if (withDatabase) {
            EXPECT_EQ(storedRows(world), rowsBefore + expected) << "no row of the refused one";
        }
        EXPECT_EQ(LogCapture::instance().countContaining("cannot become a channel id"), 0u);

        // What is left of the room still takes a small channel.
        const uint16_t smallId = vs.adminCreateChannel(small("Klein"), 0);
        ASSERT_NE(smallId, 0);

        // Growing a record past the room is refused and changes nothing ...
        ChannelInfo grown = longest("Klein");
        grown.id = smallId;
        EXPECT_FALSE(vs.adminUpdateChannel(grown, 0));
        EXPECT_TRUE(vs.channelManager.find(smallId)->description.empty());
        if (withDatabase) {
            EXPECT_TRUE(world.database->real->GetChannelById(smallId)->description.empty());
        }

        // ... while an update that does not grow its record is taken.
        ChannelInfo renamed = longest("Umbenannt");
        renamed.id = ids.front();
        EXPECT_TRUE(vs.adminUpdateChannel(renamed, 0));
        ChannelInfo shrunk = small("Geschrumpft");
        shrunk.id = ids.back();
        EXPECT_TRUE(vs.adminUpdateChannel(shrunk, 0));
        EXPECT_EQ(vs.channelManager.find(ids.back())->name, "Geschrumpft");

        EXPECT_LE(channelListPacket(vs.channelManager.all()).size(), ClientSession::kMaxPacketBytes);
    }
}

TEST_F(ChannelListLimitTest, ClientsAreRefusedWithTheUsualTextsAndKeepTheirList) {
    kt::VServerWorld world;
    VirtualServer& vs = *world.vs;
    const auto ids = fillWithLongest(vs);
    ASSERT_FALSE(ids.empty());
    const uint16_t smallId = vs.adminCreateChannel(small("Klein"), 0);
    ASSERT_NE(smallId, 0);
    // In no channel: a join would send the list from this thread, which
    // reads the client only afterwards.
    auto& owner = world.join(10, "chef", UserRole::Owner, /*channel=*/0);
    const std::size_t rows = storedRows(world);

    struct Case {
        const char* what;
        std::vector<uint8_t> request;
        const char* refusal;
    };
    const std::vector<Case> cases = {
        {"create", kt::channelCreateRequest(requestOf(longest("Zu viel"))), "Cannot create channel"},
        {"update", kt::channelUpdateRequest(smallId, requestOf(longest("Klein"))), "Cannot update channel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto got = world.request(owner, c.request);
        ASSERT_EQ(got.size(), 1u) << "the refusal, and no channel list";
        EXPECT_EQ(kt::errorText(got[0]), c.refusal);
        EXPECT_EQ(storedRows(world), rows);
    }
    EXPECT_TRUE(vs.channelManager.find(smallId)->description.empty());

    // A request that fits is served, and the list it brings arrives whole.
    const auto got = world.request(owner, kt::channelCreateRequest(requestOf(small("Passt"))));
    ASSERT_EQ(kt::typesOf(got), Types{MessageType::ChannelList});
    EXPECT_EQ(kt::channelsOf(got[0]).size(), ids.size() + 3);
    EXPECT_FALSE(owner.session->isClosed());
}

}  // namespace
}  // namespace Korrafin
