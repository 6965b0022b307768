// Cuts a received byte stream into packets of the 12-byte header: buffers
// what has arrived, checks each header (magic, version, then the payload
// limit, which a caller may lower, e.g. before its peer has authenticated)
// and hands out every complete frame in order. Its memory follows the frames:
// it grows to the frame being received (never double of it) and gives a
// large buffer back once the frames in it have been handed out.
//
// Used by one thread at a time (a connection's reader); a plain value,
// movable, not copyable. Throws only std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/MessageType.h"
#include "protocol/PacketHeader.h"

namespace Korrafin {

class Framer {
public:
    // What a frame hands out: valid until the next call of append or next.
    struct Frame {
        MessageType type{};
        const uint8_t* payload = nullptr;
        uint32_t length = 0;
    };

    enum class Status : uint8_t {
        Frame,     // `out` holds the next frame
        NeedMore,  // no complete frame is buffered
        Bad,       // the header at the front was refused: see refused(); final
    };

    // Buffers kept across frames; a buffer grown past kKeepCapacity is given
    // back once it drains.
    static constexpr std::size_t kReserve = 4096;
    static constexpr std::size_t kKeepCapacity = 64 * 1024;

    explicit Framer(uint32_t maxPayload = PacketHeader::kMaxPayload);

    Framer(const Framer&) = delete;
    Framer& operator=(const Framer&) = delete;
    Framer(Framer&&) = default;
    Framer& operator=(Framer&&) = default;

    // The largest payload accepted from the next header on (inclusive).
    void setMaxPayload(uint32_t maxPayload) noexcept { maxPayload_ = maxPayload; }
    uint32_t maxPayload() const noexcept { return maxPayload_; }

    // Appends received bytes; nothing is checked yet.
    void append(const uint8_t* data, std::size_t n);

    // The next complete frame, consumed by this call. Once nothing complete
    // is left the buffer is compacted (and a large one given back), so the
    // frames handed out before must be finished with by then.
    Status next(Frame& out);

    // The refused header and why, after next returned Bad.
    const PacketHeader& refused() const noexcept { return refused_; }
    HeaderStatus refusedBecause() const noexcept { return refusedBecause_; }

    // Bytes buffered and not yet handed out, and the memory held for them.
    std::size_t buffered() const noexcept { return buffer_.size() - offset_; }
    std::size_t capacity() const noexcept { return buffer_.capacity(); }

private:
    void compact();
    // Total size of the frame at the front when its header is there and
    // acceptable; 0 otherwise.
    std::size_t frontFrameSize() const noexcept;

    std::vector<uint8_t> buffer_;
    std::size_t offset_ = 0;  // first byte not yet handed out
    uint32_t maxPayload_;
    bool bad_ = false;
    PacketHeader refused_{};
    HeaderStatus refusedBecause_ = HeaderStatus::Ok;
};

}  // namespace Korrafin
