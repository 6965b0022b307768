// Server settings, plugin list and virtual-server lifecycle requests. The
// dispatcher has already turned away everybody below admin. The
// virtual-server requests reach every virtual server of the process through
// the host, not only the requester's own.
#include <memory>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "protocol/BoundedList.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "protocol/SessionHost.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

// u16 id, then the host's lifecycle operation on it. No reply: the outcome
// shows in the list and the log.
void vserverCommand(ClientSession& session, PacketReader& reader, bool (SessionHost::*command)(uint16_t), const char* done,
                    const char* failed) {
    SessionHost* server = session.host();
    if (!server) return;
    const uint16_t id = reader.readLE<uint16_t>();
    const bool ok = (server->*command)(id);
    Logger::instance().logf(LogLevel::Info, "Client {} ({}) {} vserver {}", session.clientId(), session.nickname(),
                            ok ? done : failed, id);
}

}  // namespace

// Eight fields, then a badge configuration when any byte is left. Stored,
// then shown to every session of the virtual server, the requester included.
void ClientSession::handleServerSettingsUpdate(PacketReader& reader) {
    auto vs = vserver();
    if (!vs) return;
    DB::DbServerSettings s;
    s.name = reader.readStr();
    s.description = reader.readStr();
    s.icon_url = reader.readStr();
    s.banner_url = reader.readStr();
    s.accent_color = reader.readLE<uint32_t>();
    s.notify_channel_id = reader.readLE<uint16_t>();
    s.welcome_message = reader.readStr();
    s.entry_channel_id = reader.readLE<uint16_t>();
    if (reader.remaining() > 0) s.badge_config_json = reader.readStr();

    // A storage failure ends the request here: nobody is shown settings that
    // were not kept.
    vs->updateServerSettings(s);
    Logger::instance().logf(LogLevel::Info,
                            "Client {} ({}) updated server settings: name='{}', notifyChannelId={}, "
                            "entryChannelId={}, hasWelcome={}, hasBadgeConfig={}",
                            clientId_, nickname(), s.name, s.notify_channel_id, s.entry_channel_id,
                            s.welcome_message.empty() ? 0 : 1, s.badge_config_json.empty() ? 0 : 1);
}

// Empty payload. PluginList: what the virtual server's plugin host has
// loaded, in load order; empty without one.
void ClientSession::handlePluginListRequest(PacketReader& /*reader*/) {
    auto vs = vserver();
    if (!vs) return;
    std::vector<PluginInfo> plugins;
    if (PluginHost* loader = vs->pluginLoader.load(std::memory_order_acquire)) plugins = loader->getLoadedPlugins();

    PacketBuilder b(MessageType::PluginList);
    writeBoundedList(b, plugins, [](PacketBuilder& out, const PluginInfo& p) {
        out.writeStr(p.name);
        out.writeStr(p.version);
        out.writeStr(p.author);
        out.writeStr(p.description);
    });
    send(b);
}

// Empty payload. VServerList: every virtual server of the process, paused
// ones included, in registry order. Each is read through the reference the
// registry handed out, so one removed meanwhile is still safe to read.
void ClientSession::handleVServerListRequest(PacketReader& /*reader*/) {
    SessionHost* server = host();
    if (!server) return;
    const std::vector<std::shared_ptr<VirtualServer>> all = server->allVServers();

    PacketBuilder b(MessageType::VServerList);
    writeBoundedList(b, all, [](PacketBuilder& out, const std::shared_ptr<VirtualServer>& vs) {
        const VirtualServer::VSConfig cfg = vs->config();
        out.writeLE(vs->id());
        out.writeStr(cfg.name);
        out.writeLE(cfg.tcpPort);
        out.writeLE(static_cast<uint16_t>(cfg.maxSlots));
        out.writeLE(static_cast<uint16_t>(vs->slotUsage()));
        out.writeLE<uint8_t>(vs->isRunning() ? 1 : 0);
    });
    send(b);
}

// u16 id. Pauses that virtual server, wherever it is; when it is the
// requester's own, the requester is disconnected with everybody else there.
void ClientSession::handleVServerStop(PacketReader& reader) {
    vserverCommand(*this, reader, &SessionHost::pauseVServer, "stopped", "failed to stop");
}

// u16 id. Resumes that virtual server.
void ClientSession::handleVServerStart(PacketReader& reader) {
    vserverCommand(*this, reader, &SessionHost::resumeVServer, "started", "failed to start");
}

}  // namespace Korrafin
