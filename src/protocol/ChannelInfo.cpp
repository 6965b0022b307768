#include "protocol/ChannelInfo.h"

#include <array>
#include <stdexcept>
#include <string_view>

#include "core/Utf8.h"

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

}  // namespace

void ChannelInfo::serialise(PacketBuilder& b) const {
    const WireLengths w = wireLengths(*this);
    b.writeLE(static_cast<uint16_t>(w.body()));
    b.writeLE(id);
    b.writeLE(parentId);
    b.writeStr(std::string_view(name).substr(0, w.len[0]));
    b.writeStr(std::string_view(description).substr(0, w.len[1]));
    b.writeLE(hasPassword);
    b.writeLE(maxUsers);
    b.writeLE(userCount);
    b.writeLE(sortOrder);
    b.writeLE(isPermanent);
    b.writeLE(requiredRole);
    b.writeLE(type);
    b.writeLE(logMode);
    b.writeStr(std::string_view(iconUrl).substr(0, w.len[2]));
    b.writeStr(std::string_view(bannerUrl).substr(0, w.len[3]));
    b.writeStr(std::string_view(textColor).substr(0, w.len[4]));
    b.writeLE(messageCount);
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

}  // namespace Korrafin
