// The outgoing side of one connection: whole packets wait here in order and
// are written as the socket takes them, without any caller ever waiting for
// the peer. A write goes straight to the socket when nothing is waiting;
// whatever the socket does not take at once stays queued and is written by
// the send poller as the socket drains. The queue is bounded: a packet that
// would take it past its limit, a socket that drains nothing for the stall
// time, a failed write or a failed allocation ends it (closed, the socket
// shut down, which also wakes the connection's reader) and names the failure.
//
// A packet may be queued as a whole snapshot under a key (a state that each
// newer packet of that key replaces whole: a channel list, the settings), or
// as an update of a key's state (a change that a client applies on top of
// the last snapshot of that key: a reorder, a message count). While the
// peer keeps up (since it last drained, its socket was not found full and
// never half the bound waited) every packet goes out exactly as queued.
// Once it is behind, an unsent snapshot stands for the newest one of its
// key: a newer snapshot refreshes in place every one of its key that waits
// unsent, and is added at the end only where none waits, or where the
// receiving session's own sequence needs one at that place (Place::Own: its
// login, its moves). An update that a snapshot written before it already
// shows is dropped, unless it is the receiver's own (Place::Own: its own
// request's answer): the snapshots before an own update keep the state
// they had when it was queued, and a newer one goes after it. So the peer
// gets every packet in order, a snapshot never comes later than its place
// nor ahead of an update to its state queued before it, everything it
// names is in the snapshot before it (unless gone since), and it ends with
// the newest of each key and its updates applied. Apart from its own
// sequence and the snapshots its own updates hold to their bytes, no more
// than one unsent snapshot of a key waits for it; of those it may hold one
// per own update, and only the byte bound limits them: a peer that keeps
// acting while it does not read is ended by it (Overflow). A packet whose
// writing has begun is completed as it was.
//
// Ownership: always made with std::make_shared; it owns the socket
// descriptor, which its destructor closes, so the poller can never write to
// a number that was reused. Non-copyable.
//
// Threads: any thread may send, enqueue, flush and close; one of them writes
// at a time (the others leave their bytes to it), and no lock is held while
// the socket is written. The mutex is a leaf: the queue calls nothing else
// while it holds it. Throws nothing: a failed allocation ends the queue.
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

struct iovec;

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

    // What a packet is to the state of a key: kNoSnapshot for any other packet.
    struct Tag {
        SnapshotKey key = kNoSnapshot;
        bool update = false;  // a change to the key's state, not a whole snapshot of it
        constexpr Tag(SnapshotKey snapshotOf = kNoSnapshot) : key(snapshotOf) {}
        static constexpr Tag updateOf(SnapshotKey k) {
            Tag t(k);
            t.update = true;
            return t;
        }
    };

    // Where a snapshot goes while one of its key waits unsent for a peer
    // that is behind, and whether an update may be dropped.
    enum class Place : uint8_t {
        Shared,  // a snapshot refreshes what waits, nothing more; an update may go
        Own,     // the receiving session's own sequence: a snapshot is also added
                 // at the end, an update is never dropped
    };

    enum class Failure : uint8_t {
        None,
        Overflow,  // a packet would have taken it past its limit
        Stalled,   // bytes waited and nothing drained for the stall time
        Broken,    // a write failed (the peer is gone)
        NoMemory,  // an allocation failed
    };

    struct Limits {
        std::size_t maxQueued;     // bytes that may wait
        Clock::duration stallAfter;
    };

    // Throws std::bad_alloc.
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
    // False when the queue is closed or has just failed. `tag` and `place`
    // as above.
    bool send(const uint8_t* data, std::size_t n, Tag tag = {}, Place place = Place::Shared);

    // Queues the packet behind what waits without writing (no system call),
    // so a caller may hold a lock that orders packets of several queues; a
    // flush must follow. False when closed or when it has just failed.
    bool enqueue(Bytes packet, Tag tag = {}, Place place = Place::Shared);

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
    // Snapshots of `key` that wait with none of their bytes written (a
    // look at the whole queue: for tests and diagnostics).
    std::size_t unsentSnapshots(SnapshotKey key) const;

    // ---- called by the poller thread ----
    // The socket takes bytes again: write on.
    void onWritable();
    // Ends the queue when bytes have waited for the stall time while neither
    // this queue nor the socket's own buffer drained.
    void checkStall(Clock::time_point now);
    uint64_t pollId() const noexcept { return pollId_; }

private:
    struct Chunk {
        enum class Kind : uint8_t {
            Plain,   // any other packet, or a keyed one whose writing has begun
            Fixed,   // an unsent snapshot queued while the peer kept up: goes as it is
            Live,    // an unsent snapshot written as the newest of its key
            Frozen,  // an unsent snapshot that an own update behind it holds to its bytes
            Update,  // an unsent update of its key's state
            Dead,    // dropped; skipped
        };
        Bytes bytes;  // Live: null until the writer takes it (then the bytes it writes)
        std::size_t offset = 0;
        SnapshotKey key = kNoSnapshot;  // all but Plain and Dead
        // Update: when it was queued. Fixed, Frozen and a Live one the writer
        // holds: when the snapshot it writes was queued.
        uint64_t seq = 0;
        Kind kind = Kind::Plain;
        bool own = false;       // placed by the receiving session's own sequence
        bool gathered = false;  // the writer's iovecs point into it: nobody else may change it
        bool pinned = false;    // Live and gathered: should it come back unwritten, it is Frozen
    };

    // What the queue knows of one key while any snapshot or update of it is
    // in the queue.
    struct KeyState {
        SnapshotKey key = kNoSnapshot;  // kNoSnapshot: a free place
        Bytes latest;                   // the newest snapshot of the key queued
        uint64_t latestSeq = 0;         // when it was queued
        std::size_t chunks = 0;         // its Fixed, Live and Frozen chunks, gathered ones included
        std::size_t updates = 0;        // its Update chunks
        std::size_t live = 0;           // its Live chunks that wait (not gathered): each counts latest's size
        std::size_t gatheredLive = 0;   // its Live chunks the writer holds
        // When the snapshot of the key the peer was last written was queued
        // (0: none since the state was made), and the same as far as the
        // writer's current gathering goes.
        uint64_t written = 0;
        uint64_t gatheredSeq = 0;
        uint64_t gathering = 0;  // the gathering gatheredSeq belongs to
        // A Live chunk added while the writer held the only other: it goes
        // should that one come back unwritten.
        Chunk* duplicate = nullptr;
        uint64_t scan = 0;  // the coalescing pass that last saw a chunk of the key
        // The coalescing pass that found an own update of the key, and the
        // place of the last one.
        uint64_t ownScan = 0;
        std::size_t lastOwn = 0;
    };

    // The key states: a few in place (the usual case: no allocation on the
    // path every broadcast takes), any more in a map. Pointers stay valid
    // until the state is released.
    class Keys {
    public:
        KeyState* find(SnapshotKey key);
        const KeyState* find(SnapshotKey key) const;
        // Throws std::bad_alloc (nothing changed then).
        KeyState& obtain(SnapshotKey key);
        // Frees the state when no chunk of its key is left.
        void releaseIfUnused(KeyState& state);
        template <class F>
        void forEach(F&& f) {
            for (auto& s : inPlace_)
                if (s.key != kNoSnapshot) f(s);
            for (auto& [k, s] : more_) f(s);
        }
        void clear();

    private:
        static constexpr std::size_t kInPlace = 4;
        std::array<KeyState, kInPlace> inPlace_{};
        std::unordered_map<SnapshotKey, KeyState> more_;
    };

    // Bytes of the chunk that wait.
    std::size_t leftOf(const Chunk& c) const;
    // Appends the packet; false (and failed) when the bound would be
    // passed. Throws std::bad_alloc before anything is changed.
    bool pushLocked(Bytes packet, Tag tag, Place place);
    bool pushUpdateLocked(Bytes packet, SnapshotKey key, Place place);
    // The part of a direct write the socket did not take, in front of what
    // others queued meanwhile (`seq`: when the send began); an untouched
    // snapshot or update stays one. Throws std::bad_alloc before anything
    // is changed.
    bool pushFrontLocked(Bytes rest, Tag tag, Place place, uint64_t seq);
    // An own update of the key follows: every unsent snapshot of it keeps
    // the bytes it would be written with now.
    void pinLocked(KeyState& ks);
    // True when `n` more bytes fit; otherwise fails the queue.
    bool fitsLocked(std::size_t n);
    // Sets the count of waiting bytes (starting the stall clock when bytes
    // begin to wait).
    void setQueuedLocked(std::size_t n);
    // The writer's loop: writes until empty, closed or full, then gives up
    // the writer's role and, when full, asks the poller to call back.
    // Needs writing_ set by the caller; returns !closed_.
    bool writeLocked(std::unique_lock<std::mutex>& lock);
    // Points the iovecs at the first chunks and marks them gathered; drops
    // the updates that a snapshot written before them already shows.
    int gatherLocked(::iovec* iov, int max);
    void consumeLocked(std::size_t n);
    // After a write: what the writer gathered and did not touch waits again
    // (a snapshot as the newest of its key).
    void releaseGatheredLocked();
    // The peer is behind: every unsent snapshot becomes the newest of its
    // key, and a later one of a key that is not the peer's own goes; those
    // before an own update of their key keep their bytes.
    void coalesceLocked();
    // A keyed chunk is begun, written or dropped: its key's counts.
    void leaveKeyLocked(Chunk& c);
    void killLocked(Chunk& c);
    void compactLocked();
    void dropAllLocked();
    void failLocked(Failure failure);
    void closeLocked();

    const int fd_;
    const Limits limits_;
    SendPoller& poller_;
    const uint64_t pollId_;

    mutable std::mutex mutex_;
    // References into a deque survive pushes at either end and pops of
    // other elements, so KeyState::duplicate may point at its chunks.
    std::deque<Chunk> chunks_;
    Keys keys_;
    std::size_t fixed_ = 0;       // Fixed chunks in chunks_
    std::size_t dead_ = 0;        // Dead chunks in chunks_
    std::size_t ownUpdates_ = 0;  // own Update chunks in chunks_
    uint64_t scans_ = 0;
    uint64_t gatherings_ = 0;
    uint64_t seqs_ = 0;  // counts what is queued with a key: a snapshot's or an update's place in time
    std::size_t queued_ = 0;
    bool writing_ = false;  // a thread is writing (outside the lock)
    bool armed_ = false;    // the socket was full; the poller calls back
    bool behind_ = false;   // the socket was found full, or half the bound waited, and the queue has not drained since
    bool closed_ = false;
    Failure failure_ = Failure::None;
    Clock::time_point lastProgress_{};  // last byte written or drained, or when bytes began to wait
    int lastUnsent_ = -1;               // the socket's unsent bytes at the last stall check; -1: none
};

}  // namespace Korrafin
