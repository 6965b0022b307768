#include <gtest/gtest.h>

#include <cstdint>

#include "support/ByteFixture.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"

using Korrafin::HeaderStatus;
using Korrafin::MessageType;
using Korrafin::PacketBuilder;
using Korrafin::PacketHeader;
using Korrafin::Test::Bytes;

namespace {

Bytes header(uint32_t magic, uint8_t version, uint16_t type, uint32_t length, uint8_t flags) {
    return {static_cast<uint8_t>(magic), static_cast<uint8_t>(magic >> 8), static_cast<uint8_t>(magic >> 16),
            static_cast<uint8_t>(magic >> 24), version, static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
            static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24), flags};
}

}  // namespace

TEST(PacketHeader, ParsesFieldsAtTheirOddOffsets) {
    const Bytes raw{0x43, 0x53, 0x52, 0x4B, 0x01, 0x36, 0x00, 0x78, 0x56, 0x34, 0x12, 0x9C};
    const PacketHeader h = PacketHeader::parse(raw.data());
    EXPECT_EQ(h.magic, 0x4B525343u);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.type, MessageType::UserUpdated);
    EXPECT_EQ(h.length, 0x12345678u);
    EXPECT_EQ(h.flags, 0x9C);

    Bytes back(12);
    h.write(back.data());
    EXPECT_EQ(back, raw);
}

TEST(PacketHeader, BuiltPacketParsesBack) {
    PacketBuilder b(MessageType::BotCommandResult);
    b.writeStr("{}");
    const Bytes out = b.finalise();
    const PacketHeader h = PacketHeader::parse(out.data());
    EXPECT_EQ(h.check(), HeaderStatus::Ok);
    EXPECT_EQ(h.type, MessageType::BotCommandResult);
    EXPECT_EQ(h.length, out.size() - PacketHeader::kSize);
    EXPECT_EQ(h.flags, 0);
}

TEST(PacketHeader, CheckRefusesBadHeadersInOrder) {
    constexpr uint32_t kMagic = 0x4B525343;
    struct Case {
        const char* what;
        Bytes raw;
        HeaderStatus want;
    };
    const Case cases[] = {
        {"good, empty", header(kMagic, 1, 0x01, 0, 0), HeaderStatus::Ok},
        {"good, limit exactly", header(kMagic, 1, 0x80, 0x400000, 0), HeaderStatus::Ok},
        {"flags are not read", header(kMagic, 1, 0x50, 3, 0xFF), HeaderStatus::Ok},
        {"unknown type is not the header's business", header(kMagic, 1, 0x1234, 0, 0), HeaderStatus::Ok},
        {"magic byte 0", header(kMagic ^ 0x01, 1, 0x01, 0, 0), HeaderStatus::BadMagic},
        {"magic byte 3", header(kMagic ^ 0x01000000, 1, 0x01, 0, 0), HeaderStatus::BadMagic},
        {"magic big-endian", header(0x4353524B, 1, 0x01, 0, 0), HeaderStatus::BadMagic},
        {"version 0", header(kMagic, 0, 0x01, 0, 0), HeaderStatus::BadVersion},
        {"version 2", header(kMagic, 2, 0x01, 0, 0), HeaderStatus::BadVersion},
        {"one over the limit", header(kMagic, 1, 0x01, 0x400001, 0), HeaderStatus::Oversized},
        {"largest length", header(kMagic, 1, 0x01, 0xFFFFFFFF, 0), HeaderStatus::Oversized},
        {"magic before version", header(0, 9, 0x01, 0xFFFFFFFF, 0), HeaderStatus::BadMagic},
        {"version before size", header(kMagic, 9, 0x01, 0xFFFFFFFF, 0), HeaderStatus::BadVersion},
    };
    for (const auto& c : cases) EXPECT_EQ(PacketHeader::parse(c.raw.data()).check(), c.want) << c.what;
}
