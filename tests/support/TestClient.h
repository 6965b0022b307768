// The client end of a protocol connection for tests: writes raw bytes or
// packets, reads and parses the packets the server sends, and speaks the
// everyday requests (Hello, login, channel join, chat) with their replies
// parsed. One thread uses one TestClient. Also: connected socket pairs
// (loopback TCP or a UNIX-domain pair) and a connection to a running server.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/MessageType.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "support/Ports.h"
#include "support/Requests.h"
#include "support/SocketPairs.h"
#include "support/Time.h"
#include "support/Wire.h"

namespace Korrafin::Test {

using namespace std::chrono_literals;

class TestClient {
public:
    explicit TestClient(int fd) : fd_(fd) {}
    ~TestClient() { close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // A connection to 127.0.0.1:port; null when it is refused.
    static std::unique_ptr<TestClient> dial(uint16_t port, const DialOptions& options = {}) {
        const int fd = connectLoopback(port, options);
        if (fd < 0) return nullptr;
        return std::make_unique<TestClient>(fd);
    }

    int fd() const { return fd_; }

    // ---------------------------------------------------------------- raw traffic

    void sendBytes(const uint8_t* data, std::size_t len) {
        while (len > 0) {
            const ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("TestClient: send failed");
            data += n;
            len -= static_cast<std::size_t>(n);
        }
    }
    void send(const std::vector<uint8_t>& bytes) { sendBytes(bytes.data(), bytes.size()); }
    void send(const PacketBuilder& b) { send(b.finalise()); }

    // The next packet, or nothing when none is complete within `timeout`
    // (or the connection ended).
    std::optional<Packet> next(std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (queue_.empty()) {
            if (eof_) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(left)) return std::nullopt;
        }
        Packet p = std::move(queue_.front());
        queue_.pop_front();
        return p;
    }

    // Every packet that arrives until the connection has been quiet for `quiet`.
    std::vector<Packet> drain(std::chrono::milliseconds quiet = 150ms) {
        std::vector<Packet> out;
        while (auto p = next(quiet)) out.push_back(std::move(*p));
        return out;
    }

    // The next packet of `type` that `match` accepts (any, without one).
    // Every packet read on the way, that one included, is kept in `seen`.
    std::optional<Packet> waitFor(MessageType type, std::chrono::milliseconds timeout = kPatience,
                                  const std::function<bool(const Packet&)>& match = {}) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto p = next(left);
            if (!p) return std::nullopt;
            seen.push_back(*p);
            if (p->type == type && (!match || match(*p))) return p;
        }
    }

    // Reads until the server ends the connection (packets that arrive first
    // stay queued). False when it is still open after `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(left)) return eof_;
        }
        return true;
    }

    bool closed() const { return eof_; }

    // For a caller that polls many clients itself: reads once what the
    // socket holds now, without waiting, and queues the packets that
    // completes (next(0ms) takes them). False once the connection has ended.
    bool receiveNow() {
        if (!eof_) fill(std::chrono::milliseconds(0));
        return !eof_;
    }

    // Stops reading: the server's writes pile up in the socket buffers.
    void shrinkReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // ---------------------------------------------------------------- everyday requests

    // Hello and its answer (the virtual server's id is kept in `vsId`);
    // nothing when none comes.
    std::optional<HelloAck> hello() {
        send(helloRequest());
        auto p = waitFor(MessageType::HelloAck);
        if (!p) return std::nullopt;
        HelloAck ack = helloAckOf(*p);
        vsId = ack.vsId;
        return ack;
    }

    // AuthRequest, then everything up to the answer of the entry channel's
    // join; keeps the client id, role and channel. False when the login was
    // refused or did not finish.
    bool login(const std::string& nickname, const std::string& serverKey = "", const std::string& identity = "") {
        send(authRequest(nickname, serverKey, identity));
        auto response = waitFor(MessageType::AuthResponse);
        if (!response) return false;
        const AuthResult auth = authResultOf(*response);
        if (auth.result != 0) return false;
        clientId = auth.clientId;
        role = auth.role;
        auto joined = waitFor(MessageType::ChannelJoinResult);
        if (!joined) return false;
        channel = joinResultOf(*joined).second;
        return true;
    }

    // ChannelJoin and its answer; true when the client is in that channel now.
    bool join(uint16_t channelId, const std::string& password = "") {
        send(channelJoinRequest(channelId, password));
        auto result = waitFor(MessageType::ChannelJoinResult);
        if (!result) return false;
        const auto [code, joined] = joinResultOf(*result);
        if (code != 0) return false;
        channel = joined;
        return channel == channelId;
    }

    void chat(const std::string& text) { send(chatRequest(text)); }

    // What the everyday requests learnt, and every packet `waitFor` read.
    uint16_t vsId = 0;
    uint32_t clientId = 0;
    uint8_t role = 0;
    uint16_t channel = 0;
    std::vector<Packet> seen;

private:
    // One poll + recv; false on time-out.
    bool fill(std::chrono::milliseconds timeout) {
        pollfd pfd{fd_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) return false;
        uint8_t tmp[65536];
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) {
            eof_ = true;
            return true;
        }
        buf_.insert(buf_.end(), tmp, tmp + n);
        parse();
        return true;
    }

    void parse() {
        std::size_t off = 0;
        while (buf_.size() - off >= PacketHeader::kSize) {
            const PacketHeader h = PacketHeader::parse(buf_.data() + off);
            if (h.check() != HeaderStatus::Ok) throw std::runtime_error("TestClient: server sent a bad header");
            if (buf_.size() - off - PacketHeader::kSize < h.length) break;
            const auto* p = buf_.data() + off + PacketHeader::kSize;
            queue_.push_back(Packet{h.type, std::vector<uint8_t>(p, p + h.length)});
            off += PacketHeader::kSize + h.length;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(off));
    }

    int fd_;
    bool eof_ = false;
    std::vector<uint8_t> buf_;
    std::deque<Packet> queue_;
};

}  // namespace Korrafin::Test
