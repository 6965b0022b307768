#include "core/OutboundQueue.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/SendPoller.h"

namespace Korrafin {

namespace {

// Packets gathered into one write.
constexpr int kMaxIov = 64;
// Dead chunks a queue keeps before it considers a compaction.
constexpr std::size_t kCompactAfter = 64;

OutboundQueue::Bytes copyOf(const uint8_t* data, std::size_t n) {
    return std::make_shared<const std::vector<uint8_t>>(data, data + n);
}

// One non-blocking write; the bytes taken, or -1 with the errno in `err`.
ssize_t writeSome(int fd, iovec* iov, int count, int& err) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    for (;;) {
        const ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        err = w < 0 ? errno : 0;
        return w;
    }
}

bool full(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Bytes the socket holds that the peer has not taken yet; -1 when unknown.
int unsentInSocket(int fd) {
    int n = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &n) != 0) return -1;
    return n;
}

}  // namespace

OutboundQueue::OutboundQueue(int fd, Limits limits, SendPoller& poller)
    : fd_(fd), limits_(limits), poller_(poller), pollId_(poller.nextId()) {}

OutboundQueue::~OutboundQueue() {
    poller_.forget(pollId_, fd_);
    if (fd_ >= 0) ::close(fd_);
}

bool OutboundQueue::send(const uint8_t* data, std::size_t n, Tag tag, Place place) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (n == 0) return true;
    if (writing_ || armed_ || queued_ > 0) {
        // Behind what waits. An active writer or the poller takes it on;
        // otherwise bytes were enqueued and not yet flushed: write them now.
        try {
            if (!pushLocked(copyOf(data, n), tag, place)) return false;
        } catch (const std::bad_alloc&) {
            failLocked(Failure::NoMemory);
            return false;
        }
        if (writing_ || armed_) return true;
        writing_ = true;
        return writeLocked(lock);
    }

    // Nothing waits: straight from the caller's bytes, copying only what the
    // socket does not take. Whatever others queue meanwhile comes after it.
    const uint64_t seq = tag.key != kNoSnapshot ? ++seqs_ : 0;
    writing_ = true;
    lock.unlock();
    iovec iov{const_cast<uint8_t*>(data), n};
    int err = 0;
    const ssize_t w = writeSome(fd_, &iov, 1, err);
    lock.lock();
    const std::size_t taken = w > 0 ? static_cast<std::size_t>(w) : 0;
    if (taken > 0) lastProgress_ = Clock::now();
    if (w < 0 && !full(err)) {
        failLocked(Failure::Broken);
    } else if (taken < n && !closed_) {
        // In front of whatever other threads queued meanwhile. Begun, it is
        // completed; untouched, it is still a snapshot like any other.
        try {
            pushFrontLocked(copyOf(data + taken, n - taken), taken == 0 ? tag : Tag{}, place, seq);
        } catch (const std::bad_alloc&) {
            failLocked(Failure::NoMemory);
        }
    }
    return writeLocked(lock);
}

bool OutboundQueue::enqueue(Bytes packet, Tag tag, Place place) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (!packet || packet->empty()) return true;
    try {
        return pushLocked(std::move(packet), tag, place);
    } catch (const std::bad_alloc&) {
        failLocked(Failure::NoMemory);
        return false;
    }
}

void OutboundQueue::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (writing_ || armed_ || closed_ || queued_ == 0) return;
    writing_ = true;
    writeLocked(lock);
}

void OutboundQueue::onWritable() {
    std::unique_lock<std::mutex> lock(mutex_);
    armed_ = false;
    // A writer that is busy re-arms if it finds the socket full again.
    if (writing_ || closed_) return;
    writing_ = true;
    writeLocked(lock);
}

void OutboundQueue::checkStall(Clock::time_point now) {
    // Outside the lock: a system call, though not a write.
    const int unsent = unsentInSocket(fd_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queued_ == 0) return;
    // A large send buffer reports the socket writable only once a third of
    // it is free; until then a peer that reads slowly but steadily shows in
    // the socket's unsent bytes, which fall.
    if (unsent >= 0 && lastUnsent_ >= 0 && unsent < lastUnsent_) lastProgress_ = now;
    lastUnsent_ = unsent;
    if (now - lastProgress_ >= limits_.stallAfter) failLocked(Failure::Stalled);
}

void OutboundQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closeLocked();
}

bool OutboundQueue::isClosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

OutboundQueue::Failure OutboundQueue::failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

std::size_t OutboundQueue::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_;
}

std::size_t OutboundQueue::unsentSnapshots(SnapshotKey key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const Chunk& c : chunks_) {
        const bool snapshot =
            c.kind == Chunk::Kind::Fixed || c.kind == Chunk::Kind::Live || c.kind == Chunk::Kind::Frozen;
        if (snapshot && c.key == key && c.offset == 0) ++n;
    }
    return n;
}

// ---------------------------------------------------------------- queueing

std::size_t OutboundQueue::leftOf(const Chunk& c) const {
    if (c.kind == Chunk::Kind::Dead) return 0;
    if (c.bytes) return c.bytes->size() - c.offset;
    return keys_.find(c.key)->latest->size();  // Live, waiting
}

bool OutboundQueue::fitsLocked(std::size_t n) {
    if (n <= limits_.maxQueued - queued_) return true;
    failLocked(Failure::Overflow);
    return false;
}

void OutboundQueue::setQueuedLocked(std::size_t n) {
    if (queued_ == 0 && n > 0) {
        // The stall clock runs from when bytes begin to wait.
        lastProgress_ = Clock::now();
        lastUnsent_ = -1;
    }
    queued_ = n;
}

bool OutboundQueue::pushLocked(Bytes packet, Tag tag, Place place) {
    const std::size_t n = packet->size();
    if (tag.key == kNoSnapshot) {
        if (!fitsLocked(n)) return false;
        chunks_.push_back(Chunk{std::move(packet)});
        setQueuedLocked(queued_ + n);
        return true;
    }
    if (tag.update) return pushUpdateLocked(std::move(packet), tag.key, place);

    const SnapshotKey key = tag.key;
    KeyState& ks = keys_.obtain(key);
    // Half the bound waiting is behind too, whether or not the socket was
    // found full yet (say its writer is held up): snapshots that pile up
    // are better coalesced than the client dropped at the bound.
    if (queued_ + n > limits_.maxQueued / 2) behind_ = true;
    // While the peer keeps up, a snapshot goes as it is, in its place; once
    // it is behind, what waits of the key is written as the newest.
    const bool keepsUp = !behind_;
    const bool add = keepsUp || place == Place::Own || ks.live == 0;
    const std::size_t oldSize = ks.latest ? ks.latest->size() : 0;
    const std::size_t others = queued_ - ks.live * oldSize;
    const std::size_t after = ks.live * n + (add ? n : 0);
    if (after > limits_.maxQueued - others) {
        keys_.releaseIfUnused(ks);
        failLocked(Failure::Overflow);
        return false;
    }
    const uint64_t seq = ++seqs_;
    if (add) {
        Chunk c;
        c.key = key;
        c.own = place == Place::Own;
        c.kind = keepsUp ? Chunk::Kind::Fixed : Chunk::Kind::Live;
        if (keepsUp) {
            c.bytes = packet;
            c.seq = seq;
        }
        try {
            chunks_.push_back(std::move(c));
        } catch (...) {
            keys_.releaseIfUnused(ks);
            throw;
        }
        Chunk& placed = chunks_.back();
        ++ks.chunks;
        if (keepsUp) {
            ++fixed_;
        } else {
            ++ks.live;
            // The writer holds the only other Live one: should it come back
            // unwritten, it stands for this one.
            if (!placed.own && ks.gatheredLive > 0) ks.duplicate = &placed;
        }
    }
    // The updates queued behind a refreshed one are dropped when the writer
    // comes to them: the newer snapshot already shows them.
    ks.latest = std::move(packet);
    ks.latestSeq = seq;
    setQueuedLocked(others + after);
    return true;
}

bool OutboundQueue::pushUpdateLocked(Bytes packet, SnapshotKey key, Place place) {
    const std::size_t n = packet->size();
    if (!fitsLocked(n)) return false;
    KeyState& ks = keys_.obtain(key);
    Chunk c{std::move(packet)};
    c.key = key;
    c.kind = Chunk::Kind::Update;
    c.own = place == Place::Own;
    c.seq = ++seqs_;
    try {
        chunks_.push_back(std::move(c));
    } catch (...) {
        keys_.releaseIfUnused(ks);
        throw;
    }
    ++ks.updates;
    if (place == Place::Own) {
        ++ownUpdates_;
        // Never dropped: nothing before it may show a newer state than the
        // one it was made on.
        pinLocked(ks);
    }
    setQueuedLocked(queued_ + n);
    return true;
}

void OutboundQueue::pinLocked(KeyState& ks) {
    ks.duplicate = nullptr;
    if (ks.live == 0 && ks.gatheredLive == 0) return;
    // Rare (a client's own request while it is behind) and bounded by what waits.
    for (Chunk& c : chunks_) {
        if (c.kind != Chunk::Kind::Live || c.key != ks.key) continue;
        if (c.gathered) {
            c.pinned = true;
            continue;
        }
        c.bytes = ks.latest;
        c.seq = ks.latestSeq;
        c.kind = Chunk::Kind::Frozen;
        --ks.live;
    }
}

bool OutboundQueue::pushFrontLocked(Bytes rest, Tag tag, Place place, uint64_t seq) {
    const std::size_t n = rest->size();
    if (!fitsLocked(n)) return false;
    if (tag.key == kNoSnapshot) {
        chunks_.push_front(Chunk{std::move(rest)});
        setQueuedLocked(queued_ + n);
        return true;
    }
    KeyState& ks = keys_.obtain(tag.key);
    Chunk c;
    c.key = tag.key;
    c.own = place == Place::Own;
    c.kind = tag.update ? Chunk::Kind::Update : Chunk::Kind::Fixed;
    c.bytes = rest;
    c.seq = seq;
    try {
        chunks_.push_front(std::move(c));
    } catch (...) {
        keys_.releaseIfUnused(ks);
        throw;
    }
    if (tag.update) {
        ++ks.updates;
        if (place == Place::Own) ++ownUpdates_;
    } else {
        ++ks.chunks;
        ++fixed_;
        // Those queued meanwhile are newer.
        if (!ks.latest) {
            ks.latest = std::move(rest);
            ks.latestSeq = seq;
        }
    }
    setQueuedLocked(queued_ + n);
    return true;
}

// ---------------------------------------------------------------- writing

bool OutboundQueue::writeLocked(std::unique_lock<std::mutex>& lock) {
    bool socketFull = false;
    while (!closed_ && queued_ > 0) {
        // Only the writer writes or takes chunks from the front, and no
        // chunk it gathered is dropped or changed by others: the bytes
        // gathered here stay put while the lock is let go.
        iovec iov[kMaxIov];
        const int count = gatherLocked(iov, kMaxIov);
        // All that waited were updates a written snapshot already shows.
        if (count == 0) break;
        lock.unlock();
        int err = 0;
        const ssize_t w = writeSome(fd_, iov, count, err);
        lock.lock();
        if (closed_) break;
        if (w > 0) {
            consumeLocked(static_cast<std::size_t>(w));
            lastProgress_ = Clock::now();
        }
        releaseGatheredLocked();
        if (w < 0 && full(err)) {
            socketFull = true;
            break;
        }
        if (w <= 0) failLocked(Failure::Broken);
    }
    if (socketFull && !closed_) {
        behind_ = true;
        coalesceLocked();
    }
    if (closed_) {
        dropAllLocked();
    } else {
        compactLocked();
        // Drained: from here on packets go as queued again.
        if (queued_ == 0) behind_ = false;
    }
    writing_ = false;
    const bool arm = socketFull && !closed_ && !armed_;
    if (arm) armed_ = true;
    const bool open = !closed_;
    if (arm) {
        lock.unlock();
        Failure why = Failure::Broken;
        bool watched = false;
        try {
            watched = poller_.arm(shared_from_this());
        } catch (const std::bad_alloc&) {
            why = Failure::NoMemory;
        }
        if (!watched) {
            // Nobody would ever write on: the connection ends. (A writer
            // that has come in meanwhile drops what waits when it is done.)
            lock.lock();
            armed_ = false;
            failLocked(why);
            return false;
        }
    }
    return open;
}

int OutboundQueue::gatherLocked(iovec* iov, int max) {
    const uint64_t gathering = ++gatherings_;
    // What the peer will hold of a key once everything gathered before the
    // chunk at hand is written.
    const auto shows = [gathering](const KeyState& ks) {
        return ks.gathering == gathering ? ks.gatheredSeq : ks.written;
    };
    const auto willShow = [gathering](KeyState& ks, uint64_t seq) {
        ks.gathering = gathering;
        ks.gatheredSeq = seq;
    };
    int count = 0;
    for (auto it = chunks_.begin(); it != chunks_.end() && count < max; ++it) {
        Chunk& c = *it;
        switch (c.kind) {
            case Chunk::Kind::Dead:
                continue;
            case Chunk::Kind::Update: {
                KeyState& ks = *keys_.find(c.key);
                // A snapshot before it, queued after it, already shows it.
                if (!c.own && shows(ks) > c.seq) {
                    killLocked(c);
                    continue;
                }
                break;
            }
            case Chunk::Kind::Live: {
                // Written as the newest of its key.
                KeyState& ks = *keys_.find(c.key);
                c.bytes = ks.latest;
                c.seq = ks.latestSeq;
                --ks.live;
                ++ks.gatheredLive;
                willShow(ks, c.seq);
                break;
            }
            case Chunk::Kind::Fixed:
            case Chunk::Kind::Frozen:
                willShow(*keys_.find(c.key), c.seq);
                break;
            case Chunk::Kind::Plain:
                break;
        }
        c.gathered = true;
        iov[count].iov_base = const_cast<uint8_t*>(c.bytes->data() + c.offset);
        iov[count].iov_len = c.bytes->size() - c.offset;
        ++count;
    }
    return count;
}

void OutboundQueue::consumeLocked(std::size_t n) {
    while (!chunks_.empty()) {
        Chunk& front = chunks_.front();
        if (front.kind == Chunk::Kind::Dead) {
            chunks_.pop_front();
            --dead_;
            continue;
        }
        if (n == 0) return;
        const std::size_t left = front.bytes->size() - front.offset;
        // A snapshot begun is what the peer holds of its key.
        if (front.kind != Chunk::Kind::Plain && front.kind != Chunk::Kind::Update)
            keys_.find(front.key)->written = front.seq;
        if (n < left) {
            front.offset += n;
            queued_ -= n;
            // Begun: it is completed as it is.
            if (front.kind != Chunk::Kind::Plain) leaveKeyLocked(front);
            return;
        }
        n -= left;
        queued_ -= left;
        if (front.kind != Chunk::Kind::Plain) leaveKeyLocked(front);
        chunks_.pop_front();
    }
}

void OutboundQueue::releaseGatheredLocked() {
    // What was gathered is the front of the chunks that are not dead.
    for (Chunk& c : chunks_) {
        if (c.kind == Chunk::Kind::Dead) continue;
        if (!c.gathered) break;
        c.gathered = false;
        if (c.kind != Chunk::Kind::Live) continue;
        KeyState& ks = *keys_.find(c.key);
        --ks.gatheredLive;
        if (c.pinned) {
            // An own update of its key came behind it: it keeps what it held.
            c.pinned = false;
            c.kind = Chunk::Kind::Frozen;
            continue;
        }
        // Untouched (a begun one is Plain by now): it waits again as the
        // newest of its key, and one added for that while it was held goes.
        ++ks.live;
        queued_ = queued_ - c.bytes->size() + ks.latest->size();
        c.bytes.reset();
        if (ks.duplicate) {
            killLocked(*ks.duplicate);
            ks.duplicate = nullptr;
        }
    }
    // Added while the one it duplicated was written: it stays.
    keys_.forEach([](KeyState& ks) { ks.duplicate = nullptr; });
    if (queued_ > limits_.maxQueued) failLocked(Failure::Overflow);
}

void OutboundQueue::coalesceLocked() {
    // Only what was queued while the peer kept up (a bounded few, as they
    // were flushed at once) is Fixed; the scan is for them.
    if (fixed_ == 0) return;
    const uint64_t scan = ++scans_;
    if (ownUpdates_ > 0) {
        // A snapshot before an own update of its key keeps its bytes.
        std::size_t i = 0;
        for (const Chunk& c : chunks_) {
            if (c.kind == Chunk::Kind::Update && c.own) {
                KeyState& ks = *keys_.find(c.key);
                ks.ownScan = scan;
                ks.lastOwn = i;
            }
            ++i;
        }
    }
    std::size_t i = 0;
    for (Chunk& c : chunks_) {
        const std::size_t at = i++;
        if (c.kind != Chunk::Kind::Fixed && c.kind != Chunk::Kind::Live) continue;
        KeyState& ks = *keys_.find(c.key);
        if (c.kind == Chunk::Kind::Fixed && ks.ownScan == scan && at < ks.lastOwn) {
            c.kind = Chunk::Kind::Frozen;
            --fixed_;
            continue;
        }
        const bool earlier = ks.scan == scan;
        ks.scan = scan;
        if (earlier && !c.own) {
            // The earlier one stands for it.
            killLocked(c);
            continue;
        }
        if (c.kind == Chunk::Kind::Fixed) {
            queued_ = queued_ - c.bytes->size() + ks.latest->size();
            c.bytes.reset();
            c.kind = Chunk::Kind::Live;
            --fixed_;
            ++ks.live;
        }
    }
    if (queued_ > limits_.maxQueued) failLocked(Failure::Overflow);
}

void OutboundQueue::leaveKeyLocked(Chunk& c) {
    KeyState& ks = *keys_.find(c.key);
    switch (c.kind) {
        case Chunk::Kind::Update:
            --ks.updates;
            if (c.own) --ownUpdates_;
            break;
        case Chunk::Kind::Fixed:
            --fixed_;
            --ks.chunks;
            break;
        case Chunk::Kind::Live:
            if (c.gathered) {
                --ks.gatheredLive;
            } else {
                --ks.live;
            }
            --ks.chunks;
            break;
        default:  // Frozen
            --ks.chunks;
            break;
    }
    c.kind = Chunk::Kind::Plain;
    c.key = kNoSnapshot;
    keys_.releaseIfUnused(ks);
}

void OutboundQueue::killLocked(Chunk& c) {
    queued_ -= leftOf(c);
    leaveKeyLocked(c);
    c.bytes.reset();
    c.kind = Chunk::Kind::Dead;
    ++dead_;
}

void OutboundQueue::compactLocked() {
    while (!chunks_.empty() && chunks_.back().kind == Chunk::Kind::Dead) {
        chunks_.pop_back();
        --dead_;
    }
    // Dead chunks of several keys could pile up between the live ones; once
    // they are the most, they go in one pass. Nothing points at a chunk
    // outside a write.
    if (dead_ <= kCompactAfter || dead_ * 2 <= chunks_.size()) return;
    std::erase_if(chunks_, [](const Chunk& c) { return c.kind == Chunk::Kind::Dead; });
    dead_ = 0;
}

void OutboundQueue::dropAllLocked() {
    chunks_.clear();
    keys_.clear();
    fixed_ = 0;
    dead_ = 0;
    ownUpdates_ = 0;
    queued_ = 0;
    behind_ = false;
}

void OutboundQueue::failLocked(Failure failure) {
    if (closed_) return;
    failure_ = failure;
    closeLocked();
}

void OutboundQueue::closeLocked() {
    if (closed_) return;
    closed_ = true;
    // A writer that is busy drops what waits when it comes back.
    if (!writing_) dropAllLocked();
    // Wakes the connection's reader; the descriptor stays open until the destructor.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

// ---------------------------------------------------------------- key states

OutboundQueue::KeyState* OutboundQueue::Keys::find(SnapshotKey key) {
    return const_cast<KeyState*>(std::as_const(*this).find(key));
}

const OutboundQueue::KeyState* OutboundQueue::Keys::find(SnapshotKey key) const {
    for (const auto& s : inPlace_)
        if (s.key == key) return &s;
    if (more_.empty()) return nullptr;
    const auto it = more_.find(key);
    return it == more_.end() ? nullptr : &it->second;
}

OutboundQueue::KeyState& OutboundQueue::Keys::obtain(SnapshotKey key) {
    if (KeyState* s = find(key)) return *s;
    for (auto& s : inPlace_) {
        if (s.key == kNoSnapshot) {
            s.key = key;
            return s;
        }
    }
    KeyState& s = more_[key];
    s.key = key;
    return s;
}

void OutboundQueue::Keys::releaseIfUnused(KeyState& state) {
    if (state.chunks > 0 || state.updates > 0) return;
    const SnapshotKey key = state.key;
    for (auto& s : inPlace_) {
        if (&s == &state) {
            s = KeyState{};
            return;
        }
    }
    more_.erase(key);
}

void OutboundQueue::Keys::clear() {
    inPlace_.fill(KeyState{});
    more_.clear();
}

}  // namespace Korrafin
