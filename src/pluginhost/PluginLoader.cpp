// Loading, events, listing and unloading of a virtual server's plugins.
#include "pluginhost/PluginLoader.h"

#include <dirent.h>
#include <dlfcn.h>

#include <utility>

#include "core/Logger.h"
#include "pluginhost/GuardedCall.h"
#include "pluginhost/HostImpl.h"

namespace Korrafin {

namespace {

std::string textOrEmpty(const char* s) { return s ? std::string(s) : std::string(); }

// The path up to its last '/' or '\'; the whole path without either.
std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(0, slash);
}

bool isPluginFileName(const std::string& name) {
    return name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0;
}

template <class Fn>
Fn lookup(void* handle, const char* symbol) {
    return reinterpret_cast<Fn>(::dlsym(handle, symbol));
}

}  // namespace

PluginLoader::PluginLoader(std::weak_ptr<VirtualServer> vs, UdpVoiceServer* udp, uint16_t vsId)
    : vserver_(std::move(vs)), udp_(udp), vsId_(vsId) {
    timerThread_ = std::thread(&PluginLoader::timerLoop, this);
}

PluginLoader::~PluginLoader() {
    unloadAll();
    std::lock_guard<std::mutex> lock(timersMutex_);
    timers_.clear();
}

Server::PluginHostFactory PluginLoader::factory(UdpVoiceServer& relay, std::string dir) {
    return [&relay, dir = std::move(dir)](const std::shared_ptr<VirtualServer>& vs) -> std::unique_ptr<PluginHost> {
        auto loader = std::make_unique<PluginLoader>(vs, &relay, vs->id());
        loader->loadAll(dir);
        return loader;
    };
}

// ---------------------------------------------------------------- loading

void PluginLoader::loadAll(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        Logger::instance().logf(LogLevel::Info, "PluginLoader: no plugins in '{}'", dir);
        return;
    }
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (isPluginFileName(name)) files.push_back(dir + "/" + name);
    }
    ::closedir(d);
    for (const auto& path : files) loadOne(path);
}

bool PluginLoader::loadOne(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY);
    if (!handle) {
        Logger::instance().logf(LogLevel::Warn, "PluginLoader: failed to load '{}'", path);
        return false;
    }
    const auto info = lookup<KRP_PluginInfoFn>(handle, "krp_plugin_info");
    const auto init = lookup<KRP_PluginInitFn>(handle, "krp_plugin_init");
    if (!info || !init) {
        Logger::instance().logf(LogLevel::Warn, "PluginLoader: '{}' missing entry points", path);
        ::dlclose(handle);
        return false;
    }
    const KRP_PluginInfo* meta = nullptr;
    guardedPluginCall(path, "krp_plugin_info", [&] { meta = info(); });
    if (!meta) {
        Logger::instance().logf(LogLevel::Warn, "PluginLoader: '{}' returned null metadata", path);
        ::dlclose(handle);
        return false;
    }

    LoadedPlugin record;
    record.name = textOrEmpty(meta->name);
    record.version = textOrEmpty(meta->version);
    record.author = textOrEmpty(meta->author);
    record.description = textOrEmpty(meta->description);
    record.path = path;
    record.handle = handle;
    record.ctx.vserver = vserver_;
    record.ctx.udp = udp_;
    record.ctx.loader = this;
    record.ctx.vsId = vsId_;
    record.ctx.pluginName = record.name;
    record.ctx.pluginDir = directoryOf(path);
    fillHostApi(record);
    record.shutdown = lookup<KRP_PluginShutdownFn>(handle, "krp_plugin_shutdown");
    record.onChatMessage = lookup<KRP_OnChatMessageFn>(handle, "krp_on_chat_message");
    record.onUserConnected = lookup<KRP_OnUserConnectedFn>(handle, "krp_on_user_connected");
    record.onUserDisconnected = lookup<KRP_OnUserDisconnectedFn>(handle, "krp_on_user_disconnected");
    record.onUserJoinChannel = lookup<KRP_OnUserJoinChannelFn>(handle, "krp_on_user_join_channel");
    record.onUserLeaveChannel = lookup<KRP_OnUserLeaveChannelFn>(handle, "krp_on_user_leave_channel");
    record.onVoiceFrame = ::dlsym(handle, "krp_on_voice_frame");
    record.onChannelCreated = lookup<KRP_OnChannelCreatedFn>(handle, "krp_on_channel_created");
    record.onChannelDeleted = lookup<KRP_OnChannelDeletedFn>(handle, "krp_on_channel_deleted");

    LoadedPlugin* plugin;
    {
        std::lock_guard<std::mutex> lock(pluginsMutex_);
        plugin = &plugins_.emplace_back(std::move(record));
    }

    int result = -1;
    bool finished;
    {
        HostImpl::PluginCallScope scope(this, &plugin->ctx);
        finished = guardedPluginCall(plugin->name, "krp_plugin_init", [&] { result = init(&plugin->ctx, &plugin->api); });
    }
    if (finished && result == 0) {
        Logger::instance().logf(LogLevel::Info, "PluginLoader: loaded '{}' v{} by {}", plugin->name, plugin->version,
                                plugin->author);
        return true;
    }

    if (finished) Logger::instance().logf(LogLevel::Warn, "PluginLoader: '{}' init returned {}", plugin->name, result);
    // Its timers point into the library: none may run once it is closed.
    dropTimersOf(&plugin->ctx);
    ::dlclose(handle);
    std::lock_guard<std::mutex> lock(pluginsMutex_);
    for (auto it = plugins_.begin(); it != plugins_.end(); ++it) {
        if (&*it == plugin) {
            plugins_.erase(it);
            break;
        }
    }
    return false;
}

void PluginLoader::fillHostApi(LoadedPlugin& plugin) const { plugin.api = HostImpl::hostApi(); }

void PluginLoader::unloadAll() {
    // No timer may call into a library once it is closed.
    stopTimerThread();
    std::lock_guard<std::mutex> lock(pluginsMutex_);
    for (auto& p : plugins_) {
        if (p.shutdown) guardedPluginCall(p.name, "krp_plugin_shutdown", [&] { p.shutdown(&p.ctx); });
        if (p.handle) ::dlclose(p.handle);
    }
    plugins_.clear();
}

// ---------------------------------------------------------------- events

template <class Hook, class... Args>
void PluginLoader::raise(Hook LoadedPlugin::*hook, const char* entry, bool scoped, Args... args) {
    std::lock_guard<std::mutex> lock(pluginsMutex_);
    for (auto& p : plugins_) {
        const Hook fn = p.*hook;
        if (!fn) continue;
        HostImpl::PluginCallScope scope(scoped ? this : nullptr, scoped ? &p.ctx : nullptr);
        guardedPluginCall(p.name, entry, [&] { fn(&p.ctx, args...); });
    }
}

void PluginLoader::onChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nick,
                                 const std::string& text, uint64_t messageId) {
    KRP_ChatMessage msg{};
    msg.message_id = messageId;
    msg.client_id = clientId;
    msg.channel_id = channelId;
    msg.nickname = nick.c_str();
    msg.text = text.c_str();
    raise(&LoadedPlugin::onChatMessage, "krp_on_chat_message", true, static_cast<const KRP_ChatMessage*>(&msg));
}

void PluginLoader::onUserConnected(uint32_t clientId) {
    KRP_User user{};
    user.id = clientId;
    raise(&LoadedPlugin::onUserConnected, "krp_on_user_connected", true, static_cast<const KRP_User*>(&user));
}

void PluginLoader::onUserDisconnected(uint32_t clientId) {
    raise(&LoadedPlugin::onUserDisconnected, "krp_on_user_disconnected", false, clientId);
}

void PluginLoader::onUserJoinChannel(uint32_t clientId, uint16_t channelId) {
    KRP_User user{};
    user.id = clientId;
    user.channel_id = channelId;
    raise(&LoadedPlugin::onUserJoinChannel, "krp_on_user_join_channel", true, static_cast<const KRP_User*>(&user),
          channelId);
}

void PluginLoader::onUserLeaveChannel(uint32_t clientId, uint16_t channelId) {
    raise(&LoadedPlugin::onUserLeaveChannel, "krp_on_user_leave_channel", false, clientId, channelId);
}

void PluginLoader::onChannelCreated(uint16_t channelId) {
    KRP_Channel channel{};
    channel.id = channelId;
    raise(&LoadedPlugin::onChannelCreated, "krp_on_channel_created", false, static_cast<const KRP_Channel*>(&channel));
}

void PluginLoader::onChannelDeleted(uint16_t channelId) {
    raise(&LoadedPlugin::onChannelDeleted, "krp_on_channel_deleted", false, channelId);
}

std::vector<PluginLoader::PluginInfo> PluginLoader::getLoadedPlugins() const {
    std::lock_guard<std::mutex> lock(pluginsMutex_);
    std::vector<PluginInfo> out;
    out.reserve(plugins_.size());
    for (const auto& p : plugins_) out.push_back({p.name, p.version, p.author, p.description, true});
    return out;
}

}  // namespace Korrafin
