// Direct messages between two users of the virtual server.
#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {
constexpr std::size_t kMaxDirectMessageBytes = 4096;
}

// A sender needs a session here, for its nickname; the system actor (0) has
// none and sends through the named variant.
void VirtualServer::routeDirectMessage(uint32_t fromId, uint32_t toId, const std::string& text) {
    const auto sender = findSession(fromId);
    if (!sender) return;
    routeDirectMessage(fromId, sender->nickname(), toId, text);
}

void VirtualServer::routeDirectMessage(uint32_t fromId, const std::string& fromName, uint32_t toId,
                                       const std::string& text) {
    const auto recipient = findSession(toId);
    if (!recipient) return;
    if (text.empty() || text.size() > kMaxDirectMessageBytes) return;

    recipient->send(directMessagePacket(fromId, fromName, text));
    Logger::instance().logf(LogLevel::Trace, "[VServer {}] DM {} → {}: {} chars", id_, fromId, toId,
                            text.size());
}

}  // namespace Korrafin
