#include "botapi/Json.h"

#include <array>

namespace Korrafin::Json {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct ByteRange {
    uint8_t lo;
    uint8_t hi;
};

// The length of the well-formed UTF-8 sequence that starts at `at`, or 0;
// on 0, `bad` is how many bytes form the broken start that one replacement
// character stands for (at least 1), the way decoders commonly count.
std::size_t sequenceAt(std::string_view s, std::size_t at, std::size_t& bad) {
    const auto lead = static_cast<uint8_t>(s[at]);
    std::array<ByteRange, 3> next{};
    std::size_t trail = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        next[0] = {0x80, 0xBF};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        // No overlong forms (E0) and no surrogates (ED).
        next[0] = lead == 0xE0 ? ByteRange{0xA0, 0xBF} : lead == 0xED ? ByteRange{0x80, 0x9F} : ByteRange{0x80, 0xBF};
        next[1] = {0x80, 0xBF};
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        // No overlong forms (F0) and nothing above U+10FFFF (F4).
        next[0] = lead == 0xF0 ? ByteRange{0x90, 0xBF} : lead == 0xF4 ? ByteRange{0x80, 0x8F} : ByteRange{0x80, 0xBF};
        next[1] = {0x80, 0xBF};
        next[2] = {0x80, 0xBF};
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 0; k < trail; ++k) {
        const std::size_t i = at + 1 + k;
        if (i >= s.size()) {
            bad = 1 + k;
            return 0;
        }
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < next[k].lo || b > next[k].hi) {
            bad = 1 + k;
            return 0;
        }
    }
    return 1 + trail;
}

void appendControl(std::string& out, uint8_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    switch (c) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
            return;
    }
}

}  // namespace

std::string escape(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 8);
    std::size_t i = 0;
    while (i < value.size()) {
        const auto c = static_cast<uint8_t>(value[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                appendControl(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        std::size_t bad = 0;
        if (const std::size_t n = sequenceAt(value, i, bad); n != 0) {
            out.append(value.substr(i, n));
            i += n;
        } else {
            out += kReplacement;
            i += bad;
        }
    }
    return out;
}

std::string str(std::string_view key, std::string_view value) {
    std::string out;
    out.reserve(key.size() + value.size() + 8);
    out += '"';
    out += key;
    out += "\":\"";
    out += escape(value);
    out += '"';
    return out;
}

std::string num(std::string_view key, uint64_t value) {
    std::string out;
    out.reserve(key.size() + 24);
    out += '"';
    out += key;
    out += "\":";
    out += std::to_string(value);
    return out;
}

std::string object(std::initializer_list<std::string> members) {
    std::string out = "{";
    for (const auto& m : members) {
        if (out.size() > 1) out += ',';
        out += m;
    }
    out += '}';
    return out;
}

}  // namespace Korrafin::Json
