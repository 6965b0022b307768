// The record of one channel, as the channel tree keeps it, and its wire form.
// A plain copyable value with no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/PacketBuilder.h"
#include "protocol/PacketReader.h"

namespace Korrafin {

enum class ChannelType : uint8_t { Voice = 0, Text = 1, News = 2, Spacer = 3 };

// "voice", "text", "news" or "spacer"; any other value reads as "voice".
constexpr const char* channelTypeText(uint8_t type) {
    switch (type) {
        case static_cast<uint8_t>(ChannelType::Text): return "text";
        case static_cast<uint8_t>(ChannelType::News): return "news";
        case static_cast<uint8_t>(ChannelType::Spacer): return "spacer";
        default: return "voice";
    }
}

struct ChannelInfo {
    // The body after the u16 length prefix: 20 bytes of numbers, then five
    // strings of 2 + length bytes each.
    static constexpr std::size_t kMaxWireBody = 0xFFFF;
    static constexpr std::size_t kFixedWireBody = 20 + 5 * 2;

    uint16_t id = 0;        // 0 asks the tree for a new id
    uint16_t parentId = 0;  // 0 = top level
    std::string name;
    std::string description;
    std::string password;   // never put on the wire
    bool hasPassword = false;
    uint16_t maxUsers = 0;  // 0 = unlimited
    uint32_t userCount = 0;
    uint8_t sortOrder = 0;
    bool isPermanent = true;
    uint8_t requiredRole = 0;  // a UserRole value
    uint8_t type = 0;          // a ChannelType value
    bool logMode = false;
    std::string iconUrl;
    std::string bannerUrl;
    std::string textColor;
    uint32_t messageCount = 0;

    // Appends the u16 body length and the sixteen body fields (no password).
    // Never writes a wrong length and never throws for long strings: when the
    // strings together do not fit the 65535-byte body, they are cut (at a
    // UTF-8 character boundary where there is one) in the order description,
    // textColor, bannerUrl, iconUrl, name until they do.
    void serialise(PacketBuilder& b) const;
    // The wireSize() bytes serialise appends, written at `out` (which has
    // room for them) with `users` as the user count; returns their end.
    uint8_t* writeWire(uint8_t* out, uint32_t users) const;
    // The bytes serialise appends: the u16 length prefix and the body.
    std::size_t wireSize() const;
    // True when serialise writes every string whole: together they fit the
    // 16-bit body. The password is never on the wire and does not count.
    bool fitsWireWhole() const;

    // Reads the u16 length and exactly that many bytes from `r`. Fields up to
    // logMode are required; iconUrl, bannerUrl, textColor and messageCount
    // are read only while body bytes remain; surplus body bytes are skipped.
    // Throws the reader's underflow error.
    static ChannelInfo deserialise(PacketReader& r);
};

// MessageType::ChannelList: u16 count, then each record in the given order.
// Throws std::length_error for more than 65535 records.
PacketBuilder buildChannelList(const std::vector<ChannelInfo>& channels);

// A finished ChannelList packet (header included) built in one buffer: sized
// once for the records, which are then copied in one after the other. A
// plain value used by one thread.
class ChannelListWriter {
public:
    // For `count` records of `recordBytes` wire bytes together. Throws
    // std::length_error for more than 65535 records or a payload over 4 GiB - 1.
    ChannelListWriter(std::size_t count, std::size_t recordBytes);
    // The next record, with `users` as its user count. Adding more records
    // or bytes than announced throws std::length_error.
    void add(const ChannelInfo& channel, uint32_t users);
    // The packet; throws std::length_error unless exactly the announced
    // records were added.
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> packet_;
    std::size_t count_;
    std::size_t added_ = 0;
    std::size_t at_;  // where the next record goes
};

}  // namespace Korrafin
