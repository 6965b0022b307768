// What bots and the bot API say to each other besides the frame types in
// MessageType.h: the event and command numbers and the bounds of a bot
// connection. Plain constants.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "protocol/PacketHeader.h"

namespace Korrafin {

// First byte of a BotEvent payload.
enum class BotEventType : uint8_t {
    UserJoin = 1,
    UserLeave = 2,
    ChatMessage = 3,
    ChannelCreated = 4,
    ChannelDeleted = 5,
    UserMoved = 6,
};

// First byte of a BotCommand payload; any other value is an unknown command.
enum class BotCommandId : uint8_t {
    SendMessage = 1,
    KickUser = 2,
    MoveUser = 3,
    ListUsers = 4,
    ListChannels = 5,
};

namespace BotLimits {

// Logged-in bots beyond this many are closed: at accept, or when they
// present their token.
inline constexpr std::size_t kMaxSessions = 64;
// Connections waiting for their log-in count apart from the logged-in bots,
// so strangers never keep a bot with a valid token out: at most this many
// from one remote address, and this many in all; more are closed at accept.
inline constexpr std::size_t kMaxWaitingPerAddress = 8;
inline constexpr std::size_t kMaxWaiting = 64;
// What strangers make the log say (a connection, a failed log-in, a
// disconnect before any log-in): at most this many lines a second from one
// address and in all; the rest are counted in one summary line.
inline constexpr unsigned kLogLinesPerAddress = 20;
inline constexpr unsigned kLogLinesInAll = 40;
// Longest token a bot may present; with its length prefix it bounds every
// frame a connection may send before it has logged in.
inline constexpr std::size_t kMaxTokenBytes = 256;
inline constexpr uint32_t kMaxPreAuthPayload = 2 + kMaxTokenBytes;
inline constexpr uint32_t kMaxPayload = PacketHeader::kMaxPayload;
// A connection that has not logged in by then is closed.
inline constexpr std::chrono::seconds kAuthDeadline{10};
// What is sent to a bot waits in its own queue, never in the thread that
// raised an event. A bot whose unsent frames pass kMaxQueuedBytes, or that
// takes no byte for kStallTimeout while frames wait, is dropped. The largest
// frame a bot is sent carries one str (at most 65535 bytes), so the bound
// holds many of them.
inline constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;
inline constexpr std::chrono::seconds kStallTimeout{2};
// Bytes read per recv.
inline constexpr std::size_t kRecvChunk = 4096;

}  // namespace BotLimits

}  // namespace Korrafin
