#include "core/Logger.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace Korrafin {

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
    std::cout.flush();
}

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

void Logger::writeConsole(LogLevel level, const std::string& line) {
    // One write per line so that lines never interleave with other writers.
    std::string out;
    out.reserve(line.size() + 16);
    out.append(levelColour(level)).append(line).append("\033[0m\n");
    std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
    std::cout.flush();
}

}  // namespace Korrafin
