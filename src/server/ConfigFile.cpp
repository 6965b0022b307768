#include "server/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "core/Logger.h"
#include "core/DurableFile.h"

namespace Korrafin::detail {

namespace {

using nlohmann::json;

// An entry number as a 64-bit integer; nothing for another JSON type or a
// floating value beyond the integer range.
std::optional<int64_t> entryNumber(const json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) return static_cast<int64_t>(v.get<uint64_t>());
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || d <= -9.2e18 || d >= 9.2e18) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

// Fills `cfg` from one entry; the reason when a key has the wrong type.
std::optional<std::string> readEntry(const json& entry, VirtualServer::VSConfig& cfg) {
    auto number = [&](const char* key, auto& field, int64_t def) -> bool {
        const auto it = entry.find(key);
        int64_t value = def;
        if (it != entry.end()) {
            const auto n = entryNumber(*it);
            if (!n) return false;
            value = *n;
        }
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        return true;
    };
    auto text = [&](const char* key, std::string& field, const char* def) -> bool {
        const auto it = entry.find(key);
        if (it == entry.end()) {
            field = def;
            return true;
        }
        if (!it->is_string()) return false;
        field = it->get<std::string>();
        return true;
    };
    if (!number("id", cfg.id, 1)) return "\"id\" is not a number";
    if (!text("name", cfg.name, "Korrafin")) return "\"name\" is not a string";
    if (!text("serverKey", cfg.serverKey, "")) return "\"serverKey\" is not a string";
    if (!text("welcomeMessage", cfg.welcomeMessage, "Welcome!")) return "\"welcomeMessage\" is not a string";
    if (!number("tcpPort", cfg.tcpPort, 0)) return "\"tcpPort\" is not a number";
    if (!text("dbPath", cfg.dbPath, "")) return "\"dbPath\" is not a string";
    if (!number("maxSlots", cfg.maxSlots, 32)) return "\"maxSlots\" is not a number";
    return std::nullopt;
}

}  // namespace

json defaultConfigDocument(const std::string& serverKey) {
    return json{
        {"globalApi", {{"country", "DE"}, {"description", ""}, {"listed", true}, {"publicIp", "auto"}}},
        {"server",
         {{"logFile", "korrafin.log"},
          {"logLevel", "info"},
          {"tcpPort", 9987},
          {"udpPort", 9988},
          {"webPanel", {{"enabled", true}, {"password", "quill"}, {"port", 9380}}}}},
        {"virtualServers", json::array({json{{"id", 1},
                                             {"maxSlots", 32},
                                             {"name", "Korrafin Server"},
                                             {"serverKey", serverKey},
                                             {"welcomeMessage", "Welcome to Korrafin!"}}})},
    };
}

namespace {

// The whole text, flushed, in a temporary file beside `path`. A temporary
// file that a crash left is replaced.
DurableFile::WriteResult writeTemporary(const std::string& tmp, const std::string& text, mode_t mode) {
    ::unlink(tmp.c_str());
    return DurableFile::writeSynced(tmp, text.data(), text.size(), mode);
}

}  // namespace

bool writeNewFile(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    if (writeTemporary(tmp, text, 0644).error != 0) return false;
    // The name appears with the whole text or not at all, and an existing
    // file keeps its own.
    const int err = DurableFile::publish(tmp, path, DurableFile::Publish::NoReplace);
    if (err == EEXIST) ::unlink(tmp.c_str());
    return err == 0;
}

ReplaceResult replaceFile(const std::string& path, const std::string& text) {
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

    const std::string tmp = path + ".tmp";
    const auto written = writeTemporary(tmp, text, mode);
    if (!written.created) return ReplaceResult::NotOpened;
    if (written.error != 0) throw std::runtime_error(std::string("write failed: ") + std::strerror(written.error));
    ::chmod(tmp.c_str(), mode);  // the umask may have narrowed it
    if (const int publishErr = DurableFile::publish(tmp, path, DurableFile::Publish::Replace))
        throw std::runtime_error(std::string("rename failed: ") + std::strerror(publishErr));
    return ReplaceResult::Replaced;
}

std::vector<VirtualServer::VSConfig> virtualServerEntries(const json& document) {
    std::vector<VirtualServer::VSConfig> out;
    if (!document.is_object()) return out;
    const auto it = document.find("virtualServers");
    if (it == document.end() || it->is_null()) return out;

    std::vector<const json*> entries;
    if (it->is_array() || it->is_object()) {
        for (const auto& e : *it) entries.push_back(&e);  // object members come in key order
    } else {
        entries.push_back(&*it);
    }

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const json& entry = *entries[i];
        if (!entry.is_object()) {
            Logger::instance().logf(LogLevel::Warn, "virtualServers entry {} skipped: {}", i, "not an object");
            continue;
        }
        VirtualServer::VSConfig cfg;
        if (const auto problem = readEntry(entry, cfg)) {
            Logger::instance().logf(LogLevel::Warn, "virtualServers entry {} skipped: {}", i, *problem);
            continue;
        }
        out.push_back(std::move(cfg));
    }
    return out;
}

}  // namespace Korrafin::detail
