// Text from outside the process (nicknames, identities, channel names, any
// string a client sent) is written to the log with its control characters
// escaped, so that nobody can forge a log line or send terminal escapes:
// bytes below 0x20, DEL, and the C1 controls (U+0080 to U+009F in UTF-8)
// become \xNN. Everything else, other UTF-8 included, is kept. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace Korrafin {

// Appends `text` to `out` with its control characters escaped.
void appendEscaped(std::string& out, std::string_view text);

inline std::string escapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

namespace detail {

// A string argument of a log line, escaped as the formatter appends it.
struct LogText {
    std::string_view text;
    void appendTo(std::string& out) const { appendEscaped(out, text); }
};

// Strings become LogText; every other argument passes unchanged.
template <typename T>
decltype(auto) logArg(T&& value) {
    using Bare = std::remove_cvref_t<T>;
    using NoRef = std::remove_reference_t<T>;
    if constexpr (std::is_same_v<Bare, std::string> || std::is_same_v<Bare, std::string_view>) {
        return LogText{std::string_view(value)};
    } else if constexpr (std::is_array_v<NoRef> &&
                         std::is_same_v<std::remove_cv_t<std::remove_extent_t<NoRef>>, char>) {
        return LogText{std::string_view(value, ::strnlen(value, std::extent_v<NoRef>))};
    } else if constexpr (std::is_same_v<Bare, const char*> || std::is_same_v<Bare, char*>) {
        return LogText{value ? std::string_view(value) : std::string_view()};
    } else {
        return std::forward<T>(value);
    }
}

}  // namespace detail
}  // namespace Korrafin
