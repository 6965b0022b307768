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

bool OutboundQueue::send(const uint8_t* data, std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (n == 0) return true;
    if (writing_ || armed_ || !chunks_.empty()) {
        // Behind what waits. An active writer or the poller takes it on;
        // otherwise bytes were enqueued and not yet flushed: write them now.
        if (!pushLocked(Chunk{copyOf(data, n), 0}, false)) return false;
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
        // In front of whatever other threads queued meanwhile.
        pushLocked(Chunk{copyOf(data + taken, n - taken), 0}, true);
    }
    return writeLocked(lock);
}

bool OutboundQueue::enqueue(Bytes packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (!packet || packet->empty()) return true;
    return pushLocked(Chunk{std::move(packet), 0}, false);
}

void OutboundQueue::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (writing_ || armed_ || closed_ || chunks_.empty()) return;
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
    const std::size_t n = chunk.bytes->size() - chunk.offset;
    if (n > limits_.maxQueued - std::min(queued_, limits_.maxQueued)) {
        failLocked(Failure::Overflow);
        return false;
    }
    // The stall clock runs from when bytes begin to wait.
    if (chunks_.empty()) lastProgress_ = Clock::now();
    if (front) {
        chunks_.push_front(std::move(chunk));
    } else {
        chunks_.push_back(std::move(chunk));
    }
    queued_ += n;
    return true;
}

bool OutboundQueue::writeLocked(std::unique_lock<std::mutex>& lock) {
    bool socketFull = false;
    while (!closed_ && !chunks_.empty()) {
        // Only the writer pops chunks, and other threads only append: the
        // bytes gathered here stay put while the lock is let go.
        iovec iov[kMaxIov];
        int count = 0;
        for (auto it = chunks_.begin(); it != chunks_.end() && count < kMaxIov; ++it, ++count) {
            iov[count].iov_base = const_cast<uint8_t*>(it->bytes->data() + it->offset);
            iov[count].iov_len = it->bytes->size() - it->offset;
        }
        lock.unlock();
        int err = 0;
        const ssize_t w = writeSome(fd_, iov, count, err);
        lock.lock();
        if (w > 0) {
            consumeLocked(static_cast<std::size_t>(w));
            lastProgress_ = Clock::now();
        } else if (w < 0 && full(err)) {
            socketFull = true;
            break;
        } else {
            failLocked(Failure::Broken);
        }
    }
    if (closed_) {
        chunks_.clear();
        queued_ = 0;
    }
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
            chunks_.clear();
            queued_ = 0;
            return false;
        }
    }
    return open;
}

void OutboundQueue::consumeLocked(std::size_t n) {
    while (n > 0 && !chunks_.empty()) {
        Chunk& front = chunks_.front();
        const std::size_t left = front.bytes->size() - front.offset;
        if (n < left) {
            front.offset += n;
            queued_ -= n;
            return;
        }
        n -= left;
        queued_ -= left;
        chunks_.pop_front();
    }
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
    if (!writing_) {
        chunks_.clear();
        queued_ = 0;
    }
    // Wakes the connection's reader; the descriptor stays open until the destructor.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace Korrafin
