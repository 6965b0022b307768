// Standard input and output of the admin console. The reader waits for
// input with a time-out, so its thread can look at a stop flag between
// waits and never holds up shutdown; the writer copes with a standard output
// that another part of the process has made non-blocking (on a terminal,
// input and output share one open file, so input may be non-blocking too).
// The reader holds at most one line of kMaxLine bytes and one read besides,
// and looks at each byte of input once, whatever comes in.
// One thread uses one LineReader; consoleWrite may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Korrafin {

class LineReader {
public:
    // The longest line handed out, in bytes without its line feed.
    static constexpr std::size_t kMaxLine = 64 * 1024;
    // The least one read asks for.
    static constexpr std::size_t kReadChunk = 4096;

    enum class Result {
        Line,     // `line` holds the next line, without its line feed
        TooLong,  // a line passed kMaxLine: refused as soon as it did; its
                  // rest, up to and with its line feed, is dropped unseen
        Idle,     // nothing arrived within the time-out
        End,      // end of input or a read error; nothing more will come
    };

    explicit LineReader(int fd);

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Hands out lines already buffered first; otherwise waits up to
    // `timeoutMs` for input. At end of input a last line without a line feed
    // is still handed out, and End comes with the call after it.
    Result next(std::string& line, int timeoutMs);

    // Bytes looked at for a line feed so far; never more than were read.
    std::uint64_t bytesScanned() const { return scanned_; }

private:
    // Line or TooLong from the bytes held, or Idle when they end no line.
    Result takeLine(std::string& line);
    void compact();

    int fd_;
    std::vector<char> buf_;     // kMaxLine + kReadChunk, allocated once
    std::size_t begin_ = 0;     // the bytes held are [begin_, end_)
    std::size_t end_ = 0;
    std::size_t searched_ = 0;  // [begin_, searched_) holds no line feed
    bool skipping_ = false;     // dropping the rest of a refused line
    bool ended_ = false;
    std::uint64_t scanned_ = 0;
};

// Writes all of `text` to `fd`. While a non-blocking descriptor refuses
// more, waits in short steps as long as `keepTrying` is set; gives up
// silently on a write error.
void writeText(int fd, std::string_view text, const std::atomic<bool>& keepTrying);

}  // namespace Korrafin
