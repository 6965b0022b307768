// Channel creation, deletion, update and reordering requests. The virtual
// server decides who may and announces every change to all its sessions;
// the requester hears back only when it refuses.
#include <vector>

#include "protocol/ClientSession.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr uint16_t kMaxReorderIds = 512;

// The channel record of a create or update request (it has a layout of its
// own: no length prefix, no id, requiredRole after logMode, an optional
// tail). Each optional field is read only while bytes are left; the first
// one that finds none ends the record. Throws the reader's underflow error.
ChannelInfo readChannelRequest(PacketReader& r) {
    ChannelInfo c;
    c.parentId = r.readLE<uint16_t>();
    c.name = r.readStr();
    c.description = r.readStr();
    c.password = r.readStr();
    c.hasPassword = !c.password.empty();
    c.maxUsers = r.readLE<uint16_t>();
    c.sortOrder = r.readLE<uint8_t>();
    c.isPermanent = r.readLE<uint8_t>() != 0;
    c.type = r.readLE<uint8_t>();
    c.logMode = r.readLE<uint8_t>() != 0;

    if (r.remaining() == 0) return c;
    c.requiredRole = r.readLE<uint8_t>();
    // Two bytes nobody gives a meaning to: read and dropped.
    for (int i = 0; i < 2; ++i) {
        if (r.remaining() == 0) return c;
        r.readLE<uint8_t>();
    }
    if (r.remaining() == 0) return c;
    c.iconUrl = r.readStr();
    if (r.remaining() == 0) return c;
    c.bannerUrl = r.readStr();
    if (r.remaining() == 0) return c;
    c.textColor = r.readStr();
    return c;
}

}  // namespace

void ClientSession::handleChannelCreate(PacketReader& reader) {
    auto vs = vserver();
    if (!vs) return;
    const ChannelInfo channel = readChannelRequest(reader);
    if (vs->adminCreateChannel(channel, clientId_) == 0) sendRefusal("Cannot create channel");
}

void ClientSession::handleChannelUpdate(PacketReader& reader) {
    auto vs = vserver();
    if (!vs) return;
    const uint16_t id = reader.readLE<uint16_t>();
    ChannelInfo channel = readChannelRequest(reader);
    channel.id = id;
    if (!vs->adminUpdateChannel(channel, clientId_)) sendRefusal("Cannot update channel");
}

void ClientSession::handleChannelDelete(PacketReader& reader) {
    auto vs = vserver();
    if (!vs) return;
    const uint16_t id = reader.readLE<uint16_t>();
    if (!vs->adminDeleteChannel(id, clientId_)) sendRefusal("Cannot delete channel");
}

void ClientSession::handleChannelReorder(PacketReader& reader) {
    auto vs = vserver();
    if (!vs) return;
    const uint16_t n = reader.readLE<uint16_t>();
    if (n == 0 || n > kMaxReorderIds) return;
    // Read whole before anything changes: a short list changes nothing.
    reader.ensure(static_cast<std::size_t>(n) * 2);
    std::vector<uint16_t> ids;
    ids.reserve(n);
    for (uint16_t i = 0; i < n; ++i) ids.push_back(reader.readLE<uint16_t>());
    if (!vs->adminReorderChannels(ids, clientId_)) sendRefusal("Cannot reorder channels");
}

}  // namespace Korrafin
