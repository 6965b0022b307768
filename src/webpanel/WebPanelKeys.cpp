// Privilege keys and bot tokens of the master database.
#include <array>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/Utf8.h"
#include "db/IDatabase.h"
#include "webpanel/PanelHost.h"
#include "webpanel/WebPanelApi.h"

namespace Korrafin {

using namespace WebPanelApi;
using nlohmann::json;

namespace {

constexpr std::size_t kMaxKeyDescription = 128;
constexpr std::size_t kMaxBotName = 64;
constexpr std::size_t kMaxBotDescription = 128;

// The row id of a revoke request; nothing when the field is not a 64-bit number.
std::optional<int64_t> rowId(const std::string& text) {
    return readSigned(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

// Runs one storage step; a storage error becomes the failure envelope with
// its text.
template <class Step>
WebPanelServer::Response withStorage(const std::shared_ptr<DB::IDatabase>& db, Step step) {
    if (!db) return jsonFailure("Database not available");
    try {
        return step(*db);
    } catch (const std::exception& e) {
        return jsonFailure(e.what());
    }
}

}  // namespace

WebPanelServer::Response WebPanelServer::apiPrivkeys(const Request&) {
    return withStorage(db, [](DB::IDatabase& store) {
        json list = json::array();
        for (const auto& k : store.GetAllPrivilegeKeys()) {
            list.push_back({{"createdAt", k.created_at},
                            {"description", k.description},
                            {"id", k.id},
                            {"token", k.token},
                            {"type", k.type},
                            {"used", k.used}});
        }
        return jsonSuccess(dumpJson(list));
    });
}

WebPanelServer::Response WebPanelServer::apiPrivkeyCreate(const Request& req) {
    return withStorage(db, [&req](DB::IDatabase& store) {
        static constexpr std::array<const char*, 3> validTypes{"serveradmin", "admin", "mod"};
        const std::string* given = field(req, "type");
        std::string type = "serveradmin";
        for (const char* t : validTypes) {
            if (given && *given == t) type = t;
        }
        const std::string* description = field(req, "description");

        DB::DbPrivilegeKey key;
        key.token = generateToken();
        key.type = type;
        key.description = description ? utf8Prefix(*description, kMaxKeyDescription) : "";
        store.CreatePrivilegeKey(key);
        return jsonSuccess(dumpJson({{"token", key.token}}));
    });
}

WebPanelServer::Response WebPanelServer::apiPrivkeyRevoke(const Request& req) {
    return withStorage(db, [&req](DB::IDatabase& store) {
        const std::string* idText = field(req, "id");
        if (!idText) return jsonFailure("Missing id");
        const auto id = rowId(*idText);
        if (!id) return jsonFailure("Invalid id");
        store.RevokePrivilegeKey(*id);
        return jsonSuccess("null");
    });
}

WebPanelServer::Response WebPanelServer::apiBottokens(const Request&) {
    return withStorage(db, [](DB::IDatabase& store) {
        json list = json::array();
        for (const auto& t : store.GetAllBotTokens()) {
            list.push_back({{"active", t.active},
                            {"botName", t.bot_name},
                            {"createdAt", t.created_at},
                            {"description", t.description},
                            {"id", t.id},
                            {"lastUsedAt", t.last_used_at},
                            {"token", t.token}});
        }
        return jsonSuccess(dumpJson(list));
    });
}

WebPanelServer::Response WebPanelServer::apiBotTokenCreate(const Request& req) {
    return withStorage(db, [&req](DB::IDatabase& store) {
        const std::string* description = field(req, "description");
        DB::DbBotToken token;
        token.token = "krbt_" + generateToken();
        token.bot_name = utf8Prefix(formValue(req, "bot_name", "Panel Bot"), kMaxBotName);
        token.description = description ? utf8Prefix(*description, kMaxBotDescription) : "";
        token.permissions = 255;
        token.active = true;
        store.SaveBotToken(token);
        return jsonSuccess(dumpJson({{"name", token.bot_name}, {"token", token.token}}));
    });
}

WebPanelServer::Response WebPanelServer::apiBotTokenRevoke(const Request& req) {
    return withStorage(db, [this, &req](DB::IDatabase& store) {
        const std::string* idText = field(req, "id");
        if (!idText) return jsonFailure("Missing id");
        const auto id = rowId(*idText);
        if (!id) return jsonFailure("Invalid id");
        store.DeleteBotToken(*id);
        // A deleted token must not keep its bots connected.
        if (server) server->onBotTokenRevoked(*id);
        return jsonSuccess("null");
    });
}

}  // namespace Korrafin
