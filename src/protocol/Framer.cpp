#include "protocol/Framer.h"

#include <algorithm>

namespace Korrafin {

Framer::Framer(uint32_t maxPayload) : maxPayload_(maxPayload) { buffer_.reserve(kReserve); }

void Framer::append(const uint8_t* data, std::size_t n) {
    if (n == 0) return;
    if (offset_ > 0) compact();
    // The header first: it tells how far the buffer may have to grow.
    if (buffer_.size() < PacketHeader::kSize) {
        const std::size_t head = std::min(n, PacketHeader::kSize - buffer_.size());
        buffer_.insert(buffer_.end(), data, data + head);
        data += head;
        n -= head;
        if (n == 0) return;
    }
    const std::size_t want = buffer_.size() + n;
    if (want > buffer_.capacity()) {
        // Doubling, but never past the frame being received: a frame of
        // 4 MiB holds 4 MiB, not 8.
        std::size_t target = std::max(want, 2 * buffer_.capacity());
        if (const std::size_t frame = frontFrameSize(); frame != 0) target = std::max(want, std::min(target, frame));
        buffer_.reserve(target);
    }
    buffer_.insert(buffer_.end(), data, data + n);
}

Framer::Status Framer::next(Frame& out) {
    if (bad_) return Status::Bad;
    const std::size_t avail = buffer_.size() - offset_;
    if (avail >= PacketHeader::kSize) {
        const uint8_t* p = buffer_.data() + offset_;
        const PacketHeader h = PacketHeader::parse(p);
        const HeaderStatus status = h.check(maxPayload_);
        if (status != HeaderStatus::Ok) {
            // The offending bytes stay; nothing more is handed out.
            bad_ = true;
            refused_ = h;
            refusedBecause_ = status;
            return Status::Bad;
        }
        if (avail - PacketHeader::kSize >= h.length) {
            out = Frame{h.type, p + PacketHeader::kSize, h.length};
            offset_ += PacketHeader::kSize + h.length;
            return Status::Frame;
        }
    }
    compact();
    return Status::NeedMore;
}

void Framer::compact() {
    const std::size_t left = buffer_.size() - offset_;
    if (buffer_.capacity() > kKeepCapacity && left < buffer_.capacity() / 4) {
        // Drained past a large frame: what is left moves to a small buffer
        // and the large one goes back.
        std::vector<uint8_t> fresh;
        fresh.reserve(std::max(kReserve, left));
        fresh.insert(fresh.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_), buffer_.end());
        buffer_.swap(fresh);
    } else if (offset_ == buffer_.size()) {
        buffer_.clear();
    } else if (offset_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    }
    offset_ = 0;
}

std::size_t Framer::frontFrameSize() const noexcept {
    if (buffer_.size() - offset_ < PacketHeader::kSize) return 0;
    const PacketHeader h = PacketHeader::parse(buffer_.data() + offset_);
    if (h.check(maxPayload_) != HeaderStatus::Ok) return 0;
    return offset_ + PacketHeader::kSize + h.length;
}

}  // namespace Korrafin
