#include "core/SendPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <system_error>
#include <vector>

#include "core/Logger.h"
#include "core/OutboundQueue.h"

namespace Korrafin {

namespace {
constexpr uint64_t kWakeId = 0;  // queue ids start at 1
constexpr int kMaxEvents = 128;
}  // namespace

SendPoller& SendPoller::shared() {
    // Deliberately leaked: queues may be written for as long as the process runs.
    static SendPoller* const poller = new SendPoller();
    return *poller;
}

SendPoller::SendPoller() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
        const int err = errno;
        if (wake_ >= 0) ::close(wake_);
        ::close(epoll_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    try {
        thread_ = std::thread(&SendPoller::loop, this);
    } catch (...) {
        ::close(wake_);
        ::close(epoll_);
        throw;
    }
}

SendPoller::~SendPoller() {
    running_.store(false);
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
    ::close(epoll_);
}

bool SendPoller::arm(const std::shared_ptr<OutboundQueue>& queue) {
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLONESHOT;
    ev.data.u64 = queue->pollId();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto [it, fresh] = entries_.try_emplace(queue->pollId());
    // One-shot and re-armed with MOD: a socket that drained before the arm
    // is reported at once, so no wake-up is lost.
    if (::epoll_ctl(epoll_, fresh ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, queue->fd(), &ev) != 0) {
        if (fresh) entries_.erase(it);
        return false;
    }
    it->second.queue = queue;
    it->second.armed = true;
    return true;
}

void SendPoller::forget(uint64_t id, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    if (fd >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    entries_.erase(it);
}

void SendPoller::loop() {
    epoll_event events[kMaxEvents];
    auto nextSweep = std::chrono::steady_clock::now() + kSweep;
    while (running_.load()) {
        try {
            const auto untilSweep = std::chrono::duration_cast<std::chrono::milliseconds>(
                nextSweep - std::chrono::steady_clock::now());
            const int n = ::epoll_wait(epoll_, events, kMaxEvents,
                                       static_cast<int>(std::max<int64_t>(0, untilSweep.count())));
            for (int i = 0; i < n; ++i) {
                const uint64_t id = events[i].data.u64;
                if (id == kWakeId) {
                    uint64_t v;
                    (void)!::read(wake_, &v, sizeof v);
                    continue;
                }
                std::shared_ptr<OutboundQueue> queue;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    const auto it = entries_.find(id);
                    if (it == entries_.end()) continue;
                    it->second.armed = false;
                    queue = it->second.queue.lock();
                }
                if (queue) queue->onWritable();
            }
            if (std::chrono::steady_clock::now() >= nextSweep) {
                sweep();
                nextSweep = std::chrono::steady_clock::now() + kSweep;
            }
        } catch (const std::exception& e) {
            // Out of memory for one round; the queues wait for the next.
            Logger::instance().logf(LogLevel::Error, "Send poller: {}", e.what());
        }
    }
}

void SendPoller::sweep() {
    std::vector<std::shared_ptr<OutboundQueue>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, e] : entries_) {
            if (!e.armed) continue;
            if (auto q = e.queue.lock()) waiting.push_back(std::move(q));
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (const auto& q : waiting) q->checkStall(now);
}

}  // namespace Korrafin
