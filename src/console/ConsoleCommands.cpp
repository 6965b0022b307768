// The administrative commands: status, vserver, channel and user.
//
// Every argument is parsed before anything changes, so a bad number leaves
// the system as it was. Virtual servers are held by the shared reference the
// registry hands out, so one removed meanwhile by another thread stays
// usable to the end of the command.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/AdminConsole.h"
#include "console/ConsoleArgs.h"
#include "core/Format.h"
#include "core/Utf8.h"
#include "protocol/ChannelInfo.h"
#include "protocol/ClientSession.h"
#include "server/Server.h"
#include "vserver/VServerIds.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr const char* kVsNotFound = "Virtual server not found.\n";

std::string text(uint64_t n) { return std::to_string(n); }

}  // namespace

void AdminConsole::cmdStatus(const Words&) {
    const auto all = server.allVServers();
    std::string out = "=== Korrafin Server Status ===\n";
    out += detail::krfmt("Virtual servers running: {}\n", all.size());
    for (const auto& vs : all) {
        const auto cfg = vs->config();
        out += detail::krfmt("  VS[{}] '{}' \u2013 {}/{} slots\n", cfg.id, cfg.name, vs->slotUsage(), cfg.maxSlots);
    }
    print(out);
}

void AdminConsole::cmdVServer(const Words& w) {
    if (w.size() < 2) {
        print("Usage: vserver <list|create|delete>\n");
        return;
    }
    const std::string& sub = w[1];
    if (sub == "list") {
        std::vector<Words> rows;
        for (const auto& vs : server.allVServers()) {
            const auto cfg = vs->config();
            rows.push_back({text(cfg.id), cfg.name, std::to_string(cfg.maxSlots), text(vs->slotUsage())});
        }
        print(formatTable({"ID", "Name", "Slots", "Users"}, rows));
    } else if (sub == "create" && w.size() >= 3) {
        // A create of the panel at the same moment may take the id first;
        // then the registry refuses this one.
        const uint32_t next = lowestFreeVServerId(server.allVServers());
        VirtualServer::VSConfig cfg;
        cfg.id = static_cast<uint16_t>(next);
        cfg.name = w[2];
        // The panel writes every name into the configuration file, which
        // holds UTF-8 only.
        if (next <= UINT16_MAX && isValidUtf8(cfg.name) && server.createVServer(cfg)) {
            print("Virtual server " + text(cfg.id) + " created.\n");
        } else {
            print("Virtual server " + text(next) + " could not be created.\n");
        }
    } else if (sub == "delete" && w.size() >= 3) {
        const uint16_t id = ConsoleArgs::id16(w[2]);
        print(server.removeVServer(id) ? "Virtual server " + text(id) + " deleted.\n" : std::string("Not found.\n"));
    }
}

void AdminConsole::cmdChannel(const Words& w) {
    if (w.size() < 2) {
        print("Usage: channel <list|create|delete> ...\n");
        return;
    }
    const std::string& sub = w[1];
    if (sub == "list" && w.size() >= 3) {
        const auto vs = server.getVServer(ConsoleArgs::id16(w[2]));
        if (!vs) return print(kVsNotFound);
        std::vector<Words> rows;
        for (const auto& c : vs->channelManager.all()) {
            rows.push_back({text(c.id), text(c.parentId), c.name, text(c.userCount),
                            c.maxUsers == 0 ? std::string("\u221E") : text(c.maxUsers)});
        }
        print(formatTable({"ID", "Parent", "Name", "Users", "MaxUsers"}, rows));
    } else if (sub == "create" && w.size() >= 4) {
        const auto vs = server.getVServer(ConsoleArgs::id16(w[2]));
        if (!vs) return print(kVsNotFound);
        ChannelInfo info;
        info.name = w[3];
        if (w.size() >= 5) info.parentId = ConsoleArgs::id16(w[4]);
        // The same bounds as a client's channel: a record the wire carries
        // whole, and a channel list every client can still receive.
        const uint16_t id = info.fitsWireWhole() ? vs->channelManager.createChannelIfFree(info) : 0;
        if (id == 0) return print("Channel '" + info.name + "' could not be created.\n");
        print("Channel " + text(id) + " '" + info.name + "' created.\n");
    } else if (sub == "delete" && w.size() >= 4) {
        const uint16_t vsId = ConsoleArgs::id16(w[2]);
        const uint16_t channelId = ConsoleArgs::id16(w[3]);
        const auto vs = server.getVServer(vsId);
        if (!vs) return print(kVsNotFound);
        print(vs->channelManager.deleteChannel(channelId) ? "Channel deleted.\n"
                                                          : "Cannot delete (lobby or not found).\n");
    }
}

void AdminConsole::cmdUser(const Words& w) {
    if (w.size() < 2) {
        print("Usage: user <list|kick|ban|role> ...\n");
        return;
    }
    const std::string& sub = w[1];
    if (sub == "list") {
        const auto vs = server.getVServer(w.size() >= 3 ? ConsoleArgs::id16(w[2]) : 1);
        if (!vs) return print(kVsNotFound);
        std::vector<Words> rows;
        for (const auto& session : vs->allSessions()) {
            const UserInfo u = session->info();
            rows.push_back({text(u.clientId), u.nickname, text(u.channelId), text(static_cast<uint8_t>(u.role)),
                            text(u.pingMs) + "ms"});
        }
        print(formatTable({"ID", "Nickname", "Channel", "Role", "Ping"}, rows));
    } else if (sub == "kick" && w.size() >= 4) {
        const uint16_t vsId = ConsoleArgs::id16(w[2]);
        const uint32_t target = ConsoleArgs::clientId(w[3]);
        const std::string reason = w.size() >= 5 ? w[4] : "Kicked by admin";
        const auto vs = server.getVServer(vsId);
        if (!vs) return print(kVsNotFound);
        print(vs->kickUser(target, 0, reason) ? "User kicked.\n" : "User not found or permission denied.\n");
    } else if (sub == "ban" && w.size() >= 4) {
        const uint16_t vsId = ConsoleArgs::id16(w[2]);
        const uint32_t target = ConsoleArgs::clientId(w[3]);
        const int64_t seconds = w.size() >= 5 ? ConsoleArgs::seconds(w[4]) : 0;
        const std::string reason = w.size() >= 6 ? w[5] : "Banned by admin";
        const auto vs = server.getVServer(vsId);
        if (!vs) return print(kVsNotFound);
        print(vs->banUser(target, 0, reason, seconds) ? "User banned.\n" : "User not found.\n");
    } else if (sub == "role" && w.size() >= 5) {
        const uint16_t vsId = ConsoleArgs::id16(w[2]);
        const uint32_t target = ConsoleArgs::clientId(w[3]);
        const UserRole role = ConsoleArgs::role(w[4]);
        const auto vs = server.getVServer(vsId);
        if (!vs) return print(kVsNotFound);
        print(vs->setUserRole(target, 0, role) ? "Role updated.\n" : "User not found.\n");
    }
}

}  // namespace Korrafin
