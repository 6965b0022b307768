#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/LogText.h"
#include "core/LogThrottle.h"
#include "core/Logger.h"
#include "support/TempDir.h"
#include "support/Time.h"

using namespace Korrafin;
using Korrafin::Test::eventually;
using Korrafin::Test::TempDir;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Counts how often it is written; proves a filtered message is never formatted.
struct Probe {
    int* count;
};
std::ostream& operator<<(std::ostream& os, const Probe& p) {
    ++*p.count;
    return os << "probe";
}

class LoggerTest : public testing::Test {
protected:
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }
};

}  // namespace

TEST_F(LoggerTest, BeforeInitInfoFilterAppliesToStdoutOnly) {
    CaptureStdout();
    Logger::instance().log(LogLevel::Warn, "early warning");
    Logger::instance().log(LogLevel::Trace, "early trace");
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, testing::HasSubstr("early warning"));
    EXPECT_THAT(out, testing::Not(testing::HasSubstr("early trace")));
}

TEST_F(LoggerTest, ConsoleLineFormatAndColours) {
    struct Case {
        LogLevel level;
        const char* colour;
        const char* text;
    };
    const Case cases[] = {
        {LogLevel::Trace, "\033[90m", "TRACE"}, {LogLevel::Debug, "\033[94m", "DEBUG"},
        {LogLevel::Info, "\033[96m", "INFO "},  {LogLevel::Warn, "\033[93m", "WARN "},
        {LogLevel::Error, "\033[91m", "ERROR"}, {LogLevel::Fatal, "\033[95m", "FATAL"},
        {static_cast<LogLevel>(6), "\033[0m", "?????"},
    };
    Logger::instance().setLevel(LogLevel::Trace);
    const std::regex pattern(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(.{5})\] (.*)$)");
    for (const auto& c : cases) {
        CaptureStdout();
        Logger::instance().log(c.level, "hello {}");
        const std::string out = GetCapturedStdout();
        const std::string colour = c.colour;
        ASSERT_EQ(out.substr(0, colour.size()), colour) << c.text;
        ASSERT_GE(out.size(), colour.size() + 5);
        EXPECT_EQ(out.substr(out.size() - 5), "\033[0m\n");
        const std::string line = out.substr(colour.size(), out.size() - colour.size() - 5);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        EXPECT_EQ(m[1], c.text);
        EXPECT_EQ(m[2], "hello {}");
    }
}

TEST_F(LoggerTest, LevelFilterSkipsFormatting) {
    Logger::instance().setLevel(LogLevel::Warn);
    int formatted = 0;
    CaptureStdout();
    Logger::instance().logf(LogLevel::Info, "x {}", Probe{&formatted});
    Logger::instance().logf(LogLevel::Warn, "y {}", Probe{&formatted});
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(formatted, 1);
    EXPECT_THAT(out, testing::HasSubstr("y probe"));
    EXPECT_THAT(out, testing::Not(testing::HasSubstr("x probe")));
}

TEST_F(LoggerTest, FileAppendsPlainLinesAndSinksSeeThem) {
    TempDir dir;
    const std::string path = dir.file("k.log");
    Korrafin::Test::writeFile(path, "earlier run\n");

    // Sinks live as long as the logger, so the sink owns what it records.
    auto seen = std::make_shared<std::vector<std::string>>();
    Logger::instance().addSink([seen](LogLevel lvl, const std::string& line) {
        if (lvl == LogLevel::Error && line.find("multi") != std::string::npos) seen->push_back(line);
    });
    Logger::instance().addSink(LogSink{});  // refused, must not crash later

    CaptureStdout();
    Logger::instance().init(path, LogLevel::Info);
    Logger::instance().log(LogLevel::Error, "multi\nline");
    Logger::instance().log(LogLevel::Info, "");
    GetCapturedStdout();

    // Flushed per line: visible without any explicit flush.
    const std::string text = Korrafin::Test::readFile(path);
    EXPECT_EQ(text.rfind("earlier run\n", 0), 0u);
    EXPECT_THAT(text, testing::HasSubstr("] [ERROR] multi\nline\n"));
    EXPECT_THAT(text, testing::HasSubstr("] [INFO ] \n"));
    EXPECT_EQ(text.find('\033'), std::string::npos);
    ASSERT_EQ(seen->size(), 1u);
    EXPECT_THAT((*seen)[0], testing::EndsWith("] [ERROR] multi\nline"));
}

TEST_F(LoggerTest, UnopenableFileWarnsAndKeepsLogging) {
    CaptureStderr();
    CaptureStdout();
    Logger::instance().init("/nonexistent-dir/x/k.log", LogLevel::Info);
    Logger::instance().log(LogLevel::Info, "still here");
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "[Logger] WARNING: cannot open log file: /nonexistent-dir/x/k.log\n");
    EXPECT_THAT(out, testing::HasSubstr("still here"));
}

TEST_F(LoggerTest, TimestampShape) {
    EXPECT_TRUE(std::regex_match(Logger::timestamp(), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})")));
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    TempDir dir;
    const std::string path = dir.file("t.log");
    CaptureStdout();
    Logger::instance().init(path, LogLevel::Info);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) Logger::instance().logf(LogLevel::Info, "thread {} line {} end", t, i);
        });
    for (auto& th : threads) th.join();
    const std::string out = GetCapturedStdout();
    Logger::instance().init("", LogLevel::Info);

    const std::regex line(R"(^\[[^\]]+\] \[INFO \] thread \d line \d+ end$)");
    std::istringstream in(Korrafin::Test::readFile(path));
    std::string l;
    int count = 0;
    while (std::getline(in, l)) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        ++count;
    }
    EXPECT_EQ(count, 800);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 800);
}

// ---------------------------------------------------------------- untrusted text

TEST_F(LoggerTest, ClientTextInArgumentsIsEscapedButTheFormatIsNot) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"plain", "plain"},
        {"zwei\nZeilen", "zwei\\x0aZeilen"},
        {"\r[ERROR] forged", "\\x0d[ERROR] forged"},
        {"\033[2J\033[31mred", "\\x1b[2J\\x1b[31mred"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"tab\tdel\x7f", "tab\\x09del\\x7f"},
        {"c1 \xC2\x9B" "31m", "c1 \\xc2\\x9b31m"},
        {"Grüße \xC2\xA0 €", "Grüße \xC2\xA0 €"},  // other UTF-8 stays
    };
    for (const auto& c : cases) EXPECT_EQ(escapeControls(c.in), c.out) << c.out;

    TempDir dir;
    const std::string path = dir.file("esc.log");
    CaptureStdout();
    Logger::instance().init(path, LogLevel::Info);
    const std::string nick = "mallory\n[2030-01-01 00:00:00.000] [INFO ] forged";
    const char* cstr = "bell\a";
    const char array[8] = "esc\033";
    Logger::instance().logf(LogLevel::Info, "Client {} authenticated as '{}' ({}, {})\tend", 7, nick, cstr, array);
    Logger::instance().log(LogLevel::Info, "raw\nmessage");
    GetCapturedStdout();
    Logger::instance().init("", LogLevel::Info);

    const std::string text = Korrafin::Test::readFile(path);
    EXPECT_THAT(text, testing::HasSubstr(
                          "Client 7 authenticated as 'mallory\\x0a[2030-01-01 00:00:00.000] [INFO ] forged' "
                          "(bell\\x07, esc\\x1b)\tend\n"));
    EXPECT_THAT(text, testing::HasSubstr("] [INFO ] raw\nmessage\n")) << "a message of our own is written as it is";
}

// ---------------------------------------------------------------- repeated lines

TEST_F(LoggerTest, AThrottleLetsAFewLinesASecondThroughThenSummarises) {
    LogThrottle t(3);
    const auto t0 = LogThrottle::Clock::now();
    std::vector<bool> written;
    for (int i = 0; i < 10; ++i) written.push_back(t.admit(t0 + std::chrono::milliseconds(i)).write);
    EXPECT_EQ(written, (std::vector<bool>{true, true, true, false, false, false, false, false, false, false}));

    // The next window: written again, with the count of those held back.
    const auto later = t.admit(t0 + std::chrono::milliseconds(1001));
    EXPECT_TRUE(later.write);
    EXPECT_EQ(later.suppressed, 7u);
    EXPECT_EQ(t.admit(t0 + std::chrono::milliseconds(1002)).suppressed, 0u) << "counted once";

    // Through the logger: three lines, then the summary at the end.
    auto seen = std::make_shared<std::vector<std::string>>();
    Logger::instance().addSink([seen](LogLevel, const std::string& line) {
        if (line.find("throttled") != std::string::npos) seen->push_back(line.substr(line.find("] ", 26) + 2));
    });
    LogThrottle fresh(3);
    CaptureStdout();
    for (int i = 0; i < 50; ++i) fresh.logf(LogLevel::Warn, "Client 9 throttled", "Client {}: throttled line {}", 9, i);
    fresh.flush(LogLevel::Warn, "Client 9 throttled");
    fresh.flush(LogLevel::Warn, "Client 9 throttled");
    GetCapturedStdout();
    EXPECT_EQ(*seen, (std::vector<std::string>{"Client 9: throttled line 0", "Client 9: throttled line 1",
                                               "Client 9: throttled line 2",
                                               "Client 9 throttled: 47 similar log lines suppressed"}));
}

// Lines of one key (a remote address) have a bound of their own inside the
// one for all; a new window starts both afresh.
TEST_F(LoggerTest, AKeyedThrottleBoundsEachKeyAndAllOfThem) {
    struct Case {
        std::string what;
        std::vector<std::string> keys;  // one line each, a millisecond apart
        std::string written;            // per line: 1 written, 0 held back
    };
    const std::vector<Case> cases = {
        {"one key up to its bound", {"a", "a", "a", "a"}, "1100"},
        {"other keys beside a full one", {"a", "a", "a", "b", "c"}, "11011"},
        {"all keys up to the bound for all", {"a", "b", "c", "d", "e", "f", "a"}, "1111000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogThrottle t(4, 2);
        const auto t0 = LogThrottle::Clock::now();
        std::string written;
        uint64_t told = 0;  // held back, as told with the lines that pass
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
            const auto a = t.admit(c.keys[i], t0 + std::chrono::milliseconds(i));
            written += a.write ? '1' : '0';
            told += a.suppressed;
        }
        EXPECT_EQ(written, c.written);
        const auto later = t.admit(c.keys[0], t0 + std::chrono::milliseconds(1000 + c.keys.size()));
        EXPECT_TRUE(later.write) << "a new window";
        EXPECT_EQ(told + later.suppressed, static_cast<uint64_t>(std::count(c.written.begin(), c.written.end(), '0')));
    }
}

// ---------------------------------------------------------------- a stalled standard output

TEST_F(LoggerTest, AStandardOutputNobodyReadsNeverHoldsALineUpAndTheFileStaysComplete) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
    ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
    const char fill[512] = {};
    while (::write(pipeFds[1], fill, sizeof fill) > 0) {
    }
    ::fcntl(pipeFds[1], F_SETFL, 0);  // the logger must not rely on the flag

    TempDir dir;
    const std::string path = dir.file("stall.log");
    Logger::instance().init(path, LogLevel::Info);
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ::dup2(pipeFds[1], STDOUT_FILENO);

    const uint64_t droppedBefore = Logger::consoleLinesDropped();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) Logger::instance().logf(LogLevel::Info, "stalled line {}", i);
        done = true;
    });
    const bool finished = eventually([&] { return done.load(); }, std::chrono::milliseconds(5000));
    if (!finished) {
        // Unblock the writer so the test can end, then fail.
        char sink[65536];
        while (!done.load()) (void)!::read(pipeFds[0], sink, sizeof sink);
    }
    writer.join();
    EXPECT_TRUE(finished) << "logging waited for a reader of standard output";
    EXPECT_EQ(Logger::consoleLinesDropped() - droppedBefore, 200u);

    // Once the pipe drains, the next line comes with a note of what was lost.
    char sink[65536];
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    while (::read(pipeFds[0], sink, sizeof sink) > 0) {
    }
    Logger::instance().log(LogLevel::Info, "flowing again");
    std::string console;
    ssize_t n;
    while ((n = ::read(pipeFds[0], sink, sizeof sink)) > 0) console.append(sink, static_cast<std::size_t>(n));

    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    Logger::instance().init("", LogLevel::Info);

    EXPECT_THAT(console, testing::HasSubstr("Logger: 200 lines were not written to standard output"));
    EXPECT_THAT(console, testing::HasSubstr("flowing again"));
    const std::string text = Korrafin::Test::readFile(path);
    for (int i : {0, 1, 100, 199}) EXPECT_THAT(text, testing::HasSubstr("stalled line " + std::to_string(i) + "\n"));
    EXPECT_EQ(text.find("were not written"), std::string::npos) << "the file lost nothing";
}
