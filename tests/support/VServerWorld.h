// A virtual server on a real database file (with a key manager), and members
// on real sockets, each read by a thread of its own the way the host reads a
// connection (its end removes the session from the virtual server). For tests
// of client requests: a member sends the request from its client end, the
// handler runs on the member's reader thread, and the test reads what every
// client received.
//
// One test thread uses one world. Members go before the virtual server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/SessionHarness.h"
#include "support/TestClient.h"
#include "support/TestDatabase.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {

// A request every authenticated session answers at once with FileData
// {name, 0} and that changes nothing: a name the file store refuses. Sent
// after the request under test, its answer proves the handler has finished.
inline std::vector<uint8_t> syncRequest(const std::string& name = "sync/") {
    PacketBuilder b(MessageType::FileRequest);
    b.writeStr(name);
    return b.finalise();
}

// A packet the server itself sends, used to mark the end of what a client
// has received so far.
inline std::vector<uint8_t> markerPacket() {
    PacketBuilder b(MessageType::ServerSettings);
    b.writeStr("marker");
    return b.finalise();
}

// Sends `request` from the member's client and returns every packet the
// member received until the handler had finished. Needs an authenticated
// member (a session in another state would never answer the sync request).
inline std::vector<Packet> requestAndWait(SessionHarness& m, const std::vector<uint8_t>& request) {
    static std::atomic<int> seq{0};
    const std::string name = "sync/" + std::to_string(++seq);
    m.client.send(request);
    m.client.send(syncRequest(name));
    std::vector<Packet> out;
    for (;;) {
        auto p = m.client.next();
        if (!p) {
            ADD_FAILURE() << "no answer to the sync request of client " << m.clientId;
            return out;
        }
        if (p->type == MessageType::FileData && p->reader().readStr() == name) return out;
        out.push_back(std::move(*p));
    }
}
inline std::vector<Packet> requestAndWait(SessionHarness& m, const PacketBuilder& b) {
    return requestAndWait(m, b.finalise());
}

// Every packet the member received so far: anything the handlers that have
// finished sent to it. A closed session is read until it stays quiet.
inline std::vector<Packet> receivedSoFar(SessionHarness& m) {
    std::vector<Packet> out;
    if (m.session->isClosed()) {
        while (auto p = m.client.next(std::chrono::milliseconds(200))) out.push_back(std::move(*p));
        return out;
    }
    m.session->send(markerPacket());
    for (;;) {
        auto p = m.client.next();
        if (!p) {
            ADD_FAILURE() << "marker never arrived for client " << m.clientId;
            return out;
        }
        if (p->type == MessageType::ServerSettings) return out;
        out.push_back(std::move(*p));
    }
}

class VServerWorld {
public:
    explicit VServerWorld(uint16_t vsId = 7, bool withDatabase = true) {
        VirtualServer::VSConfig cfg;
        cfg.id = vsId;
        cfg.name = "World";
        cfg.maxSlots = 64;
        vs = std::make_shared<VirtualServer>(cfg);
        if (withDatabase) {
            database = std::make_unique<TestDatabase>();
            keys = std::make_unique<Auth::PrivilegeKeyManager>(database->db);
            vs->db = database->db;
            vs->keyManager = keys.get();
        }
    }

    ~VServerWorld() {
        // Closing a client ends its reader, which removes the session.
        members_.clear();
    }

    VServerWorld(const VServerWorld&) = delete;
    VServerWorld& operator=(const VServerWorld&) = delete;

    // An admitted session with this nickname and role, authenticated unless
    // told otherwise, moved into `channel` (0 = none), with its reader thread
    // running. What the joining sent is drained from every member.
    SessionHarness& join(uint32_t id, const std::string& nickname, UserRole role, uint16_t channel = 1,
                         bool authenticated = true, const std::string& address = "127.0.0.1") {
        auto h = std::make_unique<SessionHarness>(id, SessionHarness::Transport::Unix, address);
        EXPECT_TRUE(vs->acceptSession(h->session));
        h->session->updateInfo([&](UserInfo& u) {
            u.nickname = nickname;
            u.role = role;
        });
        if (authenticated) {
            EXPECT_TRUE(h->session->changeState(SessionState::Connected, SessionState::Authenticated));
        }
        if (channel != 0) {
            EXPECT_TRUE(vs->moveUserToChannel(id, channel, ""));
        }
        std::weak_ptr<VirtualServer> weak = vs;
        h->start([weak](uint32_t clientId) {
            if (auto v = weak.lock()) v->removeSession(clientId);
        });
        members_.push_back(std::move(h));
        drainAll();
        return *members_.back();
    }

    // A channel stored in the database (its row id is its id) and in the tree.
    uint16_t addChannel(const std::string& name, ChannelType type = ChannelType::Text, uint16_t maxUsers = 0,
                        const std::string& password = "") {
        ChannelInfo c;
        c.name = name;
        c.type = static_cast<uint8_t>(type);
        c.maxUsers = maxUsers;
        c.password = password;
        c.hasPassword = !password.empty();
        c.isPermanent = false;
        if (database) {
            DB::DbChannel row;
            row.name = name;
            row.channel_type = static_cast<int32_t>(type);
            row.max_users = maxUsers;
            row.password = password;
            row.has_password = !password.empty();
            row.is_permanent = false;
            c.id = static_cast<uint16_t>(database->real->SaveChannel(row));
        }
        return vs->channelManager.createChannel(c);
    }

    void drainAll() {
        for (auto& m : members_) receivedSoFar(*m);
    }

    std::vector<Packet> request(SessionHarness& m, const std::vector<uint8_t>& bytes) {
        return requestAndWait(m, bytes);
    }
    std::vector<Packet> request(SessionHarness& m, const PacketBuilder& b) { return requestAndWait(m, b.finalise()); }

    const std::vector<std::unique_ptr<SessionHarness>>& members() const { return members_; }

    std::unique_ptr<TestDatabase> database;
    std::unique_ptr<Auth::PrivilegeKeyManager> keys;
    std::shared_ptr<VirtualServer> vs;

private:
    std::vector<std::unique_ptr<SessionHarness>> members_;
};

}  // namespace Korrafin::Test
