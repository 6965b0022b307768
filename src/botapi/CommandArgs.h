// The JSON arguments of one bot command. Text that parses as a JSON object
// is read with the JSON library: typed members, strings with their escapes,
// blanks anywhere. Anything else falls back to a plain byte search for
// "key": patterns, the way older bots wrote their arguments. Either way an id
// that is not a whole number in range is refused rather than cut to fit.
//
// A value used by one thread for one command; it keeps a view of `text`,
// which must outlive it. Never throws but std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Korrafin {

class CommandArgs {
public:
    explicit CommandArgs(std::string_view text);

    // True when the text was read as a JSON object.
    bool structured() const { return structured_; }

    // A string member; "" when it is absent, nothing when it is there but is
    // not a string.
    std::optional<std::string> text(std::string_view key) const;

    // A whole number from 0 to `max`; 0 when the member is absent, nothing
    // when it is there but is not such a number.
    std::optional<uint64_t> id(std::string_view key, uint64_t max) const;

    // True only for a member whose value is the literal true.
    bool isTrue(std::string_view key) const;

private:
    // Where the value of "key": starts in the raw text; npos when absent.
    std::size_t valueStart(std::string_view key) const;

    std::string_view raw_;
    nlohmann::json doc_;
    bool structured_ = false;
};

}  // namespace Korrafin
