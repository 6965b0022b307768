// Virtual servers in this process with members on real sockets, each read by
// a thread of its own the way the host reads a connection (its end removes
// the session from the virtual server). For tests of client requests: a
// member sends the request from its client end, the handler runs on the
// member's reader thread, and the test reads what every client received.
//
// The pieces: makeVServer, connectTo (admitted, not logged in), admit
// (admitted and, unless told otherwise, authenticated without a login),
// sayHello and logIn (the real login); VServerWorld, a virtual server on a
// database of its own with the members it admitted; Scene, a world seen from
// one requester. One test thread uses one world. Members go before the
// virtual server.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "protocol/ClientSession.h"
#include "support/Requests.h"
#include "support/SessionHarness.h"
#include "support/TestDatabase.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
class Server;
}

namespace Korrafin::Test {

// Every defined role, lowest first.
inline const std::vector<UserRole> kRoles = {UserRole::Guest, UserRole::Member, UserRole::Moderator, UserRole::Admin,
                                             UserRole::Owner};

inline VirtualServer::VSConfig vsConfig(uint16_t id, const std::string& name, int32_t maxSlots = 32,
                                        uint16_t tcpPort = 0) {
    VirtualServer::VSConfig c;
    c.id = id;
    c.name = name;
    c.maxSlots = maxSlots;
    c.tcpPort = tcpPort;
    return c;
}

// A virtual server with its storage attached before it is shared, as the
// host does it. Either may be null.
inline std::shared_ptr<VirtualServer> makeVServer(const VirtualServer::VSConfig& cfg,
                                                  std::shared_ptr<DB::IDatabase> db = nullptr,
                                                  Auth::PrivilegeKeyManager* keys = nullptr) {
    auto vs = std::make_shared<VirtualServer>(cfg);
    vs->db = std::move(db);
    vs->keyManager = keys;
    return vs;
}

// A channel with this id in the tree only (no database row), named
// "channel <id>".
inline void addChannel(VirtualServer& vs, uint16_t id, ChannelType type, const std::string& password = "") {
    ChannelInfo c;
    c.id = id;
    c.name = "channel " + std::to_string(id);
    c.type = static_cast<uint8_t>(type);
    c.password = password;
    c.hasPassword = !password.empty();
    vs.channelManager.createChannel(c);
}

// Starts the session's reader thread; when the connection ends the session
// leaves `vs` (when it still exists).
inline void startReading(SessionHarness& h, const std::shared_ptr<VirtualServer>& vs) {
    if (!vs) {
        h.start();
        return;
    }
    std::weak_ptr<VirtualServer> weak = vs;
    h.start([weak](uint32_t id) {
        if (auto v = weak.lock()) v->removeSession(id);
    });
}

// A session admitted to `vs` (when given) whose reader thread runs; it has
// not said Hello.
inline std::unique_ptr<SessionHarness> connectTo(const std::shared_ptr<VirtualServer>& vs, uint32_t clientId,
                                                 const std::string& address = "127.0.0.1",
                                                 SessionHarness::Transport transport = SessionHarness::Transport::Tcp) {
    auto h = std::make_unique<SessionHarness>(clientId, transport, address);
    if (vs) {
        EXPECT_TRUE(vs->acceptSession(h->session));
    }
    startReading(*h, vs);
    return h;
}

// How admit sets a session up.
struct Admission {
    std::string nickname = "";
    UserRole role = UserRole::Member;
    std::string address = "127.0.0.1";
    std::string identity = "";
    bool authenticated = true;  // as after a login, without one
    SessionHost* host = nullptr;     // as the host's accept loops set it
    bool reading = true;        // false: no reader thread, the test feeds the session
};

// A session on a UNIX-domain pair admitted to `vs` and set up as `a` says,
// in no channel.
inline std::unique_ptr<SessionHarness> admit(const std::shared_ptr<VirtualServer>& vs, uint32_t clientId,
                                             const Admission& a = {}) {
    auto h = std::make_unique<SessionHarness>(clientId, SessionHarness::Transport::Unix, a.address);
    if (a.host) h->session->setHost(a.host);
    EXPECT_TRUE(vs->acceptSession(h->session));
    h->session->updateInfo([&](UserInfo& u) {
        u.nickname = a.nickname;
        u.role = a.role;
    });
    h->session->setIdentity(a.identity);
    if (a.authenticated) {
        EXPECT_TRUE(h->session->changeState(SessionState::Connected, SessionState::Authenticated));
    }
    if (a.reading) startReading(*h, vs);
    return h;
}

// Hello and its HelloAck: the session then awaits its AuthRequest.
inline void sayHello(SessionHarness& h) {
    h.client.send(helloRequest());
    auto ack = h.client.next();
    ASSERT_TRUE(ack) << "no HelloAck";
    ASSERT_EQ(ack->type, MessageType::HelloAck);
}

// Hello, AuthRequest and the whole reply sequence. Fails the test unless the
// login is accepted.
inline std::vector<Packet> logIn(SessionHarness& h, const std::string& nickname, const std::string& serverKey = "",
                                 const std::string& identity = "") {
    sayHello(h);
    auto got = requestAndWait(h, authRequest(nickname, serverKey, identity));
    EXPECT_FALSE(got.empty());
    if (!got.empty()) {
        EXPECT_EQ(authResultOf(got.front()).result, 0) << nickname;
    }
    return got;
}

// A virtual server (id `vsId`, "World", 64 slots) on a database file of its
// own with a key manager, or on none, and the members it admitted.
class VServerWorld {
public:
    explicit VServerWorld(uint16_t vsId = 7, bool withDatabase = true) {
        if (withDatabase) {
            database = std::make_unique<TestDatabase>();
            keys = std::make_unique<Auth::PrivilegeKeyManager>(database->db);
        }
        vs = makeVServer(vsConfig(vsId, "World", 64), database ? database->db : nullptr, keys.get());
    }

    ~VServerWorld() { endMembers(); }

    // Closes every member's client and waits for its reader, which removes
    // the session (raising its events) on the way out. After it no thread of
    // a member reaches the virtual server or the hooks attached to it.
    void endMembers() { members_.clear(); }

    VServerWorld(const VServerWorld&) = delete;
    VServerWorld& operator=(const VServerWorld&) = delete;

    // An admitted session with this nickname and role, authenticated unless
    // told otherwise, moved into `channel` (0 = none), with its reader thread
    // running. What the joining sent is drained from every member.
    SessionHarness& join(uint32_t id, const std::string& nickname, UserRole role, uint16_t channel = 1,
                         bool authenticated = true, const std::string& address = "127.0.0.1") {
        Admission a;
        a.nickname = nickname;
        a.role = role;
        a.address = address;
        a.authenticated = authenticated;
        members_.push_back(admit(vs, id, a));
        if (channel != 0) {
            EXPECT_TRUE(vs->moveUserToChannel(id, channel, ""));
        }
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

    // A member made elsewhere (connectTo), kept until the world goes.
    SessionHarness& adopt(std::unique_ptr<SessionHarness> member) {
        members_.push_back(std::move(member));
        return *members_.back();
    }

    void drainAll() {
        for (auto& m : members_) receivedSoFar(*m);
    }

    std::vector<Packet> request(SessionHarness& m, const std::vector<uint8_t>& bytes) {
        return requestAndWait(m, bytes);
    }

    const std::vector<std::unique_ptr<SessionHarness>>& members() const { return members_; }

    std::unique_ptr<TestDatabase> database;
    std::unique_ptr<Auth::PrivilegeKeyManager> keys;
    std::shared_ptr<VirtualServer> vs;

private:
    std::vector<std::unique_ptr<SessionHarness>> members_;
};

struct SceneOptions {
    std::string requesterNick = "chef";
    bool withTarget = false;  // a member for the request to act on
    std::string targetAddress = "127.0.0.1";
    bool withDatabase = true;
};

// A world (virtual server 7) seen from one requester: the requester (client
// 10) with the role under test, a member bystander and a session that has not
// logged in, all but the last in the lobby. With a target, the target is
// client 20, the bystander 30 and the pending session 40; without, the
// bystander is 20 and the pending session 30.
struct Scene {
    explicit Scene(UserRole requesterRole, const SceneOptions& o = SceneOptions()) : world(7, o.withDatabase) {
        requester = &world.join(10, o.requesterNick, requesterRole);
        uint32_t next = 20;
        if (o.withTarget) {
            target = &world.join(next, "target", UserRole::Member, 1, true, o.targetAddress);
            next += 10;
        }
        bystander = &world.join(next, "gast", UserRole::Member);
        pending = &world.join(next + 10, "", UserRole::Guest, 0, /*authenticated=*/false);
    }

    // Everybody but the requester and the target.
    std::vector<SessionHarness*> others() const { return {bystander, pending}; }
    std::vector<SessionHarness*> everyone() const {
        if (target) return {requester, target, bystander, pending};
        return {requester, bystander, pending};
    }

    std::vector<Packet> request(const std::vector<uint8_t>& bytes) { return world.request(*requester, bytes); }

    VServerWorld world;
    SessionHarness* requester = nullptr;
    SessionHarness* target = nullptr;
    SessionHarness* bystander = nullptr;
    SessionHarness* pending = nullptr;
};

}  // namespace Korrafin::Test
