#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ByteFixture.h"
#include "protocol/ChannelInfo.h"
#include "protocol/Packets.h"
#include "protocol/UserInfo.h"

using Korrafin::ChannelInfo;
using Korrafin::ChannelType;
using Korrafin::MessageType;
using Korrafin::PacketBuilder;
using Korrafin::PacketReader;
using Korrafin::UserInfo;
using Korrafin::UserRole;
using Korrafin::buildChannelList;
using Korrafin::buildUserList;
using Korrafin::channelListPacket;
using Korrafin::channelTypeText;
using Korrafin::Test::ByteFixture;
using Korrafin::Test::Bytes;
using Korrafin::Test::hex;

namespace {

UserInfo sampleUser() {
    UserInfo u;
    u.clientId = 0x01020304;
    u.vsId = 0x0506;
    u.channelId = 0x0708;
    u.nickname = "Al";
    u.role = UserRole::Admin;
    u.voiceFlags = 0x09;
    u.pingMs = 0x0A0B0C0D;
    u.extra1 = "x";
    u.extra2 = "";
    u.status = 0x0E;
    u.activity = "zz";
    return u;
}

const Bytes kSampleUserWire = ByteFixture()
                                  .u8s({0x04, 0x03, 0x02, 0x01})  // clientId
                                  .u8s({0x06, 0x05})              // vsId
                                  .u8s({0x08, 0x07})              // channelId
                                  .u8s({0x02, 0x00}).text("Al")   // nickname
                                  .u8s({0x03})                    // role
                                  .u8s({0x09})                    // voiceFlags
                                  .u8s({0x0D, 0x0C, 0x0B, 0x0A})  // pingMs
                                  .u8s({0x01, 0x00}).text("x")    // extra1
                                  .u8s({0x00, 0x00})              // extra2
                                  .u8s({0x0E})                    // status
                                  .u8s({0x02, 0x00}).text("zz")   // activity
                                  .bytes;

ChannelInfo sampleChannel() {
    ChannelInfo c;
    c.id = 0x0102;
    c.parentId = 0x0003;
    c.name = "Ab";
    c.description = "d";
    c.password = "secret";
    c.hasPassword = true;
    c.maxUsers = 0x0405;
    c.userCount = 0x06070809;
    c.sortOrder = 0x0A;
    c.isPermanent = false;
    c.requiredRole = 3;
    c.type = static_cast<uint8_t>(ChannelType::News);
    c.logMode = true;
    c.iconUrl = "i";
    c.bannerUrl = "";
    c.textColor = "#f";
    c.messageCount = 0x0B0C0D0E;
    return c;
}

const Bytes kSampleChannelWire = ByteFixture()
                                     .u8s({0x24, 0x00})              // body length 36
                                     .u8s({0x02, 0x01})              // id
                                     .u8s({0x03, 0x00})              // parentId
                                     .u8s({0x02, 0x00}).text("Ab")   // name
                                     .u8s({0x01, 0x00}).text("d")    // description
                                     .u8s({0x01})                    // hasPassword
                                     .u8s({0x05, 0x04})              // maxUsers
                                     .u8s({0x09, 0x08, 0x07, 0x06})  // userCount
                                     .u8s({0x0A})                    // sortOrder
                                     .u8s({0x00})                    // isPermanent
                                     .u8s({0x03})                    // requiredRole
                                     .u8s({0x02})                    // type
                                     .u8s({0x01})                    // logMode
                                     .u8s({0x01, 0x00}).text("i")    // iconUrl
                                     .u8s({0x00, 0x00})              // bannerUrl
                                     .u8s({0x02, 0x00}).text("#f")   // textColor
                                     .u8s({0x0E, 0x0D, 0x0C, 0x0B})  // messageCount
                                     .bytes;

Bytes serialised(const UserInfo& u) {
    PacketBuilder b(MessageType::UserUpdated);
    u.serialise(b);
    return b.payload;
}

Bytes serialised(const ChannelInfo& c) {
    PacketBuilder b(MessageType::ChannelList);
    c.serialise(b);
    return b.payload;
}

bool contains(const Bytes& hay, const std::string& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

void expectSameChannel(const ChannelInfo& got, const ChannelInfo& want) {
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.parentId, want.parentId);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.description, want.description);
    EXPECT_EQ(got.hasPassword, want.hasPassword);
    EXPECT_EQ(got.maxUsers, want.maxUsers);
    EXPECT_EQ(got.userCount, want.userCount);
    EXPECT_EQ(got.sortOrder, want.sortOrder);
    EXPECT_EQ(got.isPermanent, want.isPermanent);
    EXPECT_EQ(got.requiredRole, want.requiredRole);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.logMode, want.logMode);
    EXPECT_EQ(got.iconUrl, want.iconUrl);
    EXPECT_EQ(got.bannerUrl, want.bannerUrl);
    EXPECT_EQ(got.textColor, want.textColor);
    EXPECT_EQ(got.messageCount, want.messageCount);
}

}  // namespace

// ---- UserInfo -------------------------------------------------------------

TEST(UserInfoWire, MatchesTheFixtureByteForByte) {
    EXPECT_EQ(hex(serialised(sampleUser())), hex(kSampleUserWire));
}

TEST(UserInfoWire, DefaultRecordIsTwentyThreeBytes) {
    UserInfo u;
    u.clientId = 7;
    const Bytes want = ByteFixture().u8s({7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).bytes;
    EXPECT_EQ(hex(serialised(u)), hex(want));
}

TEST(UserInfoWire, ReadsBackAndLeavesTrailingBytes) {
    Bytes wire = kSampleUserWire;
    wire.push_back(0xEE);
    PacketReader r{wire.data(), wire.size()};
    const UserInfo u = UserInfo::deserialise(r);
    const UserInfo want = sampleUser();
    EXPECT_EQ(u.clientId, want.clientId);
    EXPECT_EQ(u.vsId, want.vsId);
    EXPECT_EQ(u.channelId, want.channelId);
    EXPECT_EQ(u.nickname, want.nickname);
    EXPECT_EQ(u.role, want.role);
    EXPECT_EQ(u.voiceFlags, want.voiceFlags);
    EXPECT_EQ(u.pingMs, want.pingMs);
    EXPECT_EQ(u.extra1, want.extra1);
    EXPECT_EQ(u.extra2, want.extra2);
    EXPECT_EQ(u.status, want.status);
    EXPECT_EQ(u.activity, want.activity);
    EXPECT_EQ(r.remaining(), 1u);
}

TEST(UserInfoWire, OptionalTailAndRequiredHead) {
    // Offsets in the sample: pingMs ends at 18, extra1 at 21, extra2 at 23,
    // status at 24.
    struct Case {
        std::size_t cut;
        bool ok;
        std::string extra1;
        uint8_t status;
    };
    const Case cases[] = {
        {18, true, "", 0}, {21, true, "x", 0}, {24, true, "x", 0x0E},
        {17, false, "", 0}, {10, false, "", 0}, {0, false, "", 0},
        {19, false, "", 0},  // half an extra1 length
        {25, false, "", 0},  // activity length cut short
    };
    for (const auto& c : cases) {
        const Bytes wire(kSampleUserWire.begin(), kSampleUserWire.begin() + c.cut);
        PacketReader r{wire.data(), wire.size()};
        if (!c.ok) {
            EXPECT_THROW(UserInfo::deserialise(r), std::runtime_error) << c.cut;
            continue;
        }
        const UserInfo u = UserInfo::deserialise(r);
        EXPECT_EQ(u.pingMs, 0x0A0B0C0Du) << c.cut;
        EXPECT_EQ(u.extra1, c.extra1) << c.cut;
        EXPECT_EQ(u.extra2, "") << c.cut;
        EXPECT_EQ(u.status, c.status) << c.cut;
        EXPECT_EQ(u.activity, "") << c.cut;
    }
}

TEST(UserInfoWire, RoleBeyondOwnerTravelsAsItsByte) {
    UserInfo u;
    u.role = static_cast<UserRole>(200);
    const Bytes wire = serialised(u);
    EXPECT_EQ(wire[10], 200);
    PacketReader r{wire.data(), wire.size()};
    EXPECT_EQ(static_cast<uint8_t>(UserInfo::deserialise(r).role), 200);
}

TEST(UserInfoWire, UserListPackets) {
    EXPECT_EQ(hex(buildUserList({}).finalise()),
              hex(ByteFixture().u8s({'C', 'S', 'R', 'K', 1, 0x30, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0}).bytes));

    const PacketBuilder b = buildUserList({sampleUser(), sampleUser()});
    EXPECT_EQ(b.type, MessageType::UserList);
    const Bytes want = ByteFixture().u8s({2, 0, 0, 0}).bytes;
    Bytes expected = want;
    expected.insert(expected.end(), kSampleUserWire.begin(), kSampleUserWire.end());
    expected.insert(expected.end(), kSampleUserWire.begin(), kSampleUserWire.end());
    EXPECT_EQ(hex(b.payload), hex(expected));
}

// ---- ChannelInfo ----------------------------------------------------------

TEST(ChannelInfoWire, MatchesTheFixtureByteForByteWithoutThePassword) {
    const Bytes wire = serialised(sampleChannel());
    EXPECT_EQ(hex(wire), hex(kSampleChannelWire));
    EXPECT_FALSE(contains(wire, "secret"));
}

TEST(ChannelInfoWire, DefaultRecordHasAThirtyByteBody) {
    const ChannelInfo c;
    const Bytes want = ByteFixture()
                           .u8s({0x1E, 0x00})
                           .u8s({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                           .u8s({0x01})  // permanent by default
                           .u8s({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                           .bytes;
    EXPECT_EQ(hex(serialised(c)), hex(want));
}

TEST(ChannelInfoWire, ReadsBackAndConsumesExactlyTheRecord) {
    Bytes wire = kSampleChannelWire;
    wire.push_back(0x77);
    PacketReader r{wire.data(), wire.size()};
    ChannelInfo want = sampleChannel();
    want.password.clear();
    expectSameChannel(ChannelInfo::deserialise(r), want);
    EXPECT_EQ(r.pos, kSampleChannelWire.size());
}

TEST(ChannelInfoWire, ShortBodiesKeepDefaultsOrFail) {
    // Body offsets in the sample: logMode ends at 23, iconUrl at 26, textColor at 32.
    struct Case {
        std::size_t bodyLen;
        bool ok;
        std::string iconUrl;
        std::string textColor;
    };
    const Case cases[] = {
        {23, true, "", ""}, {26, true, "i", ""}, {32, true, "i", "#f"},
        {22, false, "", ""}, {4, false, "", ""}, {0, false, "", ""},
        {34, false, "", ""},  // half a messageCount
    };
    for (const auto& c : cases) {
        Bytes wire{static_cast<uint8_t>(c.bodyLen), 0};
        wire.insert(wire.end(), kSampleChannelWire.begin() + 2, kSampleChannelWire.begin() + 2 + c.bodyLen);
        wire.push_back(0x55);  // the next record's first byte stays unread
        PacketReader r{wire.data(), wire.size()};
        if (!c.ok) {
            EXPECT_THROW(ChannelInfo::deserialise(r), std::runtime_error) << c.bodyLen;
            continue;
        }
        const ChannelInfo got = ChannelInfo::deserialise(r);
        EXPECT_EQ(got.logMode, true) << c.bodyLen;
        EXPECT_EQ(got.iconUrl, c.iconUrl) << c.bodyLen;
        EXPECT_EQ(got.bannerUrl, "") << c.bodyLen;
        EXPECT_EQ(got.textColor, c.textColor) << c.bodyLen;
        EXPECT_EQ(got.messageCount, 0u) << c.bodyLen;
        EXPECT_EQ(r.pos, 2 + c.bodyLen) << c.bodyLen;
    }
}

TEST(ChannelInfoWire, LongerBodyIsSkippedAndBooleansAreAnyNonZero) {
    Bytes wire = kSampleChannelWire;
    wire[2 + 11] = 0x80;  // hasPassword
    wire[2 + 22] = 0x02;  // logMode
    wire.insert(wire.end(), {0xAA, 0xBB, 0xCC});
    wire[0] = static_cast<uint8_t>(36 + 3);
    wire.push_back(0x42);
    PacketReader r{wire.data(), wire.size()};
    const ChannelInfo got = ChannelInfo::deserialise(r);
    EXPECT_TRUE(got.hasPassword);
    EXPECT_TRUE(got.logMode);
    EXPECT_EQ(got.messageCount, 0x0B0C0D0Eu);
    EXPECT_EQ(r.readLE<uint8_t>(), 0x42);
}

TEST(ChannelInfoWire, LengthBeyondThePayloadFails) {
    Bytes wire = kSampleChannelWire;
    wire[0] = 37;
    PacketReader r{wire.data(), wire.size()};
    EXPECT_THROW(ChannelInfo::deserialise(r), std::runtime_error);
    EXPECT_EQ(r.pos, 2u);
}

TEST(ChannelInfoWire, OversizedStringsAreCutToAValidRecord) {
    struct Case {
        const char* what;
        ChannelInfo in;
        std::size_t nameLen, descLen, iconLen;
    };
    ChannelInfo longDesc = sampleChannel();
    longDesc.name = "nn";
    longDesc.iconUrl = "";
    longDesc.textColor = "";
    longDesc.description = "";
    for (int i = 0; i < 40000; ++i) longDesc.description += "\xC3\xA4";  // 80000 bytes of two-byte characters

    ChannelInfo longIcon = longDesc;
    longIcon.description = "kept only when room is left";
    longIcon.iconUrl = std::string(70000, 'i');

    ChannelInfo exactFit;
    exactFit.description = std::string(0xFFFF - 30, 'd');

    ChannelInfo notUtf8;  // only continuation bytes: no boundary to look for
    notUtf8.description = std::string(70000, '\x80');

    const Case cases[] = {
        // 65535 - 30 fixed - 2 name = 65503 bytes left: one byte short of a
        // whole character, so the cut falls back to 65502.
        {"long description", longDesc, 2, 65502, 0},
        {"long icon url", longIcon, 2, 0, 65503},
        {"exact fit", exactFit, 0, 0xFFFF - 30, 0},
        {"not UTF-8", notUtf8, 0, 0xFFFF - 30, 0},
    };
    for (const auto& c : cases) {
        const Bytes wire = serialised(c.in);
        const std::size_t body = wire[0] | wire[1] << 8;
        EXPECT_EQ(wire.size(), 2 + body) << c.what;
        EXPECT_LE(body, 0xFFFFu) << c.what;
        PacketReader r{wire.data(), wire.size()};
        const ChannelInfo got = ChannelInfo::deserialise(r);
        EXPECT_EQ(r.pos, wire.size()) << c.what;
        EXPECT_EQ(got.name.size(), c.nameLen) << c.what;
        EXPECT_EQ(got.description.size(), c.descLen) << c.what;
        EXPECT_EQ(got.iconUrl.size(), c.iconLen) << c.what;
        EXPECT_EQ(got.messageCount, c.in.messageCount) << c.what;
        EXPECT_EQ(got.description, c.in.description.substr(0, c.descLen)) << c.what;
    }
}

TEST(ChannelInfoWire, ChannelListPackets) {
    EXPECT_EQ(hex(buildChannelList({}).finalise()),
              hex(ByteFixture().u8s({'C', 'S', 'R', 'K', 1, 0x20, 0, 2, 0, 0, 0, 0, 0, 0}).bytes));

    const Bytes out = buildChannelList({sampleChannel()}).finalise();
    Bytes want = ByteFixture().u8s({'C', 'S', 'R', 'K', 1, 0x20, 0x00, 40, 0, 0, 0, 0, 0x01, 0x00}).bytes;
    want.insert(want.end(), kSampleChannelWire.begin(), kSampleChannelWire.end());
    EXPECT_EQ(hex(out), hex(want));
    // The same bytes from the one-buffer writer the broadcasts use.
    EXPECT_EQ(hex(channelListPacket({sampleChannel()})), hex(want));
    EXPECT_EQ(hex(channelListPacket({})), hex(buildChannelList({}).finalise()));

    // A list reads back record by record, each skipping its own body.
    const std::vector<ChannelInfo> many(300, sampleChannel());
    const PacketBuilder b = buildChannelList(many);
    PacketReader r{b.payload.data(), b.payload.size()};
    ASSERT_EQ(r.readLE<uint16_t>(), 300);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(ChannelInfo::deserialise(r).id, 0x0102);
    EXPECT_EQ(r.remaining(), 0u);

    EXPECT_THROW(buildChannelList(std::vector<ChannelInfo>(0x10000)), std::length_error);
    EXPECT_THROW(channelListPacket(std::vector<ChannelInfo>(0x10000)), std::length_error);
}

TEST(ChannelType, Texts) {
    const std::pair<uint8_t, const char*> cases[] = {
        {0, "voice"}, {1, "text"}, {2, "news"}, {3, "spacer"}, {4, "voice"}, {7, "voice"}, {255, "voice"},
    };
    for (const auto& [type, text] : cases) EXPECT_STREQ(channelTypeText(type), text) << int(type);
}
