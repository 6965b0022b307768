// The handlers' common pieces, and the overview endpoints: dashboard, users,
// channels and kick.
#include "webpanel/WebPanelApi.h"

#include <cctype>
#include <limits>

#include <nlohmann/json.hpp>

#include "db/IDatabase.h"
#include "protocol/ClientSession.h"
#include "vserver/VirtualServer.h"
#include "webpanel/PanelHost.h"

namespace Korrafin {

namespace WebPanelApi {

namespace {

std::size_t skipSpace(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return i;
}

// The digits from `i` on, saturating above `max`; false without a digit.
bool readDigits(const std::string& text, std::size_t i, uint64_t max, uint64_t& value, bool& over) {
    value = 0;
    over = false;
    const std::size_t start = i;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t d = static_cast<uint64_t>(text[i] - '0');
        if (over || value > (max - d) / 10) {
            over = true;
            continue;
        }
        value = value * 10 + d;
    }
    return i > start;
}

}  // namespace

WebPanelServer::Response jsonSuccess(const std::string& payload) {
    WebPanelServer::Response res;
    res.contentType = "application/json";
    res.body = WebPanelServer::jsonOk(payload);
    return res;
}

WebPanelServer::Response jsonFailure(const std::string& message, int status) {
    WebPanelServer::Response res;
    res.status = status;
    res.contentType = "application/json";
    res.body = WebPanelServer::jsonErr(message);
    return res;
}

const std::string* field(const WebPanelServer::Request& req, const char* name) {
    const auto it = req.form.find(name);
    return it == req.form.end() ? nullptr : &it->second;
}

std::string formValue(const WebPanelServer::Request& req, const char* name, const std::string& def) {
    const std::string* v = field(req, name);
    return v && !v->empty() ? *v : def;
}

std::optional<uint64_t> readUnsigned(const std::string& text, uint64_t max) {
    uint64_t value = 0;
    bool over = false;
    if (!readDigits(text, skipSpace(text), max, value, over) || over) return std::nullopt;
    return value;
}

std::optional<int64_t> readSigned(const std::string& text, int64_t min, int64_t max) {
    std::size_t i = skipSpace(text);
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    // The magnitude of the bound on the side of the sign.
    const uint64_t limit = negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    if (negative && min >= 0) return std::nullopt;
    uint64_t magnitude = 0;
    bool over = false;
    if (!readDigits(text, i, limit, magnitude, over) || over) return std::nullopt;
    if (!negative) return static_cast<int64_t>(magnitude);
    if (magnitude == 0) return 0;
    return -static_cast<int64_t>(magnitude - 1) - 1;
}

bool startsWithNumber(const std::string& text) {
    std::size_t i = skipSpace(text);
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

}  // namespace WebPanelApi

using namespace WebPanelApi;
using nlohmann::json;

WebPanelServer::Response WebPanelServer::apiDashboard(const Request&) {
    int64_t users = 0;
    int64_t channels = 0;
    int64_t privkeys = 0;
    int64_t bottokens = 0;
    json vservers = json::array();
    if (server) {
        for (const auto& vs : server->allVServers()) {
            const auto sessions = vs->allSessions().size();
            const auto channelCount = vs->channelManager.all().size();
            const auto cfg = vs->config();
            vservers.push_back({{"id", cfg.id}, {"maxSlots", cfg.maxSlots}, {"name", cfg.name}, {"slots", sessions}});
            users += static_cast<int64_t>(sessions);
            channels += static_cast<int64_t>(channelCount);
        }
    }
    if (db) {
        // The dashboard shows what it can: a storage failure leaves a count at 0.
        try {
            for (const auto& k : db->GetAllPrivilegeKeys()) privkeys += k.used ? 0 : 1;
            for (const auto& t : db->GetAllBotTokens()) bottokens += t.active ? 1 : 0;
        } catch (const std::exception&) {
        }
    }
    return jsonSuccess(dumpJson(
        {{"bottokens", bottokens}, {"channels", channels}, {"privkeys", privkeys}, {"users", users}, {"vservers", vservers}}));
}

WebPanelServer::Response WebPanelServer::apiUsers(const Request&) {
    if (!server) return jsonFailure("Server not available");
    json list = json::array();
    for (const auto& vs : server->allVServers()) {
        for (const auto& session : vs->allSessions()) {
            const UserInfo info = session->info();
            const auto channel = vs->channelManager.find(info.channelId);
            list.push_back({{"channelId", info.channelId},
                            {"channelName", channel ? channel->name : ""},
                            {"clientId", session->clientId()},
                            {"ip", session->address()},
                            {"nickname", info.nickname},
                            {"vsId", vs->id()}});
        }
    }
    return jsonSuccess(dumpJson(list));
}

WebPanelServer::Response WebPanelServer::apiChannels(const Request&) {
    if (!server) return jsonFailure("Server not available");
    json list = json::array();
    for (const auto& vs : server->allVServers()) {
        for (const auto& c : vs->channelManager.all()) {
            list.push_back({{"id", c.id},
                            {"maxUsers", c.maxUsers},
                            {"name", c.name},
                            {"type", c.type},
                            {"userCount", vs->channelManager.userCount(c.id)},
                            {"vsId", vs->id()}});
        }
    }
    return jsonSuccess(dumpJson(list));
}

WebPanelServer::Response WebPanelServer::apiKick(const Request& req) {
    if (!server) return jsonFailure("Server not available");
    const std::string* idText = field(req, "clientId");
    if (!idText) return jsonFailure("Missing clientId");
    const std::string* reason = field(req, "reason");
    // Client ids are 32-bit: a larger number names nobody, it must not wrap
    // onto somebody.
    if (const auto id = readUnsigned(*idText, std::numeric_limits<uint32_t>::max())) {
        for (const auto& vs : server->allVServers()) {
            if (vs->kickUser(static_cast<uint32_t>(*id), 0, reason ? *reason : "Kicked by admin")) {
                return jsonSuccess("null");
            }
        }
    }
    return jsonFailure("User not found or kick failed");
}

}  // namespace Korrafin
