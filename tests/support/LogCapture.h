// Collects the logger's lines for tests. The logger cannot drop a sink, so
// one capturing sink is installed for the life of the process; tests clear it
// and look for exact messages (the part after "[time] [LEVEL] ").
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "support/Time.h"

namespace Korrafin::Test {

class LogCapture {
public:
    struct Line {
        LogLevel level;
        std::string message;
    };

    static LogCapture& instance() {
        static LogCapture* const capture = [] {
            auto* c = new LogCapture();
            Logger::instance().addSink([c](LogLevel level, const std::string& line) { c->add(level, line); });
            return c;
        }();
        return *capture;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Number of lines whose message is exactly `message` (at `level` when given).
    std::size_t count(const std::string& message) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const auto& l : lines_) n += l.message == message ? 1 : 0;
        return n;
    }
    std::size_t count(LogLevel level, const std::string& message) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const auto& l : lines_) n += (l.level == level && l.message == message) ? 1 : 0;
        return n;
    }
    // Number of lines whose message contains `part`.
    std::size_t countContaining(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const auto& l : lines_) n += l.message.find(part) != std::string::npos ? 1 : 0;
        return n;
    }

    // Waits until a line with exactly `message` has been logged.
    bool waitFor(LogLevel level, const std::string& message,
                 std::chrono::milliseconds timeout = kPatience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            for (const auto& l : lines_)
                if (l.level == level && l.message == message) return true;
            return false;
        });
    }

private:
    LogCapture() = default;

    void add(LogLevel level, const std::string& line) {
        // "[time] [LEVEL] message"
        std::string message = line;
        const auto p = line.find("] [");
        if (p != std::string::npos && line.size() >= p + 3 + 5 + 2) message = line.substr(p + 3 + 5 + 2);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({level, std::move(message)});
        }
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Line> lines_;
};

// What the log shows of an identity: the first 16 hex digits of its SHA-256.
inline std::string shortHash(const std::string& identity) { return CryptoUtils::sha256Hex(identity).substr(0, 16); }

}  // namespace Korrafin::Test
