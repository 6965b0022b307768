// The bot API's JSON texts, written by hand: compact members for events and
// replies. Keys are constants of this library and are written as they are;
// values are escaped so that every text is valid JSON whatever bytes a
// client put in a nickname, channel name or chat line. Pure functions, any
// thread; they throw only std::bad_alloc.
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

// {member,member,...} of members made by str and num.
std::string object(std::initializer_list<std::string> members);

}  // namespace Korrafin::Json
