#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "support/ByteFixture.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketReader.h"

using Korrafin::MessageType;
using Korrafin::PacketBuilder;
using Korrafin::PacketReader;
using Korrafin::Test::ByteFixture;
using Korrafin::Test::Bytes;

namespace {

void expectUnderflow(const std::function<void()>& f, const std::string& what) {
    try {
        f();
        ADD_FAILURE() << what << ": no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "PacketReader: buffer underflow") << what;
    }
}

}  // namespace

TEST(PacketReader, ReadsBackEveryKindThatTheBuilderWrites) {
    PacketBuilder b(MessageType::ChatMessage);
    b.writeLE(uint8_t{0xFE});
    b.writeLE(uint16_t{0xBEEF});
    b.writeLE(uint32_t{0xDEADBEEF});
    b.writeLE(uint64_t{0xFEDCBA9876543210});
    b.writeLE(int64_t{-42});
    b.writeLE(std::numeric_limits<int64_t>::min());
    b.writeStr("");
    b.writeStr(std::string("\xC3\xA4\0z", 4));
    b.writeStr(std::string(65535, 'q'));
    const uint8_t raw[] = {1, 2, 3};
    b.writeBytes(raw, 3);

    PacketReader r{b.payload.data(), b.payload.size()};
    EXPECT_EQ(r.readLE<uint8_t>(), 0xFE);
    EXPECT_EQ(r.readLE<uint16_t>(), 0xBEEF);
    EXPECT_EQ(r.readLE<uint32_t>(), 0xDEADBEEFu);
    EXPECT_EQ(r.readLE<uint64_t>(), 0xFEDCBA9876543210u);
    EXPECT_EQ(r.readLE<int64_t>(), -42);
    EXPECT_EQ(r.readLE<int64_t>(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(r.readStr(), "");
    EXPECT_EQ(r.readStr(), std::string("\xC3\xA4\0z", 4));
    EXPECT_EQ(r.readStr(), std::string(65535, 'q'));
    const auto bytes = r.readBytes(3);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), Bytes({1, 2, 3}));
    EXPECT_EQ(r.pos, r.size);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(PacketReader, ReadsPastTheEndThrowAndConsumeNothing) {
    struct Case {
        const char* what;
        Bytes payload;
        std::function<void(PacketReader&)> read;
    };
    const Case cases[] = {
        {"u8 of nothing", {}, [](PacketReader& r) { r.readLE<uint8_t>(); }},
        {"u16 with one byte", {1}, [](PacketReader& r) { r.readLE<uint16_t>(); }},
        {"u32 with three bytes", {1, 2, 3}, [](PacketReader& r) { r.readLE<uint32_t>(); }},
        {"u64 with seven bytes", {1, 2, 3, 4, 5, 6, 7}, [](PacketReader& r) { r.readLE<uint64_t>(); }},
        {"str without length", {}, [](PacketReader& r) { r.readStr(); }},
        {"str with half a length", {5}, [](PacketReader& r) { r.readStr(); }},
        {"str 10 with 9 bytes", ByteFixture().u8s({10, 0}).text("123456789").bytes,
         [](PacketReader& r) { r.readStr(); }},
        {"str 65535 with none", {0xFF, 0xFF}, [](PacketReader& r) { r.readStr(); }},
        {"bytes beyond the end", {1, 2}, [](PacketReader& r) { r.readBytes(3); }},
        {"bytes of a huge count", {1, 2}, [](PacketReader& r) { r.readBytes(std::numeric_limits<size_t>::max()); }},
        {"ensure of a huge count", {1}, [](PacketReader& r) { r.ensure(std::numeric_limits<size_t>::max()); }},
    };
    for (const auto& c : cases) {
        PacketReader r{c.payload.data(), c.payload.size()};
        expectUnderflow([&] { c.read(r); }, c.what);
        EXPECT_EQ(r.pos, 0u) << c.what;
    }
}

TEST(PacketReader, UnderflowMidwayKeepsWhatWasRead) {
    const Bytes payload = ByteFixture().u8s({7, 0}).str("ok").u8s({1}).bytes;
    PacketReader r{payload.data(), payload.size()};
    EXPECT_EQ(r.readLE<uint16_t>(), 7);
    EXPECT_EQ(r.readStr(), "ok");
    expectUnderflow([&] { r.readLE<uint16_t>(); }, "trailing u16");
    EXPECT_EQ(r.pos, 6u);
    EXPECT_EQ(r.readLE<uint8_t>(), 1);
}

TEST(PacketReader, EnsureAndTrailingBytes) {
    const Bytes payload{1, 0, 9, 9, 9};
    PacketReader r{payload.data(), payload.size()};
    EXPECT_NO_THROW(r.ensure(5));
    expectUnderflow([&] { r.ensure(6); }, "ensure 6 of 5");
    EXPECT_EQ(r.readLE<uint16_t>(), 1);
    // A reader that stops early leaves the rest alone; optional trailing
    // fields are decided by what remains.
    EXPECT_EQ(r.remaining(), 3u);
    EXPECT_TRUE(r.pos < r.size);
}

TEST(PacketReader, EmptyPayloadWithoutData) {
    PacketReader r{nullptr, 0};
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_NO_THROW(r.ensure(0));
    EXPECT_TRUE(r.readBytes(0).empty());
    expectUnderflow([&] { r.readLE<uint8_t>(); }, "u8 of null");
}
