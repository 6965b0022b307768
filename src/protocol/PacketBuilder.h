// Builds one outgoing packet: fields are appended to the payload in order,
// integers least significant byte first, strings as u16 length + bytes.
// A plain value used by one thread; a finished packet (finalise) may be sent
// to any number of sessions. Throws std::runtime_error("String too long") for
// a string over 65535 bytes, leaving the payload as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "protocol/MessageType.h"

namespace Korrafin {

class PacketBuilder {
public:
    static constexpr std::size_t kReserve = 256;
    static constexpr std::size_t kMaxStr = 0xFFFF;

    MessageType type;
    uint8_t flags;
    std::vector<uint8_t> payload;

    explicit PacketBuilder(MessageType type, uint8_t flags = 0);

    // An integer, bool (as 0 or 1) or enum (as its underlying integer) of
    // 1, 2, 4 or 8 bytes; signed values travel as their two's-complement bits.
    template <typename T>
        requires((std::is_integral_v<T> || std::is_enum_v<T>) &&
                 (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8))
    void writeLE(T value) {
        const std::size_t at = payload.size();
        payload.resize(at + sizeof(T));
        putLE(payload.data() + at, value);
    }

    // The same value stored at `out`, for writers that fill a buffer sized
    // in advance; the byte after it.
    template <typename T>
        requires((std::is_integral_v<T> || std::is_enum_v<T>) &&
                 (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8))
    static uint8_t* putLE(uint8_t* out, T value) {
        uint64_t bits;
        if constexpr (std::is_same_v<T, bool>) {
            bits = value ? 1u : 0u;
        } else if constexpr (std::is_enum_v<T>) {
            bits = static_cast<std::make_unsigned_t<std::underlying_type_t<T>>>(value);
        } else {
            bits = static_cast<std::make_unsigned_t<T>>(value);
        }
        for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
        return out + sizeof(T);
    }

    // u16 byte length, then the bytes as they are (no terminator, no charset check).
    void writeStr(std::string_view s);

    // Raw bytes without a length; the caller writes whatever count the message needs.
    void writeBytes(const uint8_t* data, std::size_t n);

    // Header (magic, version 1, type, payload length, flags) followed by the
    // payload, as one new vector. The builder is unchanged and may be
    // finalised again. Throws std::length_error for a payload over 4 GiB - 1.
    std::vector<uint8_t> finalise() const;
};

}  // namespace Korrafin
