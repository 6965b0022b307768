// Standard input and output of the admin console. The reader waits for
// input with a time-out, so its thread can look at a stop flag between
// waits and never holds up shutdown; the writer copes with a standard output
// that another part of the process has made non-blocking (on a terminal,
// input and output share one open file, so input may be non-blocking too).
// One thread uses one LineReader; consoleWrite may be called from any thread.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace Korrafin {

class LineReader {
public:
    enum class Result {
        Line,  // `line` holds the next line, without its line feed
        Idle,  // nothing arrived within the time-out
        End,   // end of input or a read error; nothing more will come
    };

    explicit LineReader(int fd) : fd_(fd) {}

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Hands out lines already buffered first; otherwise waits up to
    // `timeoutMs` for input. At end of input a last line without a line feed
    // is still handed out, and End comes with the call after it.
    Result next(std::string& line, int timeoutMs);

private:
    bool takeLine(std::string& line);

    int fd_;
    std::string pending_;
    bool ended_ = false;
};

// Writes all of `text` to `fd`. While a non-blocking descriptor refuses
// more, waits in short steps as long as `keepTrying` is set; gives up
// silently on a write error.
void writeText(int fd, std::string_view text, const std::atomic<bool>& keepTrying);

}  // namespace Korrafin
