// One thread that writes on behalf of every outbound queue whose socket was
// full: it waits (epoll, one-shot) until such a socket takes bytes again and
// lets its queue write on, and a few times a second it ends queues whose
// bytes have waited too long. It reaches the queues through weak references,
// so a queue may go at any time; it never holds its own mutex while it calls
// into a queue.
//
// shared() is the one poller of the process: started on first use and never
// stopped (like the logger), so queues of any owner and lifetime may use it.
// Other instances (tests) stop and join their thread when destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace Korrafin {

class OutboundQueue;

class SendPoller {
public:
    static constexpr std::chrono::milliseconds kSweep{250};

    // Throws std::system_error when its thread or descriptors cannot be made.
    static SendPoller& shared();

    SendPoller();
    ~SendPoller();

    SendPoller(const SendPoller&) = delete;
    SendPoller& operator=(const SendPoller&) = delete;

    // Calls `queue->onWritable()` once its socket takes bytes (at once when
    // it does already), and checks it for a stall until then. False when the
    // socket cannot be watched. Any thread; takes the poller's mutex. Throws
    // std::bad_alloc (nothing changed then).
    bool arm(const std::shared_ptr<OutboundQueue>& queue);

    // Stops watching queue `id`, whose socket `fd` is still open. Any
    // thread, the poller's own included.
    void forget(uint64_t id, int fd);

    // An id for a new queue; never 0, never reused.
    uint64_t nextId() { return ids_.fetch_add(1, std::memory_order_relaxed); }

private:
    struct Entry {
        std::weak_ptr<OutboundQueue> queue;
        bool armed = false;
    };

    void loop();
    void sweep();

    int epoll_ = -1;
    int wake_ = -1;  // eventfd that ends the loop
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> ids_{1};
    std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;  // mutex_
    std::thread thread_;
};

}  // namespace Korrafin
