#include "core/LogText.h"

namespace Korrafin {

namespace {

void appendHex(std::string& out, unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    std::size_t clean = 0;  // start of the run not yet appended
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c >= 0x20 && c != 0x7F && !c1) continue;
        out.append(text.substr(clean, i - clean));
        appendHex(out, c);
        if (c1) appendHex(out, static_cast<unsigned char>(text[++i]));
        clean = i + 1;
    }
    out.append(text.substr(clean));
}

}  // namespace Korrafin
