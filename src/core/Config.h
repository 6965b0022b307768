// The JSON configuration document, read by dotted keys ("server.webPanel.port").
// No lock: loaded and read on the start-up thread; reads of an unchanging
// document may run side by side.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace Korrafin {

class Config {
public:
    nlohmann::json data;

    // Parses the file; replaces `data` only on success. Throws
    // std::runtime_error when the file cannot be opened, the JSON library's
    // exception when it does not parse.
    void load(const std::string& path);
    // Pretty-prints `data` (indent 4, no trailing newline). Throws
    // std::runtime_error when the file cannot be opened.
    void save(const std::string& path) const;

    // Walks the dotted key; throws std::out_of_range "Key not found: <key>".
    const nlohmann::json& resolve(const std::string& key) const;
    // Walks the dotted key, turning non-objects into objects and adding
    // missing members as null.
    nlohmann::json& resolveOrCreate(const std::string& key);

    // Instantiated for bool, int and std::string. Any failure gives `def`.
    template <typename T>
    T get(const std::string& key, T def) const;
    std::string get(const std::string& key, const char* def) const;
};

template <> bool Config::get<bool>(const std::string& key, bool def) const;
template <> int Config::get<int>(const std::string& key, int def) const;
template <> std::string Config::get<std::string>(const std::string& key, std::string def) const;

}  // namespace Korrafin
