// "{}" message formatter used by every log line.
// Pure function, safe from any thread; throws only std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace Korrafin::detail {

// Writes one argument as a fresh, default-state output stream would, so the
// state one argument leaves behind never touches the next one.
template <typename T>
void krfmtAppend(std::string& out, T&& value) {
    using Bare = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<Bare, std::string> || std::is_same_v<Bare, std::string_view>) {
        out.append(value.data(), value.size());
    } else if constexpr (std::is_array_v<std::remove_reference_t<T>> &&
                         std::is_same_v<std::remove_cv_t<std::remove_extent_t<std::remove_reference_t<T>>>, char>) {
        // A fixed buffer stops at its first NUL, and never reads past its end.
        constexpr std::size_t n = std::extent_v<std::remove_reference_t<T>>;
        out.append(value, ::strnlen(value, n));
    } else if constexpr (std::is_same_v<Bare, const char*> || std::is_same_v<Bare, char*>) {
        if (value != nullptr) out.append(value);
    } else if constexpr (requires { value.appendTo(out); }) {
        // A type that writes itself (e.g. escaped text).
        value.appendTo(out);
    } else {
        std::ostringstream os;
        os << std::forward<T>(value);
        out.append(os.str());
    }
}

inline std::string krfmt(std::string_view fmt) { return std::string(fmt); }

// Each exact "{}" takes the next argument, left to right. Other brace text is
// copied; surplus arguments are dropped; missing ones leave "{}" in place.
template <typename First, typename... Rest>
std::string krfmt(std::string_view fmt, First&& first, Rest&&... rest) {
    const std::size_t p = fmt.find("{}");
    if (p == std::string_view::npos) return std::string(fmt);
    std::string out;
    out.reserve(fmt.size() + 16);
    out.append(fmt.substr(0, p));
    krfmtAppend(out, std::forward<First>(first));
    out.append(krfmt(fmt.substr(p + 2), std::forward<Rest>(rest)...));
    return out;
}

}  // namespace Korrafin::detail
