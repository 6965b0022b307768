// Writing a counted list of records into a reply so that it always reaches
// the client: never more records than its u16 count field holds, never a
// payload over the receiver's limit. Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"

namespace Korrafin {

// Appends a u16 count and then, in order, as many records as the count field
// and the payload limit allow; the rest is left out. A record whose writer
// throws std::runtime_error (a text too long for a string field) is left out
// and the next one is tried. Returns the number of records written.
template <class T, class Write>
std::size_t writeBoundedList(PacketBuilder& b, const std::vector<T>& items, Write writeRecord) {
    constexpr std::size_t kMaxCount = 0xFFFF;
    const std::size_t countAt = b.payload.size();
    b.writeLE<uint16_t>(0);
    std::size_t n = 0;
    for (const T& item : items) {
        if (n == kMaxCount) break;
        const std::size_t before = b.payload.size();
        try {
            writeRecord(b, item);
        } catch (const std::runtime_error&) {
            b.payload.resize(before);
            continue;
        }
        if (b.payload.size() > PacketHeader::kMaxPayload) {
            b.payload.resize(before);
            break;
        }
        ++n;
    }
    b.payload[countAt] = static_cast<uint8_t>(n);
    b.payload[countAt + 1] = static_cast<uint8_t>(n >> 8);
    return n;
}

}  // namespace Korrafin
