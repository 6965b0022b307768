// The voice relay: a few UDP sockets sharing one port (SO_REUSEPORT), each
// with a relay thread of its own; one socket and one thread on a single core.
// The kernel picks the socket by the sender's address and port, so all
// datagrams of one sender pass through one thread, in order, and leave by
// one socket. A datagram names a virtual server and a channel; the relay
// forwards it, byte for byte, to every other member of that channel whose
// UDP address it has learned. Addresses are learned only from datagrams it
// relays: the sender id must name a live session admitted to that virtual
// server, the session must be in the named channel, and the datagram must
// come from the IP address of the session's TCP connection. The host forgets
// a client's address when its connection ends.
//
// Threads: the relay threads run the datagrams they receive; injectPcm may
// run on any thread; the host calls start, stop, registerVServer,
// unregisterVServer and forgetClient from its threads. dispatch may also be
// called directly (tests).
//
// Tables: each relay thread keeps copies of the virtual servers and of the
// member lists it serves, and reads them without a lock. Per datagram it
// compares two version numbers, the relay's (register, unregister, forget)
// and the channel tree's (join, leave), with those of its copies and asks
// again when one moved, so a change is seen before the next datagram the
// thread forwards. A learned address lives in an atomic of the client's
// shared entry: learning and following a new port take no lock on the way.
// An idle relay thread lets go of its virtual servers and sleeps in the
// receive call.
//
// Locks: vsMutex_ and endpointMutex_ are never held together, never held
// while a channel tree is asked, and never held while sending. The host takes
// vsMutex_ (register, unregister) while holding its registry mutex, never the
// other way round.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Korrafin {

class VirtualServer;

// The 20-byte little-endian header in front of every voice payload.
struct VoicePacketHeader {
    static constexpr std::size_t kSize = 20;

    uint32_t senderId = 0;
    uint16_t vsId = 0;
    uint16_t channelId = 0;
    uint32_t seq = 0;
    uint32_t reserved = 0;
    uint16_t payloadType = 0;
    uint16_t payloadLen = 0;

    // Reads kSize bytes.
    static VoicePacketHeader parse(const uint8_t* p);
    // Writes kSize bytes.
    void write(uint8_t* p) const;
};

class UdpVoiceServer {
public:
    // Sender id of injected audio; never a client's.
    static constexpr uint32_t kInjectSenderId = 0xFFFF0000u;
    // Payload type of injected audio: signed 16-bit PCM, little-endian.
    static constexpr uint16_t kPcmPayloadType = 2;
    // Bytes read of one received datagram; the rest is cut off.
    static constexpr std::size_t kMaxDatagram = 2048;
    // The payload length field is 16 bits wide.
    static constexpr std::size_t kMaxInjectBytes = 0xFFFF;

    // The last UDP source of an accepted datagram, host byte order.
    struct Endpoint {
        uint32_t ip = 0;
        uint16_t port = 0;
    };

    UdpVoiceServer() = default;
    // Stops, then closes the socket.
    ~UdpVoiceServer();

    UdpVoiceServer(const UdpVoiceServer&) = delete;
    UdpVoiceServer& operator=(const UdpVoiceServer&) = delete;

    // Binds 0.0.0.0:port (0 picks a free port) and starts `threads` relay
    // threads, each on a socket of its own on that port (0: as many as
    // cores this process may run on). A port somebody holds fails the start,
    // even one held with SO_REUSEPORT. False, with a log line, when a socket
    // cannot be made or bound, or when the relay was started before.
    bool start(uint16_t port, unsigned threads = 0);
    // Ends the relay threads (shuts the sockets down to wake them, then
    // joins). Idempotent; a second caller waits for the first. The sockets
    // are closed by the destructor, so no injection can write to a reused
    // number.
    void stop();
    bool isRunning() const { return running_.load(std::memory_order_acquire); }
    // The bound port; 0 before a successful start.
    uint16_t localPort() const { return localPort_.load(std::memory_order_acquire); }
    // Relay threads started; 0 before a successful start.
    unsigned threadCount() const { return threadCount_.load(std::memory_order_acquire); }
    // The cores this process may run on (its affinity mask), at least 1.
    static unsigned machineThreads();

    void registerVServer(uint16_t id, std::shared_ptr<VirtualServer> vs);
    void unregisterVServer(uint16_t id);
    // Drops what was learned about the client. The host calls it when the
    // client's connection has ended (after the session was closed).
    void forgetClient(uint32_t clientId);
    std::optional<Endpoint> endpointOf(uint32_t clientId) const;

    // Sends `count` samples as one datagram (sender kInjectSenderId, payload
    // type 2, the next injection sequence number) to every member of the
    // channel whose address is known. Nothing for null samples, a count of 0
    // or less, more than kMaxInjectBytes of payload, a relay that is not
    // running, an unknown virtual server or an empty channel. No allocation
    // once the buffers of the calling thread have grown.
    void injectPcm(uint16_t vsId, uint16_t channelId, const int16_t* samples, int count);

    // Handles one received datagram from ip:port (host byte order) and sends
    // what it relays from the first socket before it returns. False when it
    // was dropped: shorter than its header or its declared payload, an
    // unregistered virtual server, or a sender that fails the rules above.
    // Starts from empty copies of the tables each call; the relay threads
    // keep theirs.
    bool dispatch(const uint8_t* data, std::size_t len, uint32_t ip, uint16_t port);

private:
    struct Peer;
    struct RelayCache;

    // Judges one datagram with the copies of `cache` (refreshing them when a
    // version moved) and appends what it relays to cache.out; nothing is
    // sent here. `data` must stay valid until cache.out is sent.
    bool relayInto(RelayCache& cache, const uint8_t* data, std::size_t len, uint32_t ip, uint16_t port);
    // Brings the copy of the virtual servers up to the relay's version.
    void syncVServers(RelayCache& cache);
    // Asks the channel tree for the members of one channel and finds (or
    // makes) the shared entry of every member with a live session.
    void refreshView(RelayCache& cache, VirtualServer& vs, uint16_t channelId, uint32_t key);
    void relayLoop(int fd);
    // Closes every socket of a start that failed part way. Caller holds
    // lifecycleMutex_.
    void closeSockets();

    std::atomic<int> fd_{-1};  // the first socket: injection and direct dispatch send from it
    std::vector<int> fds_;     // every socket, fd_ first; written only by start and the destructor
    std::vector<std::thread> threads_;
    std::atomic<bool> running_{false};
    std::atomic<uint16_t> localPort_{0};
    std::atomic<unsigned> threadCount_{0};
    std::mutex lifecycleMutex_;  // serialises start and stop

    mutable std::mutex vsMutex_;
    std::unordered_map<uint16_t, std::shared_ptr<VirtualServer>> vservers_;

    mutable std::mutex endpointMutex_;
    std::unordered_map<uint32_t, std::shared_ptr<Peer>> endpoints_;

    // Grows with every register, unregister and forget; relay threads compare
    // it per datagram. A line of its own, as it is read far more than written.
    alignas(64) std::atomic<uint64_t> tableVersion_{1};

    // Sequence numbers of injected audio, shared by every channel.
    static std::atomic<uint32_t> s_seq;
};

}  // namespace Korrafin
