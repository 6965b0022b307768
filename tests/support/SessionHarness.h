// A ClientSession on the server end of a socket pair, read by a thread of its
// own the way the host reads a connection (recv, then onDataReceived; at the
// end drop the reference, then the end hook, e.g. removeSession), and a
// TestClient on the other end.
//
// Typical use: make it, optionally admit `session` to a virtual server, then
// start(). The destructor closes the client end and joins the reader.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "protocol/ClientSession.h"
#include "support/TestClient.h"

namespace Korrafin::Test {

class SessionHarness {
public:
    enum class Transport { Tcp, Unix };

    explicit SessionHarness(uint32_t clientId, Transport transport = Transport::Tcp,
                            const std::string& address = "127.0.0.1")
        : SessionHarness(clientId, transport == Transport::Tcp ? tcpPair() : unixPair(), address) {}

    ~SessionHarness() {
        client.close();
        join();
    }

    SessionHarness(const SessionHarness&) = delete;
    SessionHarness& operator=(const SessionHarness&) = delete;

    // Starts the reader thread. `recvChunk` bytes at most per recv (1 feeds
    // the session one byte at a time). `onEnd` runs on the reader thread
    // after it has dropped its reference.
    void start(std::function<void(uint32_t)> onEnd = {}, std::size_t recvChunk = 8192) {
        auto s = session;
        const uint32_t id = clientId;
        reader_ = std::thread([s = std::move(s), id, onEnd = std::move(onEnd), recvChunk, this]() mutable {
            const int fd = s->fd();
            std::vector<uint8_t> buf(recvChunk);
            for (;;) {
                const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                s->onDataReceived(buf.data(), static_cast<std::size_t>(n));
            }
            s.reset();
            if (onEnd) onEnd(id);
            done_.store(true);
        });
    }

    // Waits for the reader thread (it ends when the connection does).
    void join() {
        if (reader_.joinable()) reader_.join();
    }
    bool readerDone() const { return done_.load(); }

    const uint32_t clientId;
    std::shared_ptr<ClientSession> session;
    TestClient client;

private:
    SessionHarness(uint32_t id, SocketPair pair, const std::string& address)
        : clientId(id), session(std::make_shared<ClientSession>(pair.server, id, address)), client(pair.client) {}

    std::thread reader_;
    std::atomic<bool> done_{false};
};

}  // namespace Korrafin::Test
