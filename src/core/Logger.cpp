#include "core/Logger.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "core/WriteAll.h"

namespace Korrafin {

namespace {

// Standard output as the logger writes it: straight to files, and without
// ever waiting to pipes, sockets and terminals. Tests and the operator may
// point descriptor 1 elsewhere at any time, so every write looks at what it
// is now. Its own mutex: writeConsole may be called outside the logger's.
class ConsoleOut {
public:
    bool write(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        struct stat st {};
        if (::fstat(STDOUT_FILENO, &st) != 0) return drop();
        if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
            // A file never waits for a reader.
            tail_.clear();
            writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
            return true;
        }
        if (!sameTarget(st)) {
            closeOwn();
            tail_.clear();
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            rdev_ = st.st_rdev;
            socket_ = S_ISSOCK(st.st_mode);
            // A description of our own with O_NONBLOCK: setting the flag on
            // descriptor 1 would change it for every process sharing it.
            if (!socket_) own_ = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        }
        // The rest of a line a pipe took only part of goes first, whole.
        if (!tail_.empty()) {
            const std::size_t n = writeNow(tail_.data(), tail_.size());
            tail_.erase(0, n);
            if (!tail_.empty()) return drop();
        }
        if (dropped_ > noted_) {
            const std::string note = "\033[93m[" + Logger::timestamp() + "] [WARN ] Logger: " +
                                     std::to_string(dropped_ - noted_) +
                                     " lines were not written to standard output\033[0m\n";
            const std::size_t n = writeNow(note.data(), note.size());
            if (n == 0) return drop();
            noted_ = dropped_;
            if (n < note.size()) {
                tail_.assign(note, n);
                return drop();
            }
        }
        const std::size_t n = writeNow(bytes.data(), bytes.size());
        if (n == 0) return drop();
        if (n < bytes.size()) tail_.assign(bytes, n);
        return true;
    }

    uint64_t dropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

private:
    bool drop() {
        ++dropped_;
        return false;
    }

    bool sameTarget(const struct stat& st) const {
        return dev_ == st.st_dev && ino_ == st.st_ino && rdev_ == st.st_rdev && (socket_ || own_ >= 0);
    }

    void closeOwn() {
        if (own_ >= 0) ::close(own_);
        own_ = -1;
    }

    // Bytes taken without waiting (0 when none).
    std::size_t writeNow(const char* p, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            ssize_t w;
            if (socket_) {
                w = ::send(STDOUT_FILENO, p + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            } else if (own_ >= 0) {
                w = ::write(own_, p + done, n - done);
            } else {
                // No description of our own (no /proc): write only what
                // poll says fits, one pipe buffer's worth at most.
                pollfd pfd{STDOUT_FILENO, POLLOUT, 0};
                if (::poll(&pfd, 1, 0) != 1 || !(pfd.revents & POLLOUT)) break;
                w = ::write(STDOUT_FILENO, p + done, std::min<std::size_t>(n - done, PIPE_BUF));
            }
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            done += static_cast<std::size_t>(w);
        }
        return done;
    }

    std::mutex mutex_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    dev_t rdev_ = 0;
    bool socket_ = false;
    int own_ = -1;
    std::string tail_;
    uint64_t dropped_ = 0;
    uint64_t noted_ = 0;
};

ConsoleOut& consoleOut() {
    static ConsoleOut* const out = new ConsoleOut();  // leaked with the logger
    return *out;
}

}  // namespace

Logger& Logger::instance() {
    // Deliberately leaked: threads that outlive main may still log. Every line
    // is flushed as it is written, and the exit hook flushes once more.
    static Logger* const logger = [] {
        auto* l = new Logger();
        std::atexit([] { Logger::instance().flush(); });
        return l;
    }();
    return *logger;
}

void Logger::init(const std::string& path, LogLevel minLevel) {
    std::lock_guard<std::mutex> lock(mutex_);
    minLevel_.store(minLevel, std::memory_order_relaxed);
    if (path.empty()) return;
    if (file_.is_open()) file_.close();
    file_.clear();
    file_.open(path, std::ios::out | std::ios::app);
    if (!file_.is_open()) {
        std::cerr << "[Logger] WARNING: cannot open log file: " << path << "\n" << std::flush;
    }
}

void Logger::log(LogLevel level, const std::string& msg) {
    if (!enabled(level)) return;
    std::string line;
    line.reserve(msg.size() + 40);
    line.append("[").append(timestamp()).append("] [").append(levelStr(level)).append("] ").append(msg);

    std::lock_guard<std::mutex> lock(mutex_);
    writeConsole(level, line);
    if (file_.is_open()) {
        file_.write(line.data(), static_cast<std::streamsize>(line.size()));
        file_.put('\n');
        file_.flush();
    }
    for (const auto& sink : sinks_) sink(level, line);
}

void Logger::setLevel(LogLevel level) {
    std::lock_guard<std::mutex> lock(mutex_);
    minLevel_.store(level, std::memory_order_relaxed);
}

void Logger::addSink(LogSink sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.push_back(std::move(sink));
}

void Logger::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) file_.flush();
}

uint64_t Logger::consoleLinesDropped() { return consoleOut().dropped(); }

std::string Logger::timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[48];  // 23 characters in practice; room for any int the fields could hold
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

const char* Logger::levelStr(LogLevel level) {
    switch (level) {
        case LogLevel::Trace: return "TRACE";
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO ";
        case LogLevel::Warn: return "WARN ";
        case LogLevel::Error: return "ERROR";
        case LogLevel::Fatal: return "FATAL";
    }
    return "?????";
}

const char* Logger::levelColour(LogLevel level) {
    switch (level) {
        case LogLevel::Trace: return "\033[90m";
        case LogLevel::Debug: return "\033[94m";
        case LogLevel::Info: return "\033[96m";
        case LogLevel::Warn: return "\033[93m";
        case LogLevel::Error: return "\033[91m";
        case LogLevel::Fatal: return "\033[95m";
    }
    return "\033[0m";
}

bool Logger::writeConsole(LogLevel level, const std::string& line) {
    // One write per line so that lines never interleave with other writers.
    std::string out;
    out.reserve(line.size() + 16);
    out.append(levelColour(level)).append(line).append("\033[0m\n");
    return consoleOut().write(out);
}

}  // namespace Korrafin
