// A directory service in memory for the directory client's tests: a transport
// that records every request and answers from a scenario, so the client's
// requests can be checked without any network. Like the real transport it
// sends nothing once a stop is requested, and a stop ends a held request as
// failed. Shared by pointer: the client's detached unregister thread keeps
// its copy of the transport alive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "directory/GlobalApiClient.h"
#include "support/Time.h"

namespace Korrafin::Test {

struct Request {
    std::string method;
    std::string host;
    std::string path;
    std::string body;
};

struct Answer {
    int status = 200;  // 0: no answer at all (unreachable, time-out)
    std::string text;
};

class FakeDirectory : public std::enable_shared_from_this<FakeDirectory> {
public:
    using Scenario = std::function<Answer(const Request&)>;

    static std::shared_ptr<FakeDirectory> make(Scenario scenario = {}) {
        auto d = std::make_shared<FakeDirectory>();
        d->scenario_ = std::move(scenario);
        return d;
    }

    GlobalApiClient::Transport transport() {
        std::shared_ptr<FakeDirectory> self = shared_from_this();
        return [self](const char* method, const std::string& host, const std::string& path, const std::string& body,
                      int& status, std::string* answer, std::stop_token stop) {
            return self->serve({method, host, path, body}, status, answer, stop);
        };
    }

    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<Request> requestsTo(const std::string& path) const {
        std::vector<Request> out;
        for (auto& r : requests())
            if (r.path == path) out.push_back(r);
        return out;
    }

    // Waits until at least `n` requests to `path` came.
    bool waitFor(const std::string& path, std::size_t n, std::chrono::milliseconds timeout = kPatience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t k = 0;
            for (const auto& r : requests_) k += r.path == path ? 1 : 0;
            return k >= n;
        });
    }

    // From now on a request to `path` is held until release() or its stop;
    // waitHeld() tells when one is held.
    void holdRequestsTo(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        holdPath_ = path;
        released_ = false;
    }
    bool waitHeld(std::chrono::milliseconds timeout = kPatience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return held_ > 0; });
    }
    // Held requests that a stop ended.
    std::size_t aborted() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return aborted_;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

private:
    bool serve(Request r, int& status, std::string* answer, const std::stop_token& stop) {
        status = 0;
        if (stop.stop_requested()) return false;
        Answer a = scenario_ ? scenario_(r) : Answer{};
        {
            std::unique_lock<std::mutex> lock(mutex_);
            requests_.push_back(r);
            if (!holdPath_.empty() && r.path == holdPath_ && !released_) {
                ++held_;
                changed_.notify_all();
                const bool freed = changed_.wait(lock, stop, [&] { return released_; });
                --held_;
                if (!freed) {
                    ++aborted_;
                    changed_.notify_all();
                    return false;
                }
            }
        }
        changed_.notify_all();
        status = a.status;
        if (answer) *answer += a.text;
        return a.status >= 200 && a.status <= 299;
    }

    Scenario scenario_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<Request> requests_;
    std::string holdPath_;
    bool released_ = true;
    int held_ = 0;
    std::size_t aborted_ = 0;
};

}  // namespace Korrafin::Test
