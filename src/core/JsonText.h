// The one writer of JSON texts made by hand (the bot API's events and
// replies, the directory's request bodies): compact members. Keys are
// constants of the caller and are written as they are; values are escaped so
// that every text is valid JSON whatever bytes a client or an operator put in
// a name or a line. Pure functions, any thread; they throw only
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace Korrafin::Json {

// `value` as the inside of a JSON string: quote, backslash and every byte
// below 0x20 escaped (\n, \r, \t, else \u00XX), and each stretch of bytes
// that is not well-formed UTF-8 replaced by U+FFFD.
std::string escape(std::string_view value);

// "key":"value" with the value escaped.
std::string str(std::string_view key, std::string_view value);

// "key":digits.
std::string num(std::string_view key, uint64_t value);

// "key":digits, with a leading minus when negative.
std::string integer(std::string_view key, int64_t value);

// "key":true or "key":false.
std::string boolean(std::string_view key, bool value);

// {member,member,...} of members made by the functions above.
std::string object(std::initializer_list<std::string> members);

}  // namespace Korrafin::Json
