// The outgoing side of one connection: whole packets wait here in order and
// are written as the socket takes them, without any caller ever waiting for
// the peer. A write goes straight to the socket when nothing is waiting;
// whatever the socket does not take at once stays queued and is written by
// the send poller as the socket drains. The queue is bounded: a packet that
// would take it past its limit, a socket that takes no byte for the stall
// time, or a failed write ends it (closed, the socket shut down, which also
// wakes the connection's reader) and names the failure.
//
// A packet may be queued as a whole snapshot under a key (a state that each
// newer packet of that key replaces whole). A snapshot none of whose bytes
// has been written is dropped when a newer one of its key is queued, and the
// newer one goes at the end, behind what was queued meanwhile: the peer
// still gets every change in order and ends with the newest snapshot, and
// the queue never holds more than one unsent snapshot of a key. One that is
// being written is completed. The one exception: snapshots enqueued in one
// batch (one change's announcements, for one flush) all go out while the
// queue does not wait for its peer (its socket was not found full and no
// write is under way).
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

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Korrafin {

class SendPoller;

class OutboundQueue : public std::enable_shared_from_this<OutboundQueue> {
public:
    using Clock = std::chrono::steady_clock;
    // A finished packet that any number of queues may hold at once.
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    // What a packet is a whole snapshot of; kNoSnapshot for any other packet.
    using SnapshotKey = uint32_t;
    static constexpr SnapshotKey kNoSnapshot = 0;
    // Packets enqueued together for one flush; kOwnBatch: a batch of its own.
    using Batch = uint64_t;
    static constexpr Batch kOwnBatch = 0;

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
    // False when the queue is closed or has just failed. A snapshot `key`
    // replaces an unsent older snapshot of that key (see above).
    bool send(const uint8_t* data, std::size_t n, SnapshotKey key = kNoSnapshot);

    // Queues the packet behind what waits without writing (no system call),
    // so a caller may hold a lock that orders packets of several queues; a
    // flush must follow. False when closed or when the bound is passed (then
    // the queue has failed). `key` as for send, `batch` as above; the
    // replaced snapshot's bytes no longer count against the bound.
    bool enqueue(Bytes packet, SnapshotKey key = kNoSnapshot, Batch batch = kOwnBatch);

    // Writes what the socket takes now; the rest is the poller's.
    void flush();

    // Ends the queue: nothing more is written, what waits is dropped, and the
    // socket is shut down (the descriptor stays open until the destructor).
    // Idempotent.
    void close();

    bool isClosed() const;
    Failure failure() const;
    // Bytes that wait to be written.
    std::size_t queued() const;

    // ---- called by the poller thread ----
    // The socket takes bytes again: write on.
    void onWritable();
    // Ends the queue when bytes have waited without progress for the stall time.
    void checkStall(Clock::time_point now);
    uint64_t pollId() const noexcept { return pollId_; }

private:
    struct Chunk {
        Bytes bytes;  // null: a tombstone, a snapshot replaced before any byte of it was written
        std::size_t offset = 0;
        SnapshotKey key = kNoSnapshot;
        Batch batch = kOwnBatch;
        bool gathered = false;  // the writer's iovecs point into it: nobody else may drop it
        std::size_t left() const { return bytes ? bytes->size() - offset : 0; }
    };

    // The newest snapshot of each key in the queue: a few keys in place (the
    // usual case: no allocation on the path every broadcast takes), any
    // more in a map.
    class PendingSnapshots {
    public:
        Chunk* find(SnapshotKey key) const;  // null when none
        void set(SnapshotKey key, Chunk* chunk);
        void erase(SnapshotKey key);
        void clear();

    private:
        static constexpr std::size_t kInPlace = 4;
        std::array<std::pair<SnapshotKey, Chunk*>, kInPlace> inPlace_{};  // kNoSnapshot: a free place
        std::unordered_map<SnapshotKey, Chunk*> more_;
    };

    // Appends (or, for the writer's own remainder, puts in front); false and
    // failed when the bound would be passed. A snapshot replaces the unsent
    // one of its key (see above); the writer's remainder is dropped when a
    // newer snapshot of its key waits already.
    bool pushLocked(Chunk chunk, bool front);
    // Turns an older snapshot into a tombstone (or drops it from the back),
    // unless the writer has gathered it or written part of it.
    void retireLocked(Chunk& older);
    // Drops the tombstones when they are most of the queue.
    void compactLocked();
    // The writer's loop: writes until empty, closed or full, then gives up
    // the writer's role and, when full, asks the poller to call back.
    // Needs writing_ set by the caller; returns !closed_.
    bool writeLocked(std::unique_lock<std::mutex>& lock);
    void consumeLocked(std::size_t n);
    // After a write: what the writer gathered and did not finish may be
    // replaced again; an unwritten snapshot that a newer one superseded
    // meanwhile goes now.
    void releaseGatheredLocked();
    void dropAllLocked();
    void failLocked(Failure failure);
    void closeLocked();

    const int fd_;
    const Limits limits_;
    SendPoller& poller_;
    const uint64_t pollId_;

    mutable std::mutex mutex_;
    // References into a deque survive pushes at either end and pops of
    // other elements, so pending_ may point at its chunks.
    std::deque<Chunk> chunks_;
    PendingSnapshots pending_;
    std::size_t tombstones_ = 0;  // tombstones in chunks_
    std::size_t queued_ = 0;
    bool writing_ = false;  // a thread is writing (outside the lock)
    bool armed_ = false;    // the socket was full; the poller calls back
    bool closed_ = false;
    Failure failure_ = Failure::None;
    Clock::time_point lastProgress_{};  // last byte written, or when bytes began to wait
};

}  // namespace Korrafin
