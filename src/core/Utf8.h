// UTF-8 checks, and cutting text to a byte budget without splitting a
// character. Stateless; any thread; never throws (but std::bad_alloc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Korrafin {

// The length (2 to 4, or 1 for ASCII) of the well-formed UTF-8 sequence that
// starts at `at` (< s.size()), or 0 when none does: no overlong forms, no
// surrogates, nothing above U+10FFFF. On 0, `bad` is how many bytes form the
// broken start that one replacement character stands for (at least 1), the
// way decoders commonly count.
inline std::size_t utf8SequenceAt(std::string_view s, std::size_t at, std::size_t& bad) noexcept {
    const auto lead = static_cast<uint8_t>(s[at]);
    if (lead < 0x80) return 1;
    struct Range {
        uint8_t lo, hi;
    };
    Range next[3] = {{0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}};
    std::size_t trail = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        if (lead == 0xE0) next[0] = {0xA0, 0xBF};  // overlong
        if (lead == 0xED) next[0] = {0x80, 0x9F};  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        if (lead == 0xF0) next[0] = {0x90, 0xBF};  // overlong
        if (lead == 0xF4) next[0] = {0x80, 0x8F};  // above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 0; k < trail; ++k) {
        const std::size_t i = at + 1 + k;
        const auto b = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
        if (i >= s.size() || b < next[k].lo || b > next[k].hi) {
            bad = 1 + k;
            return 0;
        }
    }
    return 1 + trail;
}

// True when all of `s` is well-formed UTF-8 (NUL and other control
// characters included: they are valid UTF-8).
inline bool isValidUtf8(std::string_view s) noexcept {
    std::size_t bad = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceAt(s, i, bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

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
