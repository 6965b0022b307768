// A ClientSession on the server end of a socket pair, read by a thread of its
// own the way the host reads a connection (recv, then onDataReceived; at the
// end disconnect, drop the reference, then the end hook, e.g. removeSession), and a
// TestClient on the other end. Also the two ways a test learns that the
// server is done with what it was sent:
//  - requestAndWait / untilHandled: a request every authenticated session
//    answers at once (a FileRequest for a name the store refuses, answered
//    with FileData {name, 0}, changing nothing), sent after the requests under
//    test. The reader thread handles packets in order, so its answer comes
//    after everything the earlier handlers sent, to this client and to
//    others. A session that is not authenticated never answers it.
//  - receivedSoFar: a marker the test thread sends to the client itself,
//    for what operations on the test thread (or handlers that are known to
//    be finished) have sent.
//
// Typical use: make it, optionally admit `session` to a virtual server, then
// start(). The destructor closes the client end and joins the reader.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/Requests.h"
#include "support/TestClient.h"
#include "support/Wire.h"

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
            // As the host ends a connection: closed (a failed outgoing queue
            // names its reason here), then the reference goes.
            s->disconnect("");
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
    // Each connection counts its wrong credentials apart from every other
    // test's: the process-wide table would carry one test's failures into
    // the next, and whether they had aged away would depend on the machine's
    // speed. Tests of the limits set a guard of their own.
    SessionHarness(uint32_t id, SocketPair pair, const std::string& address)
        : clientId(id), session(std::make_shared<ClientSession>(pair.server, id, address)), client(pair.client) {
        session->setCredentialGuard(std::make_shared<CredentialGuard>());
    }

    std::thread reader_;
    std::atomic<bool> done_{false};
};

using Harness = std::unique_ptr<SessionHarness>;

// ---------------------------------------------------------------- has the server finished?

// Sends the sync request and returns every packet that arrived before its
// answer: everything the requests sent before it caused.
inline std::vector<Packet> untilHandled(TestClient& client) {
    static std::atomic<int> seq{0};
    const std::string name = "sync/" + std::to_string(++seq);
    client.send(fileRequest(name));
    std::vector<Packet> out;
    for (;;) {
        // A handler that reads thousands of rows takes seconds under a
        // sanitizer, and many times that on a loaded machine.
        auto p = client.next(kPatience);
        if (!p) {
            ADD_FAILURE() << "the sync request was not answered";
            return out;
        }
        if (p->type == MessageType::FileData && p->reader().readStr() == name) return out;
        out.push_back(std::move(*p));
    }
}

// Sends `request` from the member's client and returns every packet the
// member received until the handler had finished. Needs an authenticated
// session with its reader thread running.
inline std::vector<Packet> requestAndWait(SessionHarness& m, const std::vector<uint8_t>& request) {
    m.client.send(request);
    return untilHandled(m.client);
}

// The marker: a Pong, which the server itself never sends.
inline std::vector<uint8_t> markerPacket() { return stringRequest(MessageType::Pong, "-- marker --"); }

inline bool isMarker(const Packet& p) {
    if (p.type != MessageType::Pong) return false;
    auto r = p.reader();
    return r.remaining() >= 2 && r.readStr() == "-- marker --" && r.remaining() == 0;
}

// Every packet the client received so far: what the operations that have
// finished sent to it. A closed session is read until it stays quiet.
inline std::vector<Packet> receivedSoFar(SessionHarness& h) {
    if (h.session->isClosed()) return h.client.drain(std::chrono::milliseconds(200));
    std::vector<Packet> out;
    h.session->send(markerPacket());
    for (;;) {
        auto p = h.client.next();
        if (!p) {
            ADD_FAILURE() << "the marker never arrived for client " << h.clientId;
            return out;
        }
        if (isMarker(*p)) return out;
        out.push_back(std::move(*p));
    }
}

}  // namespace Korrafin::Test
