// The 12-byte header in front of every packet of the client protocol and of
// every bot API frame. Plain value; parse/write touch only the 12 bytes given.
//
//   offset 0  u32 magic (bytes "CSRK")   offset 5  u16 type
//   offset 4  u8  version                offset 7  u32 payload length
//                                        offset 11 u8  flags (written 0, never read)
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/MessageType.h"

namespace Korrafin {

// Outcome of checking a received header, in the order the checks run.
enum class HeaderStatus : uint8_t { Ok, BadMagic, BadVersion, Oversized };

struct PacketHeader {
    static constexpr uint32_t kMagic = 0x4B525343;
    static constexpr uint8_t kVersion = 1;
    static constexpr std::size_t kSize = 12;
    // Largest payload a receiver accepts (inclusive). The builder does not check it.
    static constexpr uint32_t kMaxPayload = 0x400000;

    uint32_t magic = kMagic;
    uint8_t version = kVersion;
    MessageType type{};
    uint32_t length = 0;
    uint8_t flags = 0;

    // Decodes the header at `p`, which must hold at least kSize bytes.
    // Decoding never fails; check() tells whether the header is acceptable.
    static PacketHeader parse(const uint8_t* p) noexcept {
        PacketHeader h;
        h.magic = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                  static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        h.version = p[4];
        h.type = static_cast<MessageType>(static_cast<uint16_t>(p[5] | p[6] << 8));
        h.length = static_cast<uint32_t>(p[7]) | static_cast<uint32_t>(p[8]) << 8 |
                   static_cast<uint32_t>(p[9]) << 16 | static_cast<uint32_t>(p[10]) << 24;
        h.flags = p[11];
        return h;
    }

    // Magic first, then version, then the payload limit (a receiver may set
    // a lower one than kMaxPayload); flags are ignored.
    HeaderStatus check(uint32_t maxPayload = kMaxPayload) const noexcept {
        if (magic != kMagic) return HeaderStatus::BadMagic;
        if (version != kVersion) return HeaderStatus::BadVersion;
        if (length > maxPayload) return HeaderStatus::Oversized;
        return HeaderStatus::Ok;
    }

    // Encodes the header into the kSize bytes at `out`.
    void write(uint8_t* out) const noexcept {
        const auto t = static_cast<uint16_t>(type);
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(magic >> (8 * i));
        out[4] = version;
        out[5] = static_cast<uint8_t>(t);
        out[6] = static_cast<uint8_t>(t >> 8);
        for (int i = 0; i < 4; ++i) out[7 + i] = static_cast<uint8_t>(length >> (8 * i));
        out[11] = flags;
    }
};

}  // namespace Korrafin
