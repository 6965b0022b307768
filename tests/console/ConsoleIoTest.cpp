// The console's line reader and its writer to standard output, on pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "console/ConsoleIo.h"

namespace Korrafin {
namespace {

using Result = LineReader::Result;

// Generous: the reader answers as soon as input is there.
constexpr int kWaitMs = 5000;

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeWrite();
        if (read >= 0) ::close(read);
    }
    void put(const std::string& s) const { ASSERT_EQ(::write(write, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    int read = -1;
    int write = -1;
};

// Every line until end of input; idle answers are skipped.
std::vector<std::string> readAll(LineReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    for (;;) {
        const Result r = reader.next(line, kWaitMs);
        if (r == Result::End) return lines;
        if (r == Result::Line) lines.push_back(line);
    }
}

TEST(ConsoleIoTest, LinesComeWholeWhateverPiecesTheyArriveIn) {
    Pipe p;
    LineReader reader(p.read);
    p.put("help\nsta");
    std::string line;
    ASSERT_EQ(reader.next(line, kWaitMs), Result::Line);
    EXPECT_EQ(line, "help");
    // Half a line is not a line yet.
    EXPECT_EQ(reader.next(line, 0), Result::Idle);
    p.put("tus\n\nquit\r\n");
    p.closeWrite();
    EXPECT_EQ(readAll(reader), (std::vector<std::string>{"status", "", "quit\r"}));
    EXPECT_EQ(reader.next(line, kWaitMs), Result::End);
}

TEST(ConsoleIoTest, ALastLineWithoutLineFeedStillCounts) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"status", {"status"}},
        {"help\nstatus", {"help", "status"}},
        {"help\n", {"help"}},
        {"", {}},
    };
    for (const auto& [input, lines] : cases) {
        Pipe p;
        LineReader reader(p.read);
        p.put(input);
        p.closeWrite();
        EXPECT_EQ(readAll(reader), lines) << input;
    }
}

// What the reader handed out, one entry per result: a line as its text (a
// long one by its size), a refused one as "<too long>".
std::vector<std::string> resultsOf(LineReader& reader) {
    std::vector<std::string> seen;
    std::string line;
    for (;;) {
        const Result r = reader.next(line, kWaitMs);
        if (r == Result::End) return seen;
        if (r == Result::TooLong) seen.emplace_back("<too long>");
        if (r == Result::Line) seen.push_back(line.size() > 64 ? std::to_string(line.size()) + " bytes" : line);
    }
}

TEST(ConsoleIoTest, ALineOverTheBoundIsRefusedOnceAndTheNextLineComesWhole) {
    constexpr std::size_t kMax = LineReader::kMaxLine;
    const std::string most = std::to_string(kMax) + " bytes";
    struct Case {
        const char* what;
        std::string input;
        std::vector<std::string> results;
    };
    const std::vector<Case> cases = {
        {"at the bound", std::string(kMax, 'a') + "\nstatus\n", {most, "status"}},
        {"one byte over", std::string(kMax + 1, 'a') + "\nstatus\n", {"<too long>", "status"}},
        {"a mebibyte", std::string(1 << 20, 'a') + "\nstatus\n", {"<too long>", "status"}},
        {"two in a row", std::string(kMax + 1, 'a') + "\n" + std::string(3 * kMax, 'b') + "\nstatus",
         {"<too long>", "<too long>", "status"}},
        {"over the bound at the end of input", "help\n" + std::string(kMax + 1, 'a'), {"help", "<too long>"}},
        // A stream of zeros never ends its line: refused once, then dropped
        // as it comes, until a line feed.
        {"sixteen mebibytes of zeros", std::string(16 << 20, '\0') + "\nstatus\n", {"<too long>", "status"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pipe p;
        LineReader reader(p.read);
        std::thread writer([&] {
            p.put(c.input);
            p.closeWrite();
        });
        EXPECT_EQ(resultsOf(reader), c.results);
        writer.join();
        // Every byte was looked at once: the work grows with the input, not
        // with the square of a line's length.
        EXPECT_LE(reader.bytesScanned(), c.input.size());
    }
}

TEST(ConsoleIoTest, AnIdleNonBlockingInputIsNotItsEnd) {
    // On a terminal, output and input share one open file: whoever makes
    // standard output non-blocking makes the input non-blocking too.
    Pipe p;
    ASSERT_EQ(::fcntl(p.read, F_SETFL, O_NONBLOCK), 0);
    LineReader reader(p.read);
    std::string line;
    EXPECT_EQ(reader.next(line, 0), Result::Idle);
    EXPECT_EQ(reader.next(line, 10), Result::Idle);
    p.put("status\n");
    ASSERT_EQ(reader.next(line, kWaitMs), Result::Line);
    EXPECT_EQ(line, "status");
}

TEST(ConsoleIoTest, AReadErrorEndsTheInput) {
    // A directory polls readable and fails every read.
    const int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    LineReader reader(dir);
    std::string line;
    EXPECT_EQ(reader.next(line, kWaitMs), Result::End);
    ::close(dir);
}

TEST(ConsoleIoTest, WritingWaitsOutAFullNonBlockingOutput) {
    Pipe p;
    ASSERT_EQ(::fcntl(p.write, F_SETFL, O_NONBLOCK), 0);
    const int pipeSize = ::fcntl(p.write, F_GETPIPE_SZ);
    ASSERT_GT(pipeSize, 0);
    std::string text;
    for (int i = 0; static_cast<int>(text.size()) < 4 * pipeSize; ++i) text += "line " + std::to_string(i) + "\n";

    std::string received;
    std::thread drain([&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(p.read, buf, sizeof buf)) > 0) received.append(buf, static_cast<std::size_t>(n));
    });
    const std::atomic<bool> keepTrying{true};
    writeText(p.write, text, keepTrying);
    p.closeWrite();
    drain.join();
    EXPECT_EQ(received, text);
}

TEST(ConsoleIoTest, AStoppedConsoleGivesUpOnAnOutputThatTakesNothing) {
    Pipe p;
    ASSERT_EQ(::fcntl(p.write, F_SETFL, O_NONBLOCK), 0);
    const int pipeSize = ::fcntl(p.write, F_GETPIPE_SZ);
    const std::atomic<bool> keepTrying{false};
    // Nobody reads: returns once the pipe is full instead of waiting for ever.
    writeText(p.write, std::string(static_cast<std::size_t>(2 * pipeSize), 'x'), keepTrying);
    int queued = 0;
    ASSERT_EQ(::ioctl(p.read, FIONREAD, &queued), 0);
    EXPECT_EQ(queued, pipeSize);
}

}  // namespace
}  // namespace Korrafin
