// The voice relay: one UDP socket and one receive thread for the process.
// A datagram names a virtual server and a channel; the relay forwards it,
// byte for byte, to every other member of that channel whose UDP address it
// has learned. Addresses are learned only from datagrams it relays: the
// sender id must name a live session admitted to that virtual server, the
// session must be in the named channel, and the datagram must come from the
// IP address of the session's TCP connection. The host forgets a client's
// address when its connection ends.
//
// Threads: the receive thread runs dispatch; injectPcm may run on any thread;
// the host calls start, stop, registerVServer, unregisterVServer and
// forgetClient from its threads. dispatch may also be called directly (tests).
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

    // Binds 0.0.0.0:port (0 picks a free port) and starts the receive thread.
    // False, with a log line, when the socket cannot be made or bound, or when
    // the relay was started before.
    bool start(uint16_t port);
    // Ends the receive thread (shuts the socket down to wake it, then joins).
    // Idempotent; a second caller waits for the first. The socket itself is
    // closed by the destructor, so no injection can write to a reused number.
    void stop();
    bool isRunning() const { return running_.load(std::memory_order_acquire); }
    // The bound port; 0 before a successful start.
    uint16_t localPort() const { return localPort_.load(std::memory_order_acquire); }

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

    // Handles one received datagram from ip:port (host byte order). False when
    // it was dropped: shorter than its header or its declared payload, an
    // unregistered virtual server, or a sender that fails the rules above.
    // No allocation once the buffers of the calling thread have grown.
    bool dispatch(const uint8_t* data, std::size_t len, uint32_t ip, uint16_t port);

private:
    struct Peer {
        uint32_t tcpIp = 0;  // the session's TCP address, parsed once
        Endpoint udp;
        sockaddr_in to{};  // `udp` as the send calls take it, made when it changes
    };

    void receiveLoop();

    std::atomic<int> fd_{-1};
    std::thread receiveThread_;
    std::atomic<bool> running_{false};
    std::atomic<uint16_t> localPort_{0};
    std::mutex lifecycleMutex_;  // serialises start and stop

    mutable std::mutex vsMutex_;
    std::unordered_map<uint16_t, std::shared_ptr<VirtualServer>> vservers_;

    mutable std::mutex endpointMutex_;
    std::unordered_map<uint32_t, Peer> endpoints_;

    // Sequence numbers of injected audio, shared by every channel.
    static std::atomic<uint32_t> s_seq;
};

}  // namespace Korrafin
