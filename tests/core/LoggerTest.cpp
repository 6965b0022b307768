#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "support/TempDir.h"

using namespace Korrafin;
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
