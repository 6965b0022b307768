// The commands a logged-in bot sends, each answered with one
// BotCommandResult. They act on the virtual server the session was attached
// to, as the system actor (client id 0), with no lock of the bot API held.
#include <exception>
#include <limits>
#include <sstream>

#include "botapi/BotSession.h"
#include "botapi/CommandArgs.h"
#include "core/JsonText.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr uint32_t kSystemActor = 0;
constexpr uint64_t kMaxClientId = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxChannelId = std::numeric_limits<uint16_t>::max();

std::string errorText(const std::string& error) { return Json::object({Json::str("error", error)}); }

std::string invalidText(const char* key) { return errorText(std::string("Invalid argument: ") + key); }

std::string okText() { return "{\"ok\":true}"; }

std::string failedText(const std::string& error) {
    return "{\"ok\":false," + Json::str("error", error) + "}";
}

std::string usersText(VirtualServer& vs) {
    std::ostringstream out;
    out << '[';
    bool first = true;
    for (const auto& s : vs.allSessions()) {
        const UserInfo u = s->info();
        if (!first) out << ',';
        first = false;
        out << Json::object({Json::num("clientId", u.clientId), Json::str("nickname", u.nickname),
                             Json::num("channelId", u.channelId)});
    }
    out << ']';
    return out.str();
}

std::string channelsText(VirtualServer& vs) {
    std::ostringstream out;
    out << '[';
    bool first = true;
    for (const auto& c : vs.channelManager.all()) {
        if (!first) out << ',';
        first = false;
        out << Json::object({Json::num("channelId", c.id), Json::str("name", c.name),
                             Json::num("parentId", c.parentId), Json::num("userCount", c.userCount)});
    }
    out << ']';
    return out.str();
}

}  // namespace

void BotSession::handleBotCommand(PacketReader& reader) {
    if (!isAuthenticated()) return;

    Outcome outcome{ResultCode::UnknownError, ""};
    try {
        const auto commandId = reader.readLE<uint8_t>();
        const std::string argsText = reader.readStr();
        if (const auto vs = virtualServer_.lock()) {
            outcome = runCommand(commandId, CommandArgs(argsText), *vs);
        } else {
            // Detached, or the virtual server was removed: never reach it.
            outcome.text = errorText("No virtual server");
        }
    } catch (const std::exception&) {
        // A payload too short for its fields, or an operation that failed
        // half way: the bot still learns that its command came to nothing.
        outcome = {ResultCode::UnknownError, errorText("Malformed or failed command")};
    }

    if (outcome.text.size() > PacketBuilder::kMaxStr) {
        outcome = {ResultCode::UnknownError, errorText("Reply too long")};
    }
    reply(MessageType::BotCommandResult, outcome.code, outcome.text);
}

BotSession::Outcome BotSession::runCommand(uint8_t commandId, const CommandArgs& args, VirtualServer& vs) {
    switch (static_cast<BotCommandId>(commandId)) {
        case BotCommandId::SendMessage:
            return sendMessage(args, vs);
        case BotCommandId::KickUser:
            return kickUser(args, vs);
        case BotCommandId::MoveUser:
            return moveUser(args, vs);
        case BotCommandId::ListUsers:
            return {ResultCode::Ok, usersText(vs)};
        case BotCommandId::ListChannels:
            return {ResultCode::Ok, channelsText(vs)};
    }
    return {ResultCode::UnknownError, errorText("Unknown command")};
}

BotSession::Outcome BotSession::sendMessage(const CommandArgs& args, VirtualServer& vs) {
    const auto text = args.text("text");
    if (!text || text->size() > PacketBuilder::kMaxStr) return {ResultCode::UnknownError, invalidText("text")};
    const auto channel = args.id("channelId", kMaxChannelId);
    if (!channel) return {ResultCode::UnknownError, invalidText("channelId")};

    const bool everyone = *channel == 0 || args.isTrue("all");
    const auto target = everyone ? uint16_t{0} : static_cast<uint16_t>(*channel);
    const auto packet = chatMessagePacket(kSystemActor, target, "[Bot] " + botName_, *text, 0);
    if (everyone) {
        vs.broadcast(packet, 0);
    } else {
        vs.broadcastToChannel(target, packet, 0);
    }
    return {ResultCode::Ok, okText()};
}

BotSession::Outcome BotSession::kickUser(const CommandArgs& args, VirtualServer& vs) {
    const auto clientId = args.id("clientId", kMaxClientId);
    if (!clientId) return {ResultCode::UnknownError, invalidText("clientId")};
    auto reason = args.text("reason");
    if (!reason) return {ResultCode::UnknownError, invalidText("reason")};
    if (reason->empty()) *reason = "Bot kick";
    if (!vs.kickUser(static_cast<uint32_t>(*clientId), kSystemActor, *reason)) {
        return {ResultCode::Failed, failedText("User not found")};
    }
    return {ResultCode::Ok, okText()};
}

BotSession::Outcome BotSession::moveUser(const CommandArgs& args, VirtualServer& vs) {
    const auto clientId = args.id("clientId", kMaxClientId);
    if (!clientId) return {ResultCode::UnknownError, invalidText("clientId")};
    const auto channel = args.id("channelId", kMaxChannelId);
    if (!channel) return {ResultCode::UnknownError, invalidText("channelId")};
    // A successful move raises the join event on this thread: the bot hears
    // it before this reply.
    if (!vs.moveUserToChannel(static_cast<uint32_t>(*clientId), static_cast<uint16_t>(*channel), "")) {
        return {ResultCode::Failed, failedText("Move failed")};
    }
    return {ResultCode::Ok, okText()};
}

}  // namespace Korrafin
