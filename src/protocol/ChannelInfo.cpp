#include "protocol/ChannelInfo.h"

#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "core/Utf8.h"
#include "protocol/PacketHeader.h"

namespace Korrafin {

namespace {

// The string lengths that go on the wire, in write order: name, description,
// iconUrl, bannerUrl, textColor.
struct WireLengths {
    std::array<std::size_t, 5> len{};
    std::size_t body() const {
        std::size_t n = ChannelInfo::kFixedWireBody;
        for (auto l : len) n += l;
        return n;
    }
};

WireLengths wireLengths(const ChannelInfo& c) {
    const std::array<std::string_view, 5> s{c.name, c.description, c.iconUrl, c.bannerUrl, c.textColor};
    WireLengths w;
    if (c.fitsWireWhole()) {
        for (std::size_t i = 0; i < s.size(); ++i) w.len[i] = s[i].size();
        return w;
    }
    // Hand out the string budget with the name first and the description last.
    constexpr std::array<std::size_t, 5> priority{0, 2, 3, 4, 1};
    std::size_t budget = ChannelInfo::kMaxWireBody - ChannelInfo::kFixedWireBody;
    for (std::size_t i : priority) {
        w.len[i] = utf8PrefixLength(s[i], budget);
        budget -= w.len[i];
    }
    return w;
}

uint8_t* putStr(uint8_t* out, std::string_view s, std::size_t len) {
    out = PacketBuilder::putLE(out, static_cast<uint16_t>(len));
    if (len > 0) std::memcpy(out, s.data(), len);
    return out + len;
}

}  // namespace

uint8_t* ChannelInfo::writeWire(uint8_t* out, uint32_t users) const {
    const WireLengths w = wireLengths(*this);
    out = PacketBuilder::putLE(out, static_cast<uint16_t>(w.body()));
    out = PacketBuilder::putLE(out, id);
    out = PacketBuilder::putLE(out, parentId);
    out = putStr(out, name, w.len[0]);
    out = putStr(out, description, w.len[1]);
    out = PacketBuilder::putLE(out, hasPassword);
    out = PacketBuilder::putLE(out, maxUsers);
    out = PacketBuilder::putLE(out, users);
    out = PacketBuilder::putLE(out, sortOrder);
    out = PacketBuilder::putLE(out, isPermanent);
    out = PacketBuilder::putLE(out, requiredRole);
    out = PacketBuilder::putLE(out, type);
    out = PacketBuilder::putLE(out, logMode);
    out = putStr(out, iconUrl, w.len[2]);
    out = putStr(out, bannerUrl, w.len[3]);
    out = putStr(out, textColor, w.len[4]);
    return PacketBuilder::putLE(out, messageCount);
}

void ChannelInfo::serialise(PacketBuilder& b) const {
    const std::size_t at = b.payload.size();
    b.payload.resize(at + wireSize());
    writeWire(b.payload.data() + at, userCount);
}

bool ChannelInfo::fitsWireWhole() const {
    const std::size_t strings = name.size() + description.size() + iconUrl.size() + bannerUrl.size() + textColor.size();
    return strings <= kMaxWireBody - kFixedWireBody;
}

std::size_t ChannelInfo::wireSize() const { return 2 + wireLengths(*this).body(); }

ChannelInfo ChannelInfo::deserialise(PacketReader& r) {
    const std::size_t len = r.readLE<uint16_t>();
    PacketReader body{r.readBytes(len).data(), len};
    ChannelInfo c;
    c.id = body.readLE<uint16_t>();
    c.parentId = body.readLE<uint16_t>();
    c.name = body.readStr();
    c.description = body.readStr();
    c.hasPassword = body.readLE<uint8_t>() != 0;
    c.maxUsers = body.readLE<uint16_t>();
    c.userCount = body.readLE<uint32_t>();
    c.sortOrder = body.readLE<uint8_t>();
    c.isPermanent = body.readLE<uint8_t>() != 0;
    c.requiredRole = body.readLE<uint8_t>();
    c.type = body.readLE<uint8_t>();
    c.logMode = body.readLE<uint8_t>() != 0;
    if (body.remaining() > 0) c.iconUrl = body.readStr();
    if (body.remaining() > 0) c.bannerUrl = body.readStr();
    if (body.remaining() > 0) c.textColor = body.readStr();
    if (body.remaining() > 0) c.messageCount = body.readLE<uint32_t>();
    return c;
}

PacketBuilder buildChannelList(const std::vector<ChannelInfo>& channels) {
    if (channels.size() > 0xFFFF) throw std::length_error("Channel list too long");
    PacketBuilder b(MessageType::ChannelList);
    std::size_t total = 2;
    for (const auto& c : channels) total += c.wireSize();
    b.payload.reserve(total);
    b.writeLE(static_cast<uint16_t>(channels.size()));
    for (const auto& c : channels) c.serialise(b);
    return b;
}

ChannelListWriter::ChannelListWriter(std::size_t count, std::size_t recordBytes) : count_(count) {
    if (count > 0xFFFF) throw std::length_error("Channel list too long");
    if (recordBytes > std::numeric_limits<uint32_t>::max() - 2)
        throw std::length_error("Channel list too large for the length field");
    const std::size_t payload = 2 + recordBytes;
    packet_.resize(PacketHeader::kSize + payload);
    PacketHeader h;
    h.type = MessageType::ChannelList;
    h.length = static_cast<uint32_t>(payload);
    h.write(packet_.data());
    at_ = PacketHeader::kSize + 2;
    PacketBuilder::putLE(packet_.data() + PacketHeader::kSize, static_cast<uint16_t>(count));
}

void ChannelListWriter::add(const ChannelInfo& channel, uint32_t users) {
    if (added_ == count_ || channel.wireSize() > packet_.size() - at_)
        throw std::length_error("Channel list: more than announced");
    at_ = static_cast<std::size_t>(channel.writeWire(packet_.data() + at_, users) - packet_.data());
    ++added_;
}

std::vector<uint8_t> ChannelListWriter::finish() {
    if (added_ != count_ || at_ != packet_.size()) throw std::length_error("Channel list: fewer than announced");
    return std::move(packet_);
}

}  // namespace Korrafin
