#include "botapi/CommandArgs.h"

#include <limits>

namespace Korrafin {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "key" followed by `tail`, as the byte search looks for it.
std::string keyPattern(std::string_view key, std::string_view tail) {
    std::string out;
    out.reserve(key.size() + tail.size() + 2);
    out += '"';
    out += key;
    out += '"';
    out += tail;
    return out;
}

bool startsAnObject(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && s[first] == '{';
}

}  // namespace

CommandArgs::CommandArgs(std::string_view text) : raw_(text) {
    if (!startsAnObject(text)) return;
    // No exceptions: text that does not parse is left to the byte search.
    nlohmann::json doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_object()) {
        doc_ = std::move(doc);
        structured_ = true;
    }
}

std::size_t CommandArgs::valueStart(std::string_view key) const {
    const std::string pattern = keyPattern(key, ":");
    const std::size_t at = raw_.find(pattern);
    return at == std::string_view::npos ? at : at + pattern.size();
}

std::optional<std::string> CommandArgs::text(std::string_view key) const {
    if (structured_) {
        const auto it = doc_.find(key);
        if (it == doc_.end()) return std::string();
        if (!it->is_string()) return std::nullopt;
        return it->get<std::string>();
    }
    // The value runs from the opening quote right after the colon to the
    // next quote; nothing is unescaped.
    const std::size_t start = valueStart(key);
    if (start == std::string_view::npos || start >= raw_.size() || raw_[start] != '"') return std::string();
    const std::size_t end = raw_.find('"', start + 1);
    if (end == std::string_view::npos) return std::string();
    return std::string(raw_.substr(start + 1, end - start - 1));
}

std::optional<uint64_t> CommandArgs::id(std::string_view key, uint64_t max) const {
    if (structured_) {
        const auto it = doc_.find(key);
        if (it == doc_.end()) return uint64_t{0};
        // Non-negative integers parse as unsigned; signed and fractional
        // numbers, strings and literals are not ids.
        if (!it->is_number_unsigned()) return std::nullopt;
        const auto value = it->get<uint64_t>();
        if (value > max) return std::nullopt;
        return value;
    }
    const std::size_t start = valueStart(key);
    if (start == std::string_view::npos) return uint64_t{0};
    std::size_t i = start;
    while (i < raw_.size() && !isDigit(raw_[i])) ++i;
    if (i == raw_.size()) return std::nullopt;
    if (i > start && raw_[i - 1] == '-') return std::nullopt;  // a negative number is no id
    uint64_t value = 0;
    for (; i < raw_.size() && isDigit(raw_[i]); ++i) {
        const auto digit = static_cast<uint64_t>(raw_[i] - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool CommandArgs::isTrue(std::string_view key) const {
    if (structured_) {
        const auto it = doc_.find(key);
        return it != doc_.end() && it->is_boolean() && it->get<bool>();
    }
    return raw_.find(keyPattern(key, ":true")) != std::string_view::npos;
}

}  // namespace Korrafin
