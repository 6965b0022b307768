#include "core/OutboundQueue.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "core/SendPoller.h"

namespace Korrafin {

namespace {

// Packets gathered into one write.
constexpr int kMaxIov = 64;
// Tombstones a queue keeps before it considers a compaction.
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

}  // namespace

OutboundQueue::OutboundQueue(int fd, Limits limits, SendPoller& poller)
    : fd_(fd), limits_(limits), poller_(poller), pollId_(poller.nextId()) {}

OutboundQueue::~OutboundQueue() {
    poller_.forget(pollId_, fd_);
    if (fd_ >= 0) ::close(fd_);
}

bool OutboundQueue::send(const uint8_t* data, std::size_t n, SnapshotKey key) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (n == 0) return true;
    if (writing_ || armed_ || queued_ > 0) {
        // Behind what waits. An active writer or the poller takes it on;
        // otherwise bytes were enqueued and not yet flushed: write them now.
        if (!pushLocked(Chunk{copyOf(data, n), 0, key}, false)) return false;
        if (writing_ || armed_) return true;
        writing_ = true;
        return writeLocked(lock);
    }

    // Nothing waits: straight from the caller's bytes, copying only what the
    // socket does not take.
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
        pushLocked(Chunk{copyOf(data + taken, n - taken), 0, taken == 0 ? key : kNoSnapshot}, true);
    }
    return writeLocked(lock);
}

bool OutboundQueue::enqueue(Bytes packet, SnapshotKey key, Batch batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (!packet || packet->empty()) return true;
    return pushLocked(Chunk{std::move(packet), 0, key, batch}, false);
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queued_ == 0) return;
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

bool OutboundQueue::pushLocked(Chunk chunk, bool front) {
    // The stall clock runs from when bytes begin to wait; replacing a
    // snapshot that waits is no progress.
    const bool wasIdle = queued_ == 0;
    if (chunk.key != kNoSnapshot) {
        if (Chunk* const waiting = pending_.find(chunk.key)) {
            // A snapshot waits already. In front, this is the writer's own
            // packet that the full socket did not take, older than the one
            // queued meanwhile: it goes. Behind, the older one goes unless
            // both belong to the batch that the caller's flush is about to
            // write (and no peer holds it up).
            if (front) return true;
            Chunk& older = *waiting;
            pending_.erase(chunk.key);
            const bool oneBatch = older.batch != kOwnBatch && older.batch == chunk.batch;
            if (armed_ || writing_ || !oneBatch) {
                retireLocked(older);
                compactLocked();
            }
        }
    }
    const std::size_t n = chunk.left();
    if (n > limits_.maxQueued - std::min(queued_, limits_.maxQueued)) {
        failLocked(Failure::Overflow);
        return false;
    }
    if (wasIdle) lastProgress_ = Clock::now();
    Chunk& placed = front ? chunks_.emplace_front(std::move(chunk)) : chunks_.emplace_back(std::move(chunk));
    if (placed.key != kNoSnapshot) pending_.set(placed.key, &placed);
    queued_ += n;
    return true;
}

void OutboundQueue::retireLocked(Chunk& older) {
    if (!older.bytes || older.gathered || older.offset > 0) return;
    queued_ -= older.left();
    if (&older == &chunks_.back()) {
        chunks_.pop_back();
        return;
    }
    older.bytes.reset();
    older.key = kNoSnapshot;
    ++tombstones_;
}

void OutboundQueue::compactLocked() {
    // Tombstones of snapshots of several keys could pile up between the
    // chunks that hold bytes; once they are the most, they go in one pass.
    // Moving the chunks leaves the bytes the writer gathered where they are.
    if (tombstones_ <= kCompactAfter || tombstones_ * 2 <= chunks_.size()) return;
    std::erase_if(chunks_, [](const Chunk& c) { return !c.bytes; });
    tombstones_ = 0;
    pending_.clear();
    // The newest snapshot of a key is the last of it in the queue.
    for (Chunk& c : chunks_)
        if (c.key != kNoSnapshot) pending_.set(c.key, &c);
}

bool OutboundQueue::writeLocked(std::unique_lock<std::mutex>& lock) {
    bool socketFull = false;
    while (!closed_ && queued_ > 0) {
        // Only the writer writes or takes chunks from the front, and no
        // chunk it gathered is dropped or changed by others: the bytes
        // gathered here stay put while the lock is let go.
        iovec iov[kMaxIov];
        int count = 0;
        for (auto it = chunks_.begin(); it != chunks_.end() && count < kMaxIov; ++it) {
            if (!it->bytes) continue;
            it->gathered = true;
            iov[count].iov_base = const_cast<uint8_t*>(it->bytes->data() + it->offset);
            iov[count].iov_len = it->left();
            ++count;
        }
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
        compactLocked();
        if (w < 0 && full(err)) {
            socketFull = true;
            break;
        }
        if (w <= 0) failLocked(Failure::Broken);
    }
    if (closed_) dropAllLocked();
    writing_ = false;
    const bool arm = socketFull && !closed_ && !armed_;
    if (arm) armed_ = true;
    const bool open = !closed_;
    if (arm) {
        lock.unlock();
        if (!poller_.arm(shared_from_this())) {
            lock.lock();
            armed_ = false;
            failLocked(Failure::Broken);
            dropAllLocked();
            return false;
        }
    }
    return open;
}

void OutboundQueue::consumeLocked(std::size_t n) {
    while (!chunks_.empty()) {
        Chunk& front = chunks_.front();
        if (!front.bytes) {
            chunks_.pop_front();
            --tombstones_;
            continue;
        }
        if (n == 0) return;
        const std::size_t left = front.left();
        if (n < left) {
            front.offset += n;
            queued_ -= n;
            return;
        }
        n -= left;
        queued_ -= left;
        if (front.key != kNoSnapshot && pending_.find(front.key) == &front) pending_.erase(front.key);
        chunks_.pop_front();
    }
}

void OutboundQueue::releaseGatheredLocked() {
    // What was gathered is the front of the chunks that hold bytes.
    for (auto it = chunks_.begin(); it != chunks_.end(); ++it) {
        if (!it->bytes) continue;
        if (!it->gathered) return;
        it->gathered = false;
        if (it->key == kNoSnapshot) continue;
        // Superseded, and the socket did not take it: it waits for the peer
        // now. Never the back (the newer one is behind it), so retiring it
        // leaves `it` valid.
        const Chunk* const newest = pending_.find(it->key);
        if (newest && newest != &*it) retireLocked(*it);
    }
}

void OutboundQueue::dropAllLocked() {
    chunks_.clear();
    pending_.clear();
    tombstones_ = 0;
    queued_ = 0;
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

OutboundQueue::Chunk* OutboundQueue::PendingSnapshots::find(SnapshotKey key) const {
    for (const auto& [k, chunk] : inPlace_)
        if (k == key) return chunk;
    if (more_.empty()) return nullptr;
    const auto it = more_.find(key);
    return it == more_.end() ? nullptr : it->second;
}

void OutboundQueue::PendingSnapshots::set(SnapshotKey key, Chunk* chunk) {
    std::pair<SnapshotKey, Chunk*>* free = nullptr;
    for (auto& place : inPlace_) {
        if (place.first == key) {
            place.second = chunk;
            return;
        }
        if (place.first == kNoSnapshot && !free) free = &place;
    }
    if (!more_.empty()) {
        const auto it = more_.find(key);
        if (it != more_.end()) {
            it->second = chunk;
            return;
        }
    }
    if (free) {
        *free = {key, chunk};
    } else {
        more_[key] = chunk;
    }
}

void OutboundQueue::PendingSnapshots::erase(SnapshotKey key) {
    for (auto& place : inPlace_) {
        if (place.first == key) {
            place = {kNoSnapshot, nullptr};
            return;
        }
    }
    more_.erase(key);
}

void OutboundQueue::PendingSnapshots::clear() {
    inPlace_.fill({kNoSnapshot, nullptr});
    more_.clear();
}

}  // namespace Korrafin
