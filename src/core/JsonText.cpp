#include "core/JsonText.h"

#include "core/Utf8.h"

namespace Korrafin::Json {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

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

// "key":value for a value that needs no quoting.
std::string bare(std::string_view key, std::string_view value) {
    std::string out;
    out.reserve(key.size() + value.size() + 3);
    out += '"';
    out += key;
    out += "\":";
    out += value;
    return out;
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
        if (const std::size_t n = utf8SequenceAt(value, i, bad); n != 0) {
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

std::string num(std::string_view key, uint64_t value) { return bare(key, std::to_string(value)); }

std::string integer(std::string_view key, int64_t value) { return bare(key, std::to_string(value)); }

std::string boolean(std::string_view key, bool value) { return bare(key, value ? "true" : "false"); }

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
