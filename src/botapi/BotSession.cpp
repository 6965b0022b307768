// A bot connection's receive thread, framing, log-in and writes. The
// commands are in BotCommands.cpp.
#include "botapi/BotSession.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>

#include "botapi/BotApiServer.h"
#include "core/JsonText.h"
#include "core/Logger.h"
#include "core/SendPoller.h"
#include "db/IDatabase.h"
#include "protocol/PacketBuilder.h"

namespace Korrafin {

namespace {

// Failed log-ins logged per connection; a bot may retry as often as it
// likes, the log need not show every try.
constexpr int kLoggedLoginFailures = 3;

// Why a bot was dropped, for the failures that are the bot's doing; a
// write to a bot that has gone is just its end.
const char* dropReason(OutboundQueue::Failure failure) {
    switch (failure) {
        case OutboundQueue::Failure::Overflow: return "too much waits to be sent";
        case OutboundQueue::Failure::Stalled: return "it stopped reading";
        case OutboundQueue::Failure::NoMemory: return "out of memory";
        case OutboundQueue::Failure::Broken:
        case OutboundQueue::Failure::None: break;
    }
    return nullptr;
}

void setTimeout(int fd, int option, std::chrono::microseconds t) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(t.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(t.count() % 1000000);
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

BotSession::BotSession(int fd, uint64_t sessionId, std::string peer, std::weak_ptr<VirtualServer> virtualServer,
                       std::shared_ptr<DB::IDatabase> db, BotApiServer& owner, OutboundQueue::Limits sendLimits)
    : fd_(fd),
      sessionId_(sessionId),
      peer_(std::move(peer)),
      virtualServer_(std::move(virtualServer)),
      db_(std::move(db)),
      owner_(owner) {
    // Last: once the queue owns the descriptor nothing here may throw, or the
    // caller would close it a second time.
    out_ = std::make_shared<OutboundQueue>(fd, sendLimits, SendPoller::shared());
}

BotSession::~BotSession() {
    close();
    if (recvThread_.joinable()) {
        // Only the owner drops the last reference of a running session, and
        // only after join; should that ever not hold, never join oneself.
        if (recvThread_.get_id() == std::this_thread::get_id()) {
            recvThread_.detach();
        } else {
            recvThread_.join();
        }
    }
    // The descriptor closes when the queue goes: here, or when the send
    // poller lets go of it.
}

// ---------------------------------------------------------------- lifecycle

void BotSession::start(const ThreadStarter& starter, std::chrono::steady_clock::duration authDeadline) {
    authDeadline_ = std::chrono::steady_clock::now() + authDeadline;
    running_.store(true, std::memory_order_release);
    try {
        recvThread_ = starter([this] { recvLoop(); });
    } catch (...) {
        running_.store(false, std::memory_order_release);
        throw;
    }
}

void BotSession::close() {
    running_.store(false, std::memory_order_release);
    out_->close();
}

bool BotSession::isRunning() const { return running_.load(std::memory_order_acquire) && !out_->isClosed(); }

void BotSession::join() {
    if (recvThread_.joinable() && recvThread_.get_id() != std::this_thread::get_id()) recvThread_.join();
}

// ---------------------------------------------------------------- writing

void BotSession::send(const std::vector<uint8_t>& frame) {
    if (!running_.load(std::memory_order_acquire)) return;
    // A queue that fails has shut the socket down, which ends the receive
    // loop; that thread logs the reason, once.
    if (!out_->send(frame.data(), frame.size())) close();
}

void BotSession::reply(MessageType type, ResultCode code, std::string_view text) {
    PacketBuilder b(type);
    b.writeLE(code);
    b.writeStr(text);
    send(b.finalise());
}

// ---------------------------------------------------------------- receiving

bool BotSession::armAuthDeadline() {
    const auto left = authDeadline_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    // At least a millisecond: a zero time-out would mean none at all.
    const auto us = std::max<std::chrono::microseconds>(std::chrono::duration_cast<std::chrono::microseconds>(left),
                                                        std::chrono::milliseconds(1));
    setTimeout(fd_, SO_RCVTIMEO, us);
    return true;
}

void BotSession::recvLoop() {
    std::vector<uint8_t> chunk(BotLimits::kRecvChunk);
    try {
        bool bad = false;
        while (!bad && isRunning()) {
            if (!isAuthenticated() && !armAuthDeadline()) {
                owner_.connectionLines_.logfFrom(peer_, LogLevel::Info, BotApiServer::kConnectionLines,
                                                 "[BotAPI] Bot session {} did not authenticate in time", sessionId_);
                break;
            }
            const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            // A time-out before the log-in comes back to the deadline test.
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !isAuthenticated()) continue;
            if (n <= 0) break;
            framer_.append(chunk.data(), static_cast<std::size_t>(n));

            Framer::Frame frame;
            // A session ended from outside (its token revoked) runs nothing more.
            while (isRunning()) {
                const Framer::Status status = framer_.next(frame);
                if (status == Framer::Status::NeedMore) break;
                if (status == Framer::Status::Bad) {
                    bad = true;
                    break;
                }
                try {
                    processPacket(frame.type, frame.payload, frame.length);
                } catch (const std::exception&) {
                    // A frame its handler cannot take is dropped; the session goes on.
                }
            }
        }
    } catch (const std::exception& e) {
        // Only memory can come here; it ends this connection only.
        Logger::instance().logf(LogLevel::Warn, "[BotAPI] Bot session {} ended: {}", sessionId_, e.what());
    }
    running_.store(false, std::memory_order_release);
    // Its places go back at once, not when the session is reaped.
    waitingByAddress_.release();
    waitingInAll_.release();
    loggedInPlace_.release();
    if (const char* why = dropReason(out_->failure())) {
        Logger::instance().logf(LogLevel::Warn, "[BotAPI] Bot session {} dropped: {}", sessionId_, why);
    }
    if (isAuthenticated()) {
        Logger::instance().logf(LogLevel::Info, "[BotAPI] Bot session {} disconnected ({})", sessionId_,
                                Json::escape(botName_));
    } else {
        // A stranger's: bounded with its connect line.
        owner_.connectionLines_.logfFrom(peer_, LogLevel::Info, BotApiServer::kConnectionLines,
                                         "[BotAPI] Bot session {} disconnected ()", sessionId_);
    }
    owner_.sessionEnded(sessionId_);
}

void BotSession::processPacket(MessageType type, const uint8_t* payload, uint32_t length) {
    PacketReader reader{payload, length, 0};
    switch (type) {
        case MessageType::BotAuth:
            handleBotAuth(reader);
            return;
        case MessageType::BotCommand:
            handleBotCommand(reader);
            return;
        default:
            return;
    }
}

// ---------------------------------------------------------------- log-in

void BotSession::handleBotAuth(PacketReader& reader) {
    if (isAuthenticated()) return;
    const std::string token = reader.readStr();
    if (!db_) {
        reply(MessageType::BotAuthResult, ResultCode::UnknownError, "Database not available");
        return;
    }

    std::optional<DB::DbBotToken> row;
    try {
        // Held from the look-up until the session counts as logged in, so a
        // revocation either finds the session or happened before the look-up.
        std::lock_guard<std::mutex> lock(owner_.tokenMutex_);
        row = db_->GetBotToken(token);
        if (row && (loggedInPlace_ = owner_.takeLoggedInPlace())) {
            botName_ = row->bot_name;
            permissions_ = row->permissions;
            botId_.store(row->id, std::memory_order_release);
            authenticated_.store(true, std::memory_order_release);
        }
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Error, "[BotAPI] Bot session {} auth failed: {}", sessionId_, e.what());
        reply(MessageType::BotAuthResult, ResultCode::UnknownError, "Database not available");
        return;
    }
    if (!row) {
        if (++failedLogins_ <= kLoggedLoginFailures) {
            owner_.connectionLines_.logfFrom(peer_, LogLevel::Warn, BotApiServer::kConnectionLines,
                                             "[BotAPI] Bot session {} auth failed – bad token", sessionId_);
        }
        reply(MessageType::BotAuthResult, ResultCode::InvalidToken, "Invalid or inactive bot token");
        return;
    }
    if (!isAuthenticated()) {
        // Every logged-in place is taken: closed, as it would have been at accept.
        owner_.refusedForLoggedIn();
        close();
        return;
    }
    // Logged in: its places among the waiting go to others.
    waitingByAddress_.release();
    waitingInAll_.release();

    // Logged in: commands may be large now, and the bot may stay silent.
    framer_.setMaxPayload(BotLimits::kMaxPayload);
    setTimeout(fd_, SO_RCVTIMEO, std::chrono::microseconds(0));
    try {
        db_->UpdateBotTokenLastUsed(row->id);
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Error, "[BotAPI] Could not note the last use of bot token {}: {}", row->id,
                                e.what());
    }
    reply(MessageType::BotAuthResult, ResultCode::Ok, "Authenticated as: " + botName_);
    Logger::instance().logf(LogLevel::Info, "[BotAPI] Bot '{}' (session {}) authenticated", Json::escape(botName_),
                            sessionId_);
}

}  // namespace Korrafin
