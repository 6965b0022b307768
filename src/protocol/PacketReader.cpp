#include "protocol/PacketReader.h"

#include <stdexcept>

namespace Korrafin {

void PacketReader::underflow() { throw std::runtime_error("PacketReader: buffer underflow"); }

std::string PacketReader::readStr() {
    ensure(2);
    const std::size_t len = static_cast<std::size_t>(data[pos]) | static_cast<std::size_t>(data[pos + 1]) << 8;
    // Check the whole string before moving, so a failed read consumes nothing.
    if (len > remaining() - 2) underflow();
    std::string out(reinterpret_cast<const char*>(data + pos + 2), len);
    pos += 2 + len;
    return out;
}

std::span<const uint8_t> PacketReader::readBytes(std::size_t n) {
    ensure(n);
    std::span<const uint8_t> out(data + pos, n);
    pos += n;
    return out;
}

}  // namespace Korrafin
