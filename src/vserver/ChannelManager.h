// The channel tree of one virtual server: channel records by id, the members
// of each channel in joining order, and the channel each client was last
// added to. Any thread may call any operation; each takes the tree's one
// mutex for its whole run (a leaf lock) and hands out copies, never
// references; only find may wait, for a new channel's announcement (see
// announce). The hooks run on the calling thread after the mutex has been
// released, so they may call back into the tree; assign them before the tree
// is shared between threads. Never logs, never sends, never touches storage.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "protocol/ChannelInfo.h"
#include "protocol/PacketHeader.h"

namespace Korrafin {

class ChannelManager {
public:
    using Hook = std::function<void(const ChannelInfo&)>;

    static constexpr uint16_t kLobbyId = 1;
    static constexpr uint16_t kFirstAutoId = 2;
    // The channel list (u16 count, then every record) must reach its
    // receivers whole: the guarded create and update below never make it
    // larger than the payload they accept.
    static constexpr std::size_t kMaxListPayload = PacketHeader::kMaxPayload;

    // The record of the lobby (kLobbyId) a virtual server starts with.
    static ChannelInfo lobbyRecord();

    Hook onCreated;
    Hook onDeleted;
    Hook onUpdated;

    ChannelManager() = default;
    ChannelManager(const ChannelManager&) = delete;
    ChannelManager& operator=(const ChannelManager&) = delete;

    // Stores a copy under the record's id, or under the next free automatic id
    // when that is 0 (never 0, 1 or an id in use); replaces a record of that
    // id and empties its member list; returns the id. Returns 0, storing
    // nothing, when the record asks for an automatic id and none is free.
    uint16_t createChannel(const ChannelInfo& info);
    // As createChannel; an explicit id also moves the automatic counter past it.
    uint16_t createChannelWithId(const ChannelInfo& info);
    // As createChannelWithId, but never replaces and never puts a channel
    // under itself: an id of 0 takes the next automatic id. Returns 0,
    // storing nothing, when the id already names a channel, no automatic id
    // is free, the new channel would be its own ancestor (a channel on its
    // parent chain already names its id as parent), or the channel list
    // with it would exceed kMaxListPayload.
    uint16_t createChannelIfFree(const ChannelInfo& info);
    // As createChannelIfFree, but find, all and children do not show the
    // channel until reveal(id), while listPacket does: its creator queues
    // the list that announces it first, so nobody can name it to a client
    // before that list. Until announce(id) a request that names it finds
    // nothing, as for an id no list has held.
    uint16_t createHiddenIfFree(const ChannelInfo& info);
    // The list that announces hidden channel `id` (listPacket, built in the
    // same hold of the mutex). From now until reveal(id) a find of the
    // channel waits for the reveal instead of missing it: a client that has
    // the list already may name the channel while its creator still queues
    // the list to others, and its request is then handled once they all
    // have it. The creator must reveal without waiting on any thread that
    // may call find meanwhile. Throws std::length_error as listPacket does
    // (nothing changed then).
    std::vector<uint8_t> announce(uint16_t channelId);
    // Shows a hidden channel and wakes the finds that wait for it.
    void reveal(uint16_t channelId);
    // Finds that wait for an announcement now (for tests and diagnostics).
    std::size_t waitingFinds() const;
    // True when the channel list with `info` added stays within
    // kMaxListPayload (a test in advance; createChannelIfFree tests again).
    bool listFitsWith(const ChannelInfo& info) const;

    // Stored userCount. Waits while the channel is announced and not yet
    // revealed (see announce).
    std::optional<ChannelInfo> find(uint16_t channelId) const;
    std::vector<ChannelInfo> all() const;                      // live userCount
    // The finished ChannelList packet of all(), hidden channels included,
    // byte for byte, built in one buffer in one hold of the mutex without
    // copying a record. Throws std::length_error as ChannelListWriter does.
    std::vector<uint8_t> listPacket() const;
    std::vector<ChannelInfo> children(uint16_t parentId) const;  // stored userCount

    // Replaces every field but messageCount; false for an unknown id.
    bool updateChannel(const ChannelInfo& info);
    // As updateChannel, but also false, changing nothing, when the record's
    // parentId would make the channel its own ancestor, or when the record
    // is longer on the wire than the one it replaces and the channel list
    // would then exceed kMaxListPayload (a list that is too long already,
    // e.g. from stored rows, may still shrink).
    bool updateChannelAcyclic(const ChannelInfo& info);
    // True when channel `id` lies on the parent chain that starts at
    // `parentId` (itself included): giving `id` that parent closes a loop.
    bool wouldBeOwnAncestor(uint16_t id, uint16_t parentId) const;
    // False for the lobby and for an unknown id. Children and the clients'
    // last-channel entries are left as they are.
    bool deleteChannel(uint16_t channelId);
    // Drops every channel and member list and resets the automatic counter;
    // the clients' last-channel entries stay.
    void clear();

    // False for an unknown channel. A client may be listed more than once:
    // keeping a client in one channel is the caller's job.
    bool addUser(uint16_t channelId, uint32_t clientId);
    // Removes every entry of the client from the channel and forgets its last
    // channel whatever it names; false only for an unknown channel.
    bool removeUser(uint16_t channelId, uint32_t clientId);
    std::vector<uint32_t> usersIn(uint16_t channelId) const;
    // The same list written into `out` (cleared first), so a caller on a hot
    // path can reuse one buffer's capacity. Returns the membership version
    // the list belongs to.
    uint64_t usersIn(uint16_t channelId, std::vector<uint32_t>& out) const;
    // Grows with every change of any member list (a join, a leave, a channel
    // created over an old one, deleted or cleared), before the changing call
    // returns. Lock-free: a reader that keeps copies of member lists compares
    // it with the version of its copy instead of asking again.
    uint64_t membershipVersion() const { return membershipVersion_.load(std::memory_order_acquire); }
    uint32_t userCount(uint16_t channelId) const;
    uint16_t channelOf(uint32_t clientId) const;  // 0 when none

    // True when the channel exists and has no password or the text matches
    // it byte for byte.
    bool checkPassword(uint16_t channelId, const std::string& password) const;
    // Holds the order, or 255 (the last place a byte holds) for any larger
    // one, so a late position never wraps to the front; false for an
    // unknown channel.
    bool setSortOrder(uint16_t channelId, uint16_t order);
    // The new count (32-bit, wrapping); 0 for an unknown channel.
    uint32_t incrementMessageCount(uint16_t channelId);
    uint32_t messageCount(uint16_t channelId) const;

    // Hands out the next free automatic id without storing anything; 0 when
    // none is free.
    uint16_t nextId();

    // Array of the permanent channels (password in plain text).
    nlohmann::json toJson() const;
    // Creates one channel per element with an id above 1 (replacing any of
    // that id); throws the JSON library's type_error for an element that is
    // not an object or a member of the wrong type, keeping earlier channels.
    void fromJson(const nlohmann::json& value);

private:
    // Requires `mutex`. Tries every value once from the counter on.
    uint16_t allocateIdLocked();
    uint16_t storeLocked(const ChannelInfo& info, uint16_t id);
    bool onParentChainLocked(uint16_t id, uint16_t parentId) const;
    // ChannelList payload bytes of the channels held now.
    std::size_t listPayloadLocked() const;
    // Requires `mutex`.
    std::vector<uint8_t> listPacketLocked() const;
    // Takes the mutex; the guarded form applies updateChannelAcyclic's tests.
    bool replace(const ChannelInfo& info, bool guarded);
    uint16_t createIfFree(const ChannelInfo& info, bool hide);
    struct Hidden {
        uint16_t id;
        bool announced;  // its list is being queued: finds wait for the reveal
    };
    // Requires `mutex`; null when the channel is not hidden.
    const Hidden* hiddenLocked(uint16_t channelId) const;
    // Requires `mutex`; shows the channel and wakes the finds that wait.
    void unhideLocked(uint16_t channelId);
    // Requires `mutex`; after every change of `members`.
    void bumpMembershipLocked();

    mutable std::mutex mutex;
    std::unordered_map<uint16_t, ChannelInfo> channels;
    std::unordered_map<uint16_t, std::vector<uint32_t>> members;
    std::unordered_map<uint32_t, uint16_t> userChannel;
    uint16_t nextChannelId = kFirstAutoId;
    std::vector<Hidden> hidden;  // made, not yet revealed: a few at most
    mutable std::condition_variable revealed;
    mutable std::size_t waiting = 0;  // finds in revealed.wait
    // A line of its own: read for every relayed datagram, written only on a
    // change, so it must not share a line with the mutex.
    alignas(64) std::atomic<uint64_t> membershipVersion_{0};
};

}  // namespace Korrafin
