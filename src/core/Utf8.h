// Cutting text to a byte budget without splitting a UTF-8 character.
// Stateless; any thread; never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Korrafin {

// Length of the longest prefix of `s` of at most `max` bytes that does not
// end inside a UTF-8 sequence (it looks back at most three continuation
// bytes; text that is not UTF-8 there is cut at `max` bytes).
inline std::size_t utf8PrefixLength(std::string_view s, std::size_t max) noexcept {
    if (s.size() <= max) return s.size();
    const auto continuation = [&](std::size_t k) { return (static_cast<uint8_t>(s[k]) & 0xC0) == 0x80; };
    std::size_t k = max;
    for (int back = 0; back < 3 && k > 0 && continuation(k); ++back) --k;
    if (continuation(k)) k = max;
    return k;
}

// `s` cut to at most `max` bytes on a character boundary.
inline std::string utf8Prefix(std::string_view s, std::size_t max) {
    return std::string(s.substr(0, utf8PrefixLength(s, max)));
}

}  // namespace Korrafin
