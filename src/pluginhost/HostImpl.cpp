// The host functions of the plugin table. Each acts on the virtual server,
// relay and plugin name of the context it is given, as the system actor
// (client id 0).
#include "pluginhost/HostImpl.h"

#include <exception>
#include <memory>
#include <string>

#include "core/Logger.h"
#include "pluginhost/PluginContext.h"
#include "pluginhost/PluginLoader.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "server/UdpVoiceServer.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::HostImpl {

thread_local PluginLoader* tl_loader = nullptr;
thread_local KRP_Context* tl_plugin = nullptr;

namespace {

constexpr uint32_t kSystemActor = 0;

std::shared_ptr<VirtualServer> vserverOf(KRP_Context* ctx) { return ctx ? ctx->vserver.lock() : nullptr; }

// The sender name of everything a plugin sends.
std::string bracketed(const KRP_Context* ctx) { return "[" + ctx->pluginName + "]"; }

// Runs a host function's body; anything it throws becomes `onThrow` and a
// warning, so no exception unwinds into plugin code.
template <class R, class Body>
R shielded(const char* function, R onThrow, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            Logger::instance().logf(LogLevel::Warn, "PluginLoader: host function {} failed: {}", function, e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return onThrow;
}

const char* roleName(UserRole role) {
    switch (role) {
        case UserRole::Guest: return "guest";
        case UserRole::Moderator: return "moderator";
        case UserRole::Admin: return "admin";
        case UserRole::Owner: return "owner";
        default: return "member";
    }
}

UserRole roleFromName(const std::string& text) {
    if (text == "moderator") return UserRole::Moderator;
    if (text == "admin") return UserRole::Admin;
    if (text == "owner") return UserRole::Owner;
    return UserRole::Member;
}

// ---------------------------------------------------------------- messages

int send_message(KRP_Context* ctx, uint16_t channelId, const char* text) noexcept {
    return shielded("send_message", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !text) return KRP_ERR_INVALID;
        const uint64_t messageId = vs->lastMessageId.fetch_add(1, std::memory_order_relaxed) + 1;
        vs->broadcastToChannel(channelId, chatMessagePacket(kSystemActor, channelId, bracketed(ctx), text, messageId),
                               0);
        return KRP_OK;
    });
}

int send_dm(KRP_Context* ctx, uint32_t clientId, const char* text) noexcept {
    return shielded("send_dm", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !text) return KRP_ERR_INVALID;
        vs->routeDirectMessage(kSystemActor, bracketed(ctx), clientId, text);
        return KRP_OK;
    });
}

int delete_message(KRP_Context*, uint64_t) noexcept { return KRP_OK; }

// ---------------------------------------------------------------- moderation

int kick_user(KRP_Context* ctx, uint32_t clientId, const char* reason) noexcept {
    return shielded("kick_user", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return KRP_ERR_INVALID;
        vs->kickUser(clientId, kSystemActor, reason ? reason : "");
        return KRP_OK;
    });
}

int ban_user(KRP_Context* ctx, uint32_t clientId, const char* reason, int seconds) noexcept {
    return shielded("ban_user", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return KRP_ERR_INVALID;
        vs->banUser(clientId, kSystemActor, reason ? reason : "", static_cast<int64_t>(seconds));
        return KRP_OK;
    });
}

int move_user(KRP_Context* ctx, uint32_t clientId, uint16_t channelId) noexcept {
    return shielded("move_user", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return KRP_ERR_INVALID;
        vs->moveUserToChannel(clientId, channelId, "");
        return KRP_OK;
    });
}

int set_muted(KRP_Context*, uint32_t, bool) noexcept { return KRP_OK; }

int set_role(KRP_Context* ctx, uint32_t clientId, const char* role) noexcept {
    return shielded("set_role", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !role) return KRP_ERR_INVALID;
        vs->setUserRole(clientId, kSystemActor, roleFromName(role));
        return KRP_OK;
    });
}

// ---------------------------------------------------------------- channels

int create_channel(KRP_Context* ctx, uint16_t parentId, const char* name, uint16_t* outId) noexcept {
    return shielded("create_channel", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !name) return KRP_ERR_INVALID;
        ChannelInfo info;
        info.id = 0;
        info.parentId = parentId;
        info.name = name;
        info.isPermanent = false;
        info.type = static_cast<uint8_t>(ChannelType::Voice);
        const uint16_t id = vs->adminCreateChannel(info, kSystemActor);
        if (outId) *outId = id;
        return id != 0 ? KRP_OK : KRP_ERR_FAILED;
    });
}

int delete_channel(KRP_Context* ctx, uint16_t channelId) noexcept {
    return shielded("delete_channel", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return KRP_ERR_INVALID;
        return vs->adminDeleteChannel(channelId, kSystemActor) ? KRP_OK : KRP_ERR_FAILED;
    });
}

int rename_channel(KRP_Context* ctx, uint16_t channelId, const char* name) noexcept {
    return shielded("rename_channel", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !name) return KRP_ERR_INVALID;
        auto info = vs->channelManager.find(channelId);
        if (!info) return KRP_ERR_NOT_FOUND;
        info->name = name;
        return vs->adminUpdateChannel(*info, kSystemActor) ? KRP_OK : KRP_ERR_FAILED;
    });
}

// ---------------------------------------------------------------- queries

int get_user(KRP_Context* ctx, uint32_t clientId, KRP_User* out) noexcept {
    thread_local std::string tl_nick;
    thread_local std::string tl_role;
    return shielded("get_user", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !out) return KRP_ERR_INVALID;
        const auto session = vs->findSession(clientId);
        if (!session) return KRP_ERR_NOT_FOUND;
        const UserInfo user = session->info();
        tl_nick = user.nickname;
        tl_role = roleName(user.role);
        out->id = user.clientId;
        out->channel_id = user.channelId;
        out->nickname = tl_nick.c_str();
        out->role = tl_role.c_str();
        out->reserved[0] = out->reserved[1] = out->reserved[2] = 0;
        return KRP_OK;
    });
}

int get_channel(KRP_Context* ctx, uint16_t channelId, KRP_Channel* out) noexcept {
    thread_local std::string tl_name;
    thread_local std::string tl_desc;
    thread_local std::string tl_type;
    return shielded("get_channel", KRP_ERR_FAILED, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs || !out) return KRP_ERR_INVALID;
        const auto channel = vs->channelManager.find(channelId);
        if (!channel) return KRP_ERR_NOT_FOUND;
        tl_name = channel->name;
        tl_desc = channel->description;
        tl_type = channelTypeText(channel->type);
        out->id = channel->id;
        out->parent_id = channel->parentId;
        out->name = tl_name.c_str();
        out->description = tl_desc.c_str();
        out->type = tl_type.c_str();
        out->max_users = channel->maxUsers;
        out->user_count = vs->channelManager.userCount(channelId);
        out->permanent = channel->isPermanent ? 1 : 0;
        return KRP_OK;
    });
}

int get_online_users(KRP_Context* ctx, uint32_t* out, int max) noexcept {
    return shielded("get_online_users", 0, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return 0;
        const auto sessions = vs->allSessions();
        if (sessions.empty() || max <= 0) return 0;
        const int n = sessions.size() < static_cast<std::size_t>(max) ? static_cast<int>(sessions.size()) : max;
        if (out) {
            for (int i = 0; i < n; ++i) out[i] = sessions[static_cast<std::size_t>(i)]->clientId();
        }
        return n;
    });
}

const char* get_server_name(KRP_Context* ctx) noexcept {
    static const char* const kNone = "";
    thread_local std::string tl_name;
    return shielded("get_server_name", kNone, [&] {
        const auto vs = vserverOf(ctx);
        if (!vs) return kNone;
        tl_name = vs->config().name;
        return tl_name.c_str();
    });
}

// ---------------------------------------------------------------- voice, storage, timers, log

int inject_voice(KRP_Context* ctx, uint16_t channelId, const int16_t* pcm, int samples) noexcept {
    return shielded("inject_voice", KRP_ERR_FAILED, [&] {
        if (!ctx || !ctx->udp || !pcm) return KRP_ERR_INVALID;
        ctx->udp->injectPcm(ctx->vsId, channelId, pcm, samples);
        return KRP_OK;
    });
}

int db_set(KRP_Context*, const char*, const char*) noexcept { return KRP_OK; }

const char* db_get(KRP_Context*, const char*) noexcept { return nullptr; }

// A timer is set only for the plugin whose call runs on this thread: with
// another context it would run that plugin's code under the wrong owner,
// or on the timer thread of another virtual server.
bool mayScheduleFor(const KRP_Context* ctx) { return tl_loader && ctx && ctx == tl_plugin; }

int set_timeout(KRP_Context* ctx, int ms, KRP_TimerCallback callback, void* userData) noexcept {
    return shielded("set_timeout", -1, [&] {
        if (!mayScheduleFor(ctx)) return -1;
        return tl_loader->scheduleTimeout(ms, callback, userData, ctx);
    });
}

int set_interval(KRP_Context* ctx, int ms, KRP_TimerCallback callback, void* userData) noexcept {
    return shielded("set_interval", -1, [&] {
        if (!mayScheduleFor(ctx)) return -1;
        return tl_loader->scheduleInterval(ms, callback, userData, ctx);
    });
}

void clear_timer(KRP_Context* ctx, int timerId) noexcept {
    shielded("clear_timer", 0, [&] {
        // Ids count per virtual server: the one of the given context decides
        // whose timer goes (the current call's when none is given).
        if (!tl_loader) return 0;
        PluginLoader* loader = !ctx || ctx == tl_plugin ? tl_loader : ctx->loader;
        if (loader) loader->cancelTimer(timerId);
        return 0;
    });
}

void log_fn(KRP_Context* ctx, const char* level, const char* text) noexcept {
    if (!ctx || !text) return;
    shielded("log_fn", 0, [&] {
        const std::string word = level ? level : "INFO";
        const LogLevel lvl = word == "ERROR" ? LogLevel::Error : word == "WARN" ? LogLevel::Warn : LogLevel::Info;
        // The text goes in as an argument: braces in it are never placeholders.
        Logger::instance().logf(lvl, "{}", "[" + ctx->pluginName + "] " + text);
        return 0;
    });
}

}  // namespace

const KRP_HostApi& hostApi() {
    static const KRP_HostApi api = {
        .send_message = send_message,
        .send_dm = send_dm,
        .delete_message = delete_message,
        .kick_user = kick_user,
        .ban_user = ban_user,
        .move_user = move_user,
        .set_muted = set_muted,
        .set_role = set_role,
        .create_channel = create_channel,
        .delete_channel = delete_channel,
        .rename_channel = rename_channel,
        .get_user = get_user,
        .get_channel = get_channel,
        .get_online_users = get_online_users,
        .get_server_name = get_server_name,
        .inject_voice = inject_voice,
        .db_set = db_set,
        .db_get = db_get,
        .set_timeout = set_timeout,
        .set_interval = set_interval,
        .clear_timer = clear_timer,
        .log_fn = log_fn,
    };
    return api;
}

}  // namespace Korrafin::HostImpl
