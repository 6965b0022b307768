// Bounds-checked little-endian cursor over one received payload; it does not
// own the bytes, which must outlive it. Used by one thread for one dispatch.
// Every read that would pass `size` throws
// std::runtime_error("PacketReader: buffer underflow") and leaves `pos` as it was.
// Build it as PacketReader{payload, length}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

namespace Korrafin {

class PacketReader {
public:
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;

    [[noreturn]] static void underflow();

    std::size_t remaining() const noexcept { return pos < size ? size - pos : 0; }

    // Returns when at least n bytes remain, else throws the underflow error.
    void ensure(std::size_t n) const {
        if (n > remaining()) underflow();
    }

    // u8, u16, u32, u64 or a signed integer of those widths (two's complement).
    // Booleans are read as u8 and compared with 0 by the caller.
    template <typename T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                 (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8))
    T readLE() {
        ensure(sizeof(T));
        uint64_t bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<uint64_t>(data[pos + i]) << (8 * i);
        pos += sizeof(T);
        return static_cast<T>(static_cast<std::make_unsigned_t<T>>(bits));
    }

    // u16 length, then that many bytes copied as they are.
    std::string readStr();

    // The next n bytes in place (no copy); valid as long as the payload is.
    std::span<const uint8_t> readBytes(std::size_t n);
};

}  // namespace Korrafin
