#include "protocol/PacketBuilder.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "protocol/PacketHeader.h"

namespace Korrafin {

PacketBuilder::PacketBuilder(MessageType type, uint8_t flags) : type(type), flags(flags) {
    payload.reserve(kReserve);
}

void PacketBuilder::writeStr(std::string_view s) {
    if (s.size() > kMaxStr) throw std::runtime_error("String too long");
    const std::size_t at = payload.size();
    payload.resize(at + 2 + s.size());
    payload[at] = static_cast<uint8_t>(s.size());
    payload[at + 1] = static_cast<uint8_t>(s.size() >> 8);
    if (!s.empty()) std::memcpy(payload.data() + at + 2, s.data(), s.size());
}

void PacketBuilder::writeBytes(const uint8_t* data, std::size_t n) {
    if (n == 0) return;
    payload.insert(payload.end(), data, data + n);
}

std::vector<uint8_t> PacketBuilder::finalise() const {
    if (payload.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("PacketBuilder: payload too large for the length field");
    PacketHeader h;
    h.type = type;
    h.length = static_cast<uint32_t>(payload.size());
    h.flags = flags;
    std::vector<uint8_t> out(PacketHeader::kSize + payload.size());
    h.write(out.data());
    if (!payload.empty()) std::memcpy(out.data() + PacketHeader::kSize, payload.data(), payload.size());
    return out;
}

}  // namespace Korrafin
