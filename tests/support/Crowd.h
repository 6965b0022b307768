// Strangers for tests of a listener's bounds: a thread that keeps `count`
// connections open from one loopback address, opens again each one the
// server closes, and sends each open one a byte of `drip` every `pace` (a
// connection that trickles its request, or stays silent when `drip` is
// empty). Its destructor stops the thread and closes them all.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/Ports.h"

namespace Korrafin::Test {

class Crowd {
public:
    // `first` is sent once right after connecting; then one byte of `drip`
    // per connection every `pace`, round and round.
    Crowd(uint16_t port, const char* source, std::size_t count, std::string first = "", std::string drip = "",
          std::chrono::milliseconds pace = std::chrono::milliseconds(200))
        : port_(port), source_(source), count_(count), first_(std::move(first)), drip_(std::move(drip)), pace_(pace) {
        thread_ = std::thread([this] { run(); });
    }
    ~Crowd() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    // Connections made so far, re-opened ones included.
    std::size_t opened() const { return opened_.load(); }
    // Rounds done: each looked at every connection once.
    std::size_t rounds() const { return rounds_.load(); }

private:
    void run() {
        std::vector<int> fds(count_, -1);
        std::size_t sent = 0;
        for (;;) {
            for (int& fd : fds) {
                if (fd >= 0 && closedByServer(fd)) {
                    ::close(fd);
                    fd = -1;
                }
                if (fd < 0) {
                    fd = connectLoopback(port_, {source_});
                    if (fd < 0) continue;
                    ++opened_;
                    sendNow(fd, first_);
                }
                if (!drip_.empty()) sendNow(fd, std::string(1, drip_[sent % drip_.size()]));
            }
            ++sent;
            ++rounds_;
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, pace_, [this] { return stop_; })) break;
        }
        for (const int fd : fds)
            if (fd >= 0) ::close(fd);
    }

    // True when the server ended the connection (what it sent is dropped).
    static bool closedByServer(int fd) {
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return false;
            char sink[512];
            const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n <= 0) return true;
        }
    }

    static void sendNow(int fd, const std::string& bytes) {
        if (!bytes.empty()) (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    const uint16_t port_;
    const char* const source_;
    const std::size_t count_;
    const std::string first_;
    const std::string drip_;
    const std::chrono::milliseconds pace_;
    std::atomic<std::size_t> opened_{0};
    std::atomic<std::size_t> rounds_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace Korrafin::Test
