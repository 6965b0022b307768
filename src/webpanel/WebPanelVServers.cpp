// The virtual servers of the host: list, create, update, delete, stop, start.
#include <functional>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "core/Utf8.h"
#include "vserver/VServerIds.h"
#include "webpanel/PanelHost.h"
#include "webpanel/WebPanelApi.h"

namespace Korrafin {

using namespace WebPanelApi;
using nlohmann::json;

namespace {

constexpr uint16_t kFirstAutoPort = 9990;
constexpr int32_t kDefaultSlots = 32;
constexpr int32_t kMinSlots = 1;
constexpr int32_t kMaxSlots = 65535;
constexpr const char* kBadSlots = "Max slots must be 1 to 65535";
constexpr const char* kNotSaved = "Configuration file could not be written";
constexpr const char* kNotUtf8 = "Text is not valid UTF-8";

// The texts a virtual server keeps in the configuration file, which holds
// UTF-8 only: one stray byte would make every later rewrite fail.
bool textsFitTheFile(const VirtualServer::VSConfig& c) {
    return isValidUtf8(c.name) && isValidUtf8(c.serverKey) && isValidUtf8(c.welcomeMessage) &&
           isValidUtf8(c.dbPath);
}

// The id a request names: `refusal` is set to "Missing id" without the field,
// and to `unknown` for text that names no 16-bit id (it must not wrap onto
// another server).
std::optional<uint16_t> requestedId(const WebPanelServer::Request& req, const char* unknown,
                                    WebPanelServer::Response& refusal) {
    const std::string* text = field(req, "id");
    if (!text) {
        refusal = jsonFailure("Missing id");
        return std::nullopt;
    }
    const auto id = readUnsigned(*text, std::numeric_limits<uint16_t>::max());
    if (!id) {
        refusal = jsonFailure(unknown);
        return std::nullopt;
    }
    return static_cast<uint16_t>(*id);
}

// A signed 32-bit field when it is present, non-empty and readable.
std::optional<int32_t> int32Field(const WebPanelServer::Request& req, const char* name) {
    const std::string* text = field(req, name);
    if (!text || text->empty()) return std::nullopt;
    const auto v = readSigned(*text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    if (!v) return std::nullopt;
    return static_cast<int32_t>(*v);
}

// What a form's "maxSlots" says. A count of 0 or less admits nobody, and
// the wire carries 16 bits of it, so the panel takes 1 to 65535 only. Text
// without a number counts as no field (the default or the current count).
enum class SlotsField { Absent, Given, OutOfRange };
SlotsField slotsField(const WebPanelServer::Request& req, int32_t& slots) {
    const std::string* text = field(req, "maxSlots");
    if (!text || text->empty() || !startsWithNumber(*text)) return SlotsField::Absent;
    const auto v = readSigned(*text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
    if (!v || *v < kMinSlots || *v > kMaxSlots) return SlotsField::OutOfRange;
    slots = static_cast<int32_t>(*v);
    return SlotsField::Given;
}

std::string createFailure(int64_t port) {
    return "Failed to create VS \xE2\x80\x93 port " + std::to_string(port) + " may already be in use";
}

}  // namespace

WebPanelServer::Response WebPanelServer::onVServer(const Request& req, const char* failure,
                                                   const std::function<bool(uint16_t)>& op) {
    if (!server) return jsonFailure("Server not available");
    Response refusal;
    const auto id = requestedId(req, failure, refusal);
    if (!id) return refusal;
    if (!op(*id)) return jsonFailure(failure);
    return jsonSuccess("null");
}

WebPanelServer::Response WebPanelServer::apiVServers(const Request&) {
    if (!server) return jsonFailure("Server not available");
    json list = json::array();
    for (const auto& vs : server->allVServers()) {
        const auto c = vs->config();
        list.push_back({{"dbPath", c.dbPath},
                        {"id", c.id},
                        {"maxSlots", c.maxSlots},
                        {"name", c.name},
                        {"online", vs->allSessions().size()},
                        {"running", server->isVServerRunning(c.id)},
                        {"serverKey", c.serverKey},
                        {"tcpPort", c.tcpPort},
                        {"welcomeMessage", c.welcomeMessage}});
    }
    return jsonSuccess(dumpJson(list));
}

WebPanelServer::Response WebPanelServer::apiVServerCreate(const Request& req) {
    if (!server) return jsonFailure("Server not available");
    // Id and port are chosen against one snapshot; a create that races
    // another and picks the same number is refused by the registry.
    const auto snapshot = server->allVServers();
    std::set<uint32_t> ports;
    for (const auto& vs : snapshot) {
        if (const uint16_t p = vs->config().tcpPort; p != 0) ports.insert(p);
    }
    const uint32_t id = lowestFreeVServerId(snapshot);

    int64_t port = 0;
    if (const auto given = int32Field(req, "tcpPort"); given && *given > 0) {
        port = *given;
    } else {
        port = kFirstAutoPort;
        while (ports.contains(static_cast<uint32_t>(port))) ++port;
    }
    // Beyond 16 bits a port or an id would wrap onto another one.
    if (id > std::numeric_limits<uint16_t>::max() || port > std::numeric_limits<uint16_t>::max()) {
        return jsonFailure(createFailure(port));
    }

    VirtualServer::VSConfig cfg;
    cfg.id = static_cast<uint16_t>(id);
    cfg.name = formValue(req, "name", "Virtual Server " + std::to_string(id));
    cfg.maxSlots = kDefaultSlots;
    if (slotsField(req, cfg.maxSlots) == SlotsField::OutOfRange) return jsonFailure(kBadSlots);
    cfg.serverKey = formValue(req, "serverKey", "");
    cfg.welcomeMessage = formValue(req, "welcomeMessage", "Welcome!");
    const std::string typedDb = formValue(req, "dbPath", "");
    const auto dbSource = typedDb.empty() ? PanelHost::DbPathSource::Default : PanelHost::DbPathSource::Typed;
    cfg.dbPath = typedDb.empty() ? "./data/vs_" + std::to_string(id) + ".db" : typedDb;
    cfg.tcpPort = static_cast<uint16_t>(port);

    if (!textsFitTheFile(cfg)) return jsonFailure(kNotUtf8);
    switch (server->createVServer(cfg, dbSource)) {
        case PanelHost::CreateResult::Created: break;
        case PanelHost::CreateResult::InvalidDbPath: return jsonFailure("Invalid database path");
        case PanelHost::CreateResult::Failed: return jsonFailure(createFailure(port));
    }
    if (!server->saveVServersToConfig()) return jsonFailure(kNotSaved);
    return jsonSuccess(dumpJson({{"id", cfg.id}, {"tcpPort", cfg.tcpPort}}));
}

WebPanelServer::Response WebPanelServer::apiVServerUpdate(const Request& req) {
    if (!server) return jsonFailure("Server not available");
    Response refusal;
    const auto id = requestedId(req, "VS not found", refusal);
    if (!id) return refusal;
    const auto vs = server->getVServer(*id);
    if (!vs) return jsonFailure("VS not found");

    VirtualServer::VSConfig cfg = vs->config();
    cfg.name = formValue(req, "name", cfg.name);
    if (slotsField(req, cfg.maxSlots) == SlotsField::OutOfRange) return jsonFailure(kBadSlots);
    cfg.serverKey = formValue(req, "serverKey", cfg.serverKey);
    cfg.welcomeMessage = formValue(req, "welcomeMessage", cfg.welcomeMessage);
    if (!textsFitTheFile(cfg)) return jsonFailure(kNotUtf8);
    vs->setConfig(cfg);
    if (!server->saveVServersToConfig()) return jsonFailure(kNotSaved);
    return jsonSuccess("null");
}

WebPanelServer::Response WebPanelServer::apiVServerDelete(const Request& req) {
    if (!server) return jsonFailure("Server not available");
    Response refusal;
    const auto id = requestedId(req, "VS not found", refusal);
    if (!id) return refusal;
    if (!server->removeVServer(*id)) return jsonFailure("VS not found");
    if (!server->saveVServersToConfig()) return jsonFailure(kNotSaved);
    return jsonSuccess("null");
}

WebPanelServer::Response WebPanelServer::apiVServerStop(const Request& req) {
    return onVServer(req, "VS not found or already stopped", [this](uint16_t id) { return server->pauseVServer(id); });
}

WebPanelServer::Response WebPanelServer::apiVServerStart(const Request& req) {
    return onVServer(req, "VS not found or port already in use",
                     [this](uint16_t id) { return server->resumeVServer(id); });
}

}  // namespace Korrafin
