// One bot connection: its receive thread frames what the bot sends, logs it
// in with a bot token and runs its commands; any thread may send a frame to
// it (replies from its own thread, events from the thread that raised them).
// Frames go through the connection's OutboundQueue: a sender never waits for
// the bot, and frames leave in the order they were sent.
//
// Lifetime: made with std::make_shared by the BotApiServer, which keeps it in
// its table and is the only one to join its thread. The socket descriptor
// belongs to the outbound queue and is closed only when the queue goes, after
// the receive thread was joined, so its number is never reused while anyone
// still holds the session; close() only shuts the socket down, which also
// wakes the receive thread. The receive thread never holds a reference to
// its own session.
//
// Locks: none of its own; the queue's mutex is a leaf. The owner's token
// mutex is taken around the token look-up (see
// BotApiServer::endSessionsForToken).
//
// Errors: handlers never let an exception out of the receive thread; every
// command is answered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "botapi/BotProtocol.h"
#include "core/OutboundQueue.h"
#include "core/PerKeyLimit.h"
#include "protocol/Framer.h"
#include "protocol/MessageType.h"
#include "protocol/PacketReader.h"
#include "protocol/ResultCode.h"

namespace Korrafin {

class BotApiServer;
class CommandArgs;
class VirtualServer;

namespace DB {
class IDatabase;
}

class BotSession : public std::enable_shared_from_this<BotSession> {
public:
    // Starts a thread running the given body; throws std::system_error when
    // no thread can be started.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    // Takes ownership of the connected socket (unless it throws: then the
    // caller still owns it); `peer` is the remote address; `sendLimits`
    // bound what may wait for the bot. `owner` outlives the session's thread
    // (it joins it).
    BotSession(int fd, uint64_t sessionId, std::string peer, std::weak_ptr<VirtualServer> virtualServer,
               std::shared_ptr<DB::IDatabase> db, BotApiServer& owner, OutboundQueue::Limits sendLimits);
    // Shuts the socket down and joins the receive thread (when it was not
    // joined yet); the socket closes with the outbound queue.
    ~BotSession();

    BotSession(const BotSession&) = delete;
    BotSession& operator=(const BotSession&) = delete;

    // The places the connection holds among those waiting for their log-in
    // (by address, in all); given back at the log-in or the end. Called by
    // the accept thread before start.
    void holdWaitingPlaces(PerKeyLimit::Slot byAddress, PerKeyLimit::Slot inAll) noexcept {
        waitingByAddress_ = std::move(byAddress);
        waitingInAll_ = std::move(inAll);
    }

    // Starts the receive thread; throws what `starter` throws (the session
    // then does not run). A session that has not logged in within
    // `authDeadline` is closed. Called once, by the accept thread.
    void start(const ThreadStarter& starter, std::chrono::steady_clock::duration authDeadline);
    // Ends the session: clears running, drops what waits to be sent and
    // shuts the socket down. Any thread; idempotent; does not wait.
    void close();
    // Waits for the receive thread; a no-op on that thread itself and once
    // joined. Called by the owner only.
    void join();

    // Queues one finished frame behind those sent before and writes what the
    // socket takes now, without waiting. A failed write, a queue past its
    // bound or a bot that takes nothing for the stall time ends the session
    // (its receive thread logs why): no half frame is ever followed by
    // another, and a bot that stops reading is dropped, not waited for.
    // Nothing happens once the session is closed. Any thread.
    void send(const std::vector<uint8_t>& frame);

    uint64_t sessionId() const { return sessionId_; }
    // Neither closed nor ended by its queue.
    bool isRunning() const;
    bool isAuthenticated() const { return authenticated_.load(std::memory_order_acquire); }
    // The token row the session logged in with; 0 before.
    int64_t botId() const { return botId_.load(std::memory_order_acquire); }

private:
    void recvLoop();
    // Arms the receive time-out with what is left of the log-in deadline;
    // false once it has passed. Receive thread only.
    bool armAuthDeadline();
    void processPacket(MessageType type, const uint8_t* payload, uint32_t length);
    void handleBotAuth(PacketReader& reader);
    void handleBotCommand(PacketReader& reader);

    struct Outcome {
        ResultCode code;
        std::string text;
    };
    Outcome runCommand(uint8_t commandId, const CommandArgs& args, VirtualServer& vs);
    Outcome sendMessage(const CommandArgs& args, VirtualServer& vs);
    Outcome kickUser(const CommandArgs& args, VirtualServer& vs);
    Outcome moveUser(const CommandArgs& args, VirtualServer& vs);

    // A reply frame of `type`: u16 code, str text.
    void reply(MessageType type, ResultCode code, std::string_view text);

    const int fd_;  // owned by out_; read here by the receive thread only
    const uint64_t sessionId_;
    const std::string peer_;
    const std::weak_ptr<VirtualServer> virtualServer_;
    const std::shared_ptr<DB::IDatabase> db_;
    BotApiServer& owner_;

    // Set once by a successful log-in on the receive thread; the name and
    // permissions are read on that thread only.
    std::atomic<int64_t> botId_{0};
    std::string botName_;
    int32_t permissions_ = 0;  // stored, never consulted
    std::atomic<bool> authenticated_{false};

    std::atomic<bool> running_{false};
    std::thread recvThread_;

    // Set last in the constructor; never null after it.
    std::shared_ptr<OutboundQueue> out_;

    // Receive thread only (set by the accept thread before it starts).
    PerKeyLimit::Slot waitingByAddress_;
    PerKeyLimit::Slot waitingInAll_;
    PerKeyLimit::Slot loggedInPlace_;  // from the log-in on
    Framer framer_{BotLimits::kMaxPreAuthPayload};
    std::chrono::steady_clock::time_point authDeadline_{};
    int failedLogins_ = 0;
};

}  // namespace Korrafin
