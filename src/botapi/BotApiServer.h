// The bot API service: a TCP listener on the client framing, one BotSession
// per accepted connection, and the fan-out of the events the virtual servers
// raise (it is the BotEventSink they are attached to). One per process, owned
// by the host; never copied.
//
// Threads: the accept thread (accepts, and reaps sessions whose receive loop
// has ended); one receive thread per session; event entry points run on the
// thread that raised the event; endSessionsForToken on any thread; start,
// stop and the destructor on the owner's thread.
//
// Locks: tokenMutex_ -> sessionsMutex_; sessionsMutex_ guards the table only
// and is never held while sending to a bot or waiting for a thread (events
// are sent to a snapshot). Sending never waits for a bot: what a bot does
// not take at once waits in its session's queue.
//
// Bounds: connections waiting for their log-in at most
// BotLimits::kMaxWaitingPerAddress per remote address and kMaxWaiting in all,
// and apart from them at most kMaxSessions logged-in bots (more are closed
// at accept, or when they present their token; refusals are logged at most
// once a second); each with at most sendLimits waiting to be sent; a
// connection that cannot get a thread is closed; accepting backs off while
// descriptors or memory run out. What strangers make the log say (connect,
// failed log-in, disconnect) passes a bound per address and in all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "botapi/BotProtocol.h"
#include "botapi/BotSession.h"
#include "core/LogThrottle.h"
#include "core/PerKeyLimit.h"
#include "vserver/EventSinks.h"

namespace Korrafin {

class VirtualServer;

namespace DB {
class IDatabase;
}

class BotApiServer final : public BotEventSink {
public:
    explicit BotApiServer(uint16_t port);
    // Stops (closing every connection and joining every thread); the
    // database goes with the members.
    ~BotApiServer() override;

    BotApiServer(const BotApiServer&) = delete;
    BotApiServer& operator=(const BotApiServer&) = delete;

    // Set by the host before start. Commands act on `virtualServer` while it
    // exists; bot tokens are looked up in `db`.
    std::weak_ptr<VirtualServer> virtualServer;
    std::shared_ptr<DB::IDatabase> db;
    // How long a connection may take to log in; tests shorten it.
    std::chrono::steady_clock::duration authDeadline = BotLimits::kAuthDeadline;
    // What may wait to be sent to one bot, and how long it may take no byte
    // while frames wait, before it is dropped; tests shrink them.
    OutboundQueue::Limits sendLimits{BotLimits::kMaxQueuedBytes, BotLimits::kStallTimeout};
    // How sessions get their receive threads; tests make it fail.
    BotSession::ThreadStarter startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };

    // Opens the listener and starts the accept thread; false (with its ERROR
    // line) when the listener cannot be opened. Called once.
    bool start();
    // Closes the listener, ends every session and joins every thread.
    // Idempotent; a second caller waits for the first.
    void stop();

    uint16_t port() const { return port_; }
    // Connections in the table, ended ones not yet reaped included.
    std::size_t sessionCount() const;

    // Ends every session that logged in with the token row `tokenId`: they
    // run no further command and get no further event; their sockets close
    // once the accept thread has reaped them. Any thread; does not wait.
    void endSessionsForToken(int64_t tokenId);

    // Sends an event to every logged-in bot: the frame is built once, the
    // table is copied under its mutex and written to after it is released.
    void broadcastEvent(BotEventType type, const std::string& json);

    void onUserJoin(uint32_t clientId, const std::string& nickname, uint16_t channelId) override;
    void onUserLeave(uint32_t clientId, const std::string& nickname) override;
    void onChatMessage(uint32_t clientId, const std::string& nickname, const std::string& text) override;
    void onChannelCreated(uint16_t channelId, const std::string& name, uint16_t parentId) override;
    void onChannelDeleted(uint16_t channelId) override;
    void onUserMoved(uint32_t clientId, uint16_t fromChannel, uint16_t toChannel) override;

private:
    friend class BotSession;

    void acceptLoop();
    // Takes the accepted socket into a new session, or closes it.
    void admit(int fd, const std::string& peer);
    // A logged-in place for a session whose token was found; empty when
    // every place is taken. Any thread.
    PerKeyLimit::Slot takeLoggedInPlace();
    // Logs (at most once a second) that a bot was refused for want of a
    // logged-in place. Any thread.
    void refusedForLoggedIn();
    // Called by a session's receive thread as its last act: the accept
    // thread reaps it (joins its thread, drops it).
    void sessionEnded(uint64_t sessionId);
    // Joins and drops the sessions whose loops have ended. Accept thread.
    void reapEnded();
    void wakeAcceptor() const;

    static constexpr const char* kConnectionLines = "[BotAPI] Connection lines";
    static constexpr const char* kRefusals = "[BotAPI] Connection refusals";

    const uint16_t port_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // an eventfd: a session ended, or stop
    std::atomic<bool> running_{false};
    std::thread acceptThread_;

    // Held by a session from its token look-up until it counts as logged
    // in, and by endSessionsForToken while it looks for sessions.
    std::mutex tokenMutex_;

    mutable std::mutex sessionsMutex_;
    std::unordered_map<uint64_t, std::shared_ptr<BotSession>> sessions_;  // sessionsMutex_
    std::vector<uint64_t> ended_;                                         // sessionsMutex_
    std::atomic<uint64_t> nextSessionId_{1};

    std::mutex stopMutex_;

    // Places of the connections waiting for their log-in, by remote address
    // and in all (under one key), and of the logged-in bots (one key).
    PerKeyLimit waitingPerAddress_{BotLimits::kMaxWaitingPerAddress};
    PerKeyLimit waitingInAll_{BotLimits::kMaxWaiting};
    PerKeyLimit loggedIn_{BotLimits::kMaxSessions};
    LogThrottle refusals_{1};
    // Connect, failed log-in and disconnect lines of sessions that have not
    // logged in, by remote address.
    LogThrottle connectionLines_{BotLimits::kLogLinesInAll, BotLimits::kLogLinesPerAddress};
};

}  // namespace Korrafin
