#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "support/ByteFixture.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/ResultCode.h"

using Korrafin::MessageType;
using Korrafin::PacketBuilder;
using Korrafin::ResultCode;
using Korrafin::Test::ByteFixture;
using Korrafin::Test::Bytes;
using Korrafin::Test::hex;

TEST(PacketBuilder, EmptyPayloadIsExactlyTheHeader) {
    const PacketBuilder b(MessageType::Ping);
    EXPECT_GE(b.payload.capacity(), PacketBuilder::kReserve);
    const Bytes want = ByteFixture().u8s({'C', 'S', 'R', 'K', 1, 0xF0, 0x00, 0, 0, 0, 0, 0}).bytes;
    EXPECT_EQ(hex(b.finalise()), hex(want));
}

TEST(PacketBuilder, HeaderCarriesTypeLengthAndFlags) {
    PacketBuilder b(MessageType::ChannelContentUpdate, 0xA5);
    for (int i = 0; i < 300; ++i) b.writeLE(static_cast<uint8_t>(i));
    const Bytes out = b.finalise();
    ASSERT_EQ(out.size(), 12u + 300u);
    const Bytes head(out.begin(), out.begin() + 12);
    EXPECT_EQ(hex(head), hex(ByteFixture().u8s({0x43, 0x53, 0x52, 0x4B, 0x01, 0xB4, 0x00, 0x2C, 0x01, 0x00, 0x00, 0xA5}).bytes));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(out[12 + i], static_cast<uint8_t>(i)) << i;
}

TEST(PacketBuilder, FinaliseLeavesTheBuilderUsable) {
    PacketBuilder b(MessageType::ChatMessage);
    b.writeStr("hi");
    const Bytes first = b.finalise();
    EXPECT_EQ(b.finalise(), first);
    EXPECT_EQ(b.payload.size(), 4u);
    b.writeLE(uint8_t{7});
    const Bytes second = b.finalise();
    EXPECT_EQ(second.size(), first.size() + 1);
    EXPECT_EQ(second[7], 5);  // length field follows the payload
    EXPECT_EQ(second.back(), 7);
}

TEST(PacketBuilder, IntegersAreWrittenLowByteFirst) {
    struct Case {
        const char* what;
        void (*write)(PacketBuilder&);
        Bytes want;
    };
    const Case cases[] = {
        {"u8", [](PacketBuilder& b) { b.writeLE(uint8_t{0xAB}); }, {0xAB}},
        {"u16", [](PacketBuilder& b) { b.writeLE(uint16_t{0x1234}); }, {0x34, 0x12}},
        {"u32", [](PacketBuilder& b) { b.writeLE(uint32_t{0x89ABCDEF}); }, {0xEF, 0xCD, 0xAB, 0x89}},
        {"u64", [](PacketBuilder& b) { b.writeLE(uint64_t{0x0102030405060708}); },
         {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"i64 -2", [](PacketBuilder& b) { b.writeLE(int64_t{-2}); },
         {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"i64 min", [](PacketBuilder& b) { b.writeLE(std::numeric_limits<int64_t>::min()); },
         {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"i32 -1", [](PacketBuilder& b) { b.writeLE(int32_t{-1}); }, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"bool true", [](PacketBuilder& b) { b.writeLE(true); }, {0x01}},
        {"bool false", [](PacketBuilder& b) { b.writeLE(false); }, {0x00}},
        {"result code", [](PacketBuilder& b) { b.writeLE(ResultCode::UnknownError); }, {0xFF, 0x00}},
        {"message type", [](PacketBuilder& b) { b.writeLE(MessageType::ChannelMessageCount); }, {0xB7, 0x00}},
    };
    for (const auto& c : cases) {
        PacketBuilder b(MessageType::Error);
        c.write(b);
        EXPECT_EQ(hex(b.payload), hex(c.want)) << c.what;
    }
}

TEST(PacketBuilder, StringsCarryATwoByteLength) {
    PacketBuilder b(MessageType::Error);
    b.writeStr("");
    b.writeStr("ab");
    b.writeStr(std::string("x\0y", 3));  // bytes go as they are, NUL included
    EXPECT_EQ(hex(b.payload), hex(ByteFixture().u8s({0, 0}).str("ab").u8s({3, 0, 'x', 0, 'y'}).bytes));
}

TEST(PacketBuilder, LongestStringIsAcceptedOneMoreIsRefusedUntouched) {
    PacketBuilder b(MessageType::Error);
    b.writeStr(std::string(65535, 'a'));
    ASSERT_EQ(b.payload.size(), 2u + 65535u);
    EXPECT_EQ(b.payload[0], 0xFF);
    EXPECT_EQ(b.payload[1], 0xFF);

    const Bytes before = b.payload;
    try {
        b.writeStr(std::string(65536, 'b'));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "String too long");
    }
    EXPECT_EQ(b.payload, before);
}

TEST(PacketBuilder, RawBytesAreAppendedWithoutLength) {
    PacketBuilder b(MessageType::FileData);
    const uint8_t data[] = {9, 8, 7};
    b.writeBytes(data, 3);
    b.writeBytes(nullptr, 0);
    EXPECT_EQ(hex(b.payload), hex({9, 8, 7}));
}
