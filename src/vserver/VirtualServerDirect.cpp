// Direct messages between two users of the virtual server.
#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {
constexpr std::size_t kMaxDirectMessageBytes = 4096;
}

// The system actor (0) has no session and so no nickname: its messages are
// not delivered.
void VirtualServer::routeDirectMessage(uint32_t fromId, uint32_t toId, const std::string& text) {
    const auto sender = findSession(fromId);
    if (!sender) return;
    const auto recipient = findSession(toId);
    if (!recipient) return;
    if (text.empty() || text.size() > kMaxDirectMessageBytes) return;

    recipient->send(directMessagePacket(fromId, sender->nickname(), text));
    Logger::instance().logf(LogLevel::Trace, "[VServer {}] DM {} → {}: {} chars", id_, fromId, toId,
                            text.size());
}

}  // namespace Korrafin
