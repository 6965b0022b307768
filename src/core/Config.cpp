#include "core/Config.h"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <vector>

namespace Korrafin {

namespace {

// "a.b." has the segments a and b; "a..b" has a, "", b; "" has none.
std::vector<std::string> splitKey(const std::string& key) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto dot = key.find('.', start);
        if (dot == std::string::npos) {
            parts.push_back(key.substr(start));
            break;
        }
        parts.push_back(key.substr(start, dot - start));
        start = dot + 1;
    }
    if (!parts.empty() && parts.back().empty()) parts.pop_back();
    return parts;
}

}  // namespace

void Config::load(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) throw std::runtime_error("Config: cannot open file: " + path);
    nlohmann::json parsed;
    in >> parsed;  // stops after the first complete value
    data = std::move(parsed);
}

void Config::save(const std::string& path) const {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open()) throw std::runtime_error("Config: cannot write file: " + path);
    out << data.dump(4);
}

const nlohmann::json& Config::resolve(const std::string& key) const {
    const nlohmann::json* node = &data;
    for (const auto& seg : splitKey(key)) {
        if (!node->is_object()) throw std::out_of_range("Key not found: " + key);
        const auto it = node->find(seg);
        if (it == node->end()) throw std::out_of_range("Key not found: " + key);
        node = &*it;
    }
    return *node;
}

nlohmann::json& Config::resolveOrCreate(const std::string& key) {
    nlohmann::json* node = &data;
    for (const auto& seg : splitKey(key)) {
        if (!node->is_object()) *node = nlohmann::json::object();
        node = &(*node)[seg];
    }
    return *node;
}

template <>
bool Config::get<bool>(const std::string& key, bool def) const {
    try {
        const auto& n = resolve(key);
        if (n.is_boolean()) return n.get<bool>();
    } catch (...) {
    }
    return def;
}

template <>
int Config::get<int>(const std::string& key, int def) const {
    try {
        const auto& n = resolve(key);
        if (n.is_boolean()) return n.get<bool>() ? 1 : 0;
        if (n.is_number_unsigned()) return static_cast<int>(static_cast<uint32_t>(n.get<uint64_t>()));
        if (n.is_number_integer()) return static_cast<int>(static_cast<uint32_t>(n.get<int64_t>()));
        if (n.is_number_float()) {
            const double d = std::trunc(n.get<double>());
            // Out of range (or NaN) would be undefined to convert: keep the default.
            if (d >= static_cast<double>(std::numeric_limits<int>::min()) &&
                d <= static_cast<double>(std::numeric_limits<int>::max()))
                return static_cast<int>(d);
        }
    } catch (...) {
    }
    return def;
}

template <>
std::string Config::get<std::string>(const std::string& key, std::string def) const {
    try {
        const auto& n = resolve(key);
        if (n.is_string()) return n.get<std::string>();
    } catch (...) {
    }
    return def;
}

std::string Config::get(const std::string& key, const char* def) const { return get<std::string>(key, def); }

}  // namespace Korrafin
