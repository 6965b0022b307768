// Process-wide logger. Any thread may log at any time; each line is written
// whole to stdout (coloured), the log file and the sinks under one mutex.
// The logger takes no other lock while holding its own, so callers may log
// while holding theirs. Sinks must not call back into the logger.
//
// Standard output never holds the process up: a line that a pipe, socket or
// terminal does not take at once is dropped there and counted (the log file
// still gets every line), and a note of the count follows once output flows
// again. The string arguments of logf are written with their control
// characters escaped (core/LogText.h): they may come from clients.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Format.h"
#include "core/LogText.h"

namespace Korrafin {

enum class LogLevel : uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

using LogSink = std::function<void(LogLevel, const std::string&)>;

class Logger {
public:
    // The one logger. It is created on first use and never destroyed, so
    // detached threads may still log while the process exits.
    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Sets the minimum level and, for a non-empty path, opens the log file for
    // appending (closing a previous one). Never throws.
    void init(const std::string& path, LogLevel minLevel);

    void log(LogLevel level, const std::string& msg);

    template <typename... Args>
    void logf(LogLevel level, std::string_view fmt, Args&&... args) {
        if (!enabled(level)) return;
        log(level, detail::krfmt(fmt, detail::logArg(std::forward<Args>(args))...));
    }

    // The level test that precedes any formatting; one atomic byte read.
    bool enabled(LogLevel level) const {
        return static_cast<uint8_t>(level) >= static_cast<uint8_t>(minLevel_.load(std::memory_order_relaxed));
    }
    LogLevel level() const { return minLevel_.load(std::memory_order_relaxed); }

    void setLevel(LogLevel level);
    // An empty callable is refused: calling it would throw with the mutex held.
    void addSink(LogSink sink);
    void flush();

    // Lines standard output did not take since the process started.
    static uint64_t consoleLinesDropped();

    static std::string timestamp();
    static const char* levelStr(LogLevel level);
    static const char* levelColour(LogLevel level);
    // Writes the coloured line to standard output without waiting for it;
    // false when it was dropped.
    static bool writeConsole(LogLevel level, const std::string& line);

private:
    Logger() = default;

    std::mutex mutex_;
    std::ofstream file_;
    std::atomic<LogLevel> minLevel_{LogLevel::Info};
    std::vector<LogSink> sinks_;
};

}  // namespace Korrafin
