// The framer alone: how a stream is cut into frames, which headers it
// refuses and when, and how much memory it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Framer.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using Bytes = std::vector<uint8_t>;

// A frame whose payload bytes all equal the low byte of its type.
Bytes frame(uint16_t type, std::size_t payloadSize) {
    return rawPacket(type, Bytes(payloadSize, static_cast<uint8_t>(type)));
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Seen {
    uint16_t type;
    std::size_t length;
    bool payloadIntact;
};

// Feeds `stream` in chunks of the given sizes (the last repeats) and
// collects every frame handed out.
std::vector<Seen> feed(Framer& f, const Bytes& stream, const std::vector<std::size_t>& sizes,
                       Framer::Status& last) {
    std::vector<Seen> seen;
    std::size_t off = 0, i = 0;
    Framer::Status status = Framer::Status::NeedMore;
    while (off < stream.size()) {
        const std::size_t n = std::min(sizes[std::min(i++, sizes.size() - 1)], stream.size() - off);
        f.append(stream.data() + off, n);
        off += n;
        Framer::Frame fr;
        while ((status = f.next(fr)) == Framer::Status::Frame) {
            const auto type = static_cast<uint16_t>(fr.type);
            const auto want = static_cast<uint8_t>(type);
            const bool intact = std::all_of(fr.payload, fr.payload + fr.length, [&](uint8_t b) { return b == want; });
            seen.push_back({type, fr.length, intact});
        }
        if (status == Framer::Status::Bad) break;
    }
    last = status;
    return seen;
}

TEST(Framer, HandsOutTheSameFramesHoweverTheStreamIsCut) {
    // Empty, small and large payloads; each filled with its own type byte.
    const Bytes stream = concat({frame(0x01, 0), frame(0x02, 3), frame(0x03, 70000),
                                 frame(0x04, 1), frame(0x05, 12)});
    struct Cut {
        const char* name;
        std::vector<std::size_t> sizes;
    };
    const std::vector<Cut> cuts = {
        {"all at once", {stream.size()}},
        {"one byte at a time", {1}},
        {"header split from its payload", {11, 1, 2, 13}},
        {"reader-sized chunks", {8192}},
        {"odd pieces", {5, 17, 4099, 3}},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.name);
        Framer f;
        Framer::Status last;
        const auto seen = feed(f, stream, cut.sizes, last);
        ASSERT_EQ(seen.size(), 5u);
        const std::size_t lengths[] = {0, 3, 70000, 1, 12};
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].type, i + 1);
            EXPECT_EQ(seen[i].length, lengths[i]);
            EXPECT_TRUE(seen[i].payloadIntact) << i;
        }
        EXPECT_EQ(last, Framer::Status::NeedMore);
        EXPECT_EQ(f.buffered(), 0u);
    }
}

TEST(Framer, RefusesABadHeaderAsSoonAsItsTwelveBytesAreThereAndForGood) {
    struct Case {
        const char* name;
        uint32_t limit;
        Bytes header;  // its payload never follows
        HeaderStatus why;
    };
    const std::vector<Case> cases = {
        {"bad magic", PacketHeader::kMaxPayload, rawPacket(0x01, {}, 0xDEADBEEF, 1, 100), HeaderStatus::BadMagic},
        {"bad version", PacketHeader::kMaxPayload, rawPacket(0x01, {}, PacketHeader::kMagic, 2, 0),
         HeaderStatus::BadVersion},
        {"one over the limit", PacketHeader::kMaxPayload,
         rawPacket(0x01, {}, PacketHeader::kMagic, 1, PacketHeader::kMaxPayload + 1), HeaderStatus::Oversized},
        {"one over a lowered limit", 65536, rawPacket(0x01, {}, PacketHeader::kMagic, 1, 65537),
         HeaderStatus::Oversized},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Framer f(c.limit);
        // A good frame first, then the bad header, then another good frame.
        const Bytes good = frame(0x07, 2);
        const Bytes stream = concat({good, c.header, frame(0x08, 0)});
        f.append(stream.data(), good.size() + 11);
        Framer::Frame fr;
        ASSERT_EQ(f.next(fr), Framer::Status::Frame);
        EXPECT_EQ(fr.type, static_cast<MessageType>(0x07));
        EXPECT_EQ(f.next(fr), Framer::Status::NeedMore) << "eleven bytes are not yet a header";
        f.append(stream.data() + good.size() + 11, stream.size() - good.size() - 11);
        EXPECT_EQ(f.next(fr), Framer::Status::Bad);
        EXPECT_EQ(f.refusedBecause(), c.why);
        EXPECT_EQ(f.refused().length, PacketHeader::parse(c.header.data()).length);
        EXPECT_EQ(f.next(fr), Framer::Status::Bad) << "nothing behind it is handed out";
    }
}

TEST(Framer, TheLimitIsInclusiveAndMayBeRaisedLater) {
    Framer f(65536);
    const Bytes atLimit = frame(0x09, 65536);
    f.append(atLimit.data(), atLimit.size());
    Framer::Frame fr;
    ASSERT_EQ(f.next(fr), Framer::Status::Frame);
    EXPECT_EQ(fr.length, 65536u);

    f.setMaxPayload(PacketHeader::kMaxPayload);
    const Bytes larger = frame(0x09, 65537);
    f.append(larger.data(), larger.size());
    ASSERT_EQ(f.next(fr), Framer::Status::Frame);
    EXPECT_EQ(fr.length, 65537u);
}

TEST(Framer, MemoryFollowsTheFrameAndIsGivenBackOnceDrained) {
    constexpr std::size_t kBig = 1 << 20;
    Framer f;
    // A large frame in reader-sized pieces, followed by the start of a small one.
    const Bytes small = frame(0x11, 40);
    const Bytes stream = concat({frame(0x10, kBig), Bytes(small.begin(), small.begin() + 20)});
    std::size_t peak = 0;
    std::size_t off = 0;
    int frames = 0;
    while (off < stream.size()) {
        const std::size_t n = std::min<std::size_t>(8192, stream.size() - off);
        f.append(stream.data() + off, n);
        off += n;
        peak = std::max(peak, f.capacity());
        Framer::Frame fr;
        while (f.next(fr) == Framer::Status::Frame) ++frames;
    }
    EXPECT_EQ(frames, 1);
    // Growth stops at the frame (plus what shares its last read), never at double.
    EXPECT_LE(peak, PacketHeader::kSize + kBig + 8192);
    EXPECT_EQ(f.buffered(), 20u) << "the started frame is kept";
    EXPECT_LE(f.capacity(), Framer::kKeepCapacity) << "the large buffer went back";

    // Its rest completes it as usual.
    f.append(small.data() + 20, small.size() - 20);
    Framer::Frame fr;
    ASSERT_EQ(f.next(fr), Framer::Status::Frame);
    EXPECT_EQ(fr.length, 40u);
}

}  // namespace
}  // namespace Korrafin::Test
