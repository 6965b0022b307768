#include "console/ConsoleArgs.h"

#include <limits>
#include <stdexcept>

namespace Korrafin::ConsoleArgs {

namespace {

// std::stoll's rules, with the range of the argument and the message the
// operator sees.
int64_t parse(const std::string& word, int64_t low, int64_t high, const char* message) {
    long long value = 0;
    try {
        value = std::stoll(word);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(message);
    } catch (const std::out_of_range&) {
        throw std::out_of_range(message);
    }
    if (value < low || value > high) throw std::out_of_range(message);
    return value;
}

}  // namespace

uint16_t id16(const std::string& word) {
    return static_cast<uint16_t>(parse(word, 0, std::numeric_limits<uint16_t>::max(), "stoi"));
}

uint32_t clientId(const std::string& word) {
    return static_cast<uint32_t>(parse(word, 0, std::numeric_limits<uint32_t>::max(), "stoi"));
}

int64_t seconds(const std::string& word) {
    return parse(word, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), "stoll");
}

UserRole role(const std::string& word) {
    if (word == "guest") return UserRole::Guest;
    if (word == "mod") return UserRole::Moderator;
    if (word == "admin") return UserRole::Admin;
    return UserRole::Member;
}

}  // namespace Korrafin::ConsoleArgs
