// Byte-exact fixtures for wire formats: build expected bytes piece by piece
// and print byte vectors as hex so a mismatch shows where it is.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace Korrafin::Test {

using Bytes = std::vector<uint8_t>;

// Concatenates pieces given as byte lists or as text.
class ByteFixture {
public:
    ByteFixture& u8s(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    ByteFixture& text(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    // A str as the protocol writes it: u16 length, then the text.
    ByteFixture& str(const std::string& s) {
        u8s({static_cast<uint8_t>(s.size()), static_cast<uint8_t>(s.size() >> 8)});
        return text(s);
    }
    Bytes bytes;
};

inline std::string hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

}  // namespace Korrafin::Test
