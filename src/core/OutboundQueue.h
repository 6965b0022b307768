// The outgoing side of one connection: whole packets wait here in order and
// are written as the socket takes them, without any caller ever waiting for
// the peer. A write goes straight to the socket when nothing is waiting;
// whatever the socket does not take at once stays queued and is written by
// the send poller as the socket drains. The queue is bounded: a packet that
// would take it past its limit, a socket that takes no byte for the stall
// time, or a failed write ends it (closed, the socket shut down, which also
// wakes the connection's reader) and names the failure.
//
// Ownership: always made with std::make_shared; it owns the socket
// descriptor, which its destructor closes, so the poller can never write to
// a number that was reused. Non-copyable.
//
// Threads: any thread may send, enqueue, flush and close; one of them writes
// at a time (the others leave their bytes to it), and no lock is held while
// the socket is written. The mutex is a leaf: the queue calls nothing else
// while it holds it. Throws only std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace Korrafin {

class SendPoller;

class OutboundQueue : public std::enable_shared_from_this<OutboundQueue> {
public:
    using Clock = std::chrono::steady_clock;
    // A finished packet that any number of queues may hold at once.
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    enum class Failure : uint8_t {
        None,
        Overflow,  // a packet would have taken it past its limit
        Stalled,   // bytes waited and the socket took none for the stall time
        Broken,    // a write failed (the peer is gone)
    };

    struct Limits {
        std::size_t maxQueued;     // bytes that may wait
        Clock::duration stallAfter;
    };

    static Bytes share(std::vector<uint8_t> packet) {
        return std::make_shared<const std::vector<uint8_t>>(std::move(packet));
    }

    // Takes ownership of the connected socket `fd` (-1: every write fails).
    OutboundQueue(int fd, Limits limits, SendPoller& poller);
    // Forgets the poller's watch, then closes the socket.
    ~OutboundQueue();

    OutboundQueue(const OutboundQueue&) = delete;
    OutboundQueue& operator=(const OutboundQueue&) = delete;

    int fd() const noexcept { return fd_; }

    // Queues the packet behind what waits and writes what the socket takes
    // now; the bytes are written from `data` itself when nothing waits.
    // False when the queue is closed or has just failed.
    bool send(const uint8_t* data, std::size_t n);

    // Queues the packet behind what waits without writing (no system call),
    // so a caller may hold a lock that orders packets of several queues; a
    // flush must follow. False when closed or when the bound is passed (then
    // the queue has failed).
    bool enqueue(Bytes packet);

    // Writes what the socket takes now; the rest is the poller's.
    void flush();

    // Ends the queue: nothing more is written, what waits is dropped, and the
    // socket is shut down (the descriptor stays open until the destructor).
    // Idempotent.
    void close();

    bool isClosed() const;
    Failure failure() const;
    std::size_t queued() const;

    // ---- called by the poller thread ----
    // The socket takes bytes again: write on.
    void onWritable();
    // Ends the queue when bytes have waited without progress for the stall time.
    void checkStall(Clock::time_point now);
    uint64_t pollId() const noexcept { return pollId_; }

private:
    struct Chunk {
        Bytes bytes;
        std::size_t offset = 0;
    };

    // Appends (or, for the writer's own remainder, puts in front); false and
    // failed when the bound would be passed.
    bool pushLocked(Chunk chunk, bool front);
    // The writer's loop: writes until empty, closed or full, then gives up
    // the writer's role and, when full, asks the poller to call back.
    // Needs writing_ set by the caller; returns !closed_.
    bool writeLocked(std::unique_lock<std::mutex>& lock);
    void consumeLocked(std::size_t n);
    void failLocked(Failure failure);
    void closeLocked();

    const int fd_;
    const Limits limits_;
    SendPoller& poller_;
    const uint64_t pollId_;

    mutable std::mutex mutex_;
    std::deque<Chunk> chunks_;
    std::size_t queued_ = 0;
    bool writing_ = false;  // a thread is writing (outside the lock)
    bool armed_ = false;    // the socket was full; the poller calls back
    bool closed_ = false;
    Failure failure_ = Failure::None;
    Clock::time_point lastProgress_{};  // last byte written, or when bytes began to wait
};

}  // namespace Korrafin
