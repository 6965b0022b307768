// What a client session may ask of the process host beyond its own virtual
// server: the registry for the server administration requests, and the
// master database's bot tokens. The host implements it and hands itself to
// every session before its reader thread starts; it outlives its sessions.
// Called on the session's reader thread; implementations take their own
// locks and do not call back into the session.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Korrafin {

class VirtualServer;

namespace DB {
class IDatabase;
}

class SessionHost {
public:
    virtual ~SessionHost() = default;

    // Every virtual server, paused ones included, in registry order.
    virtual std::vector<std::shared_ptr<VirtualServer>> allVServers() const = 0;
    // Stops virtual server `id` and closes its own listener; false for an
    // unknown id.
    virtual bool pauseVServer(uint16_t id) = 0;
    // Starts virtual server `id` again; false for an unknown id or a
    // listener that cannot be reopened.
    virtual bool resumeVServer(uint16_t id) = 0;
    // Whether `db` is the master database, where bots' tokens live.
    virtual bool isMasterDatabase(const DB::IDatabase* db) const = 0;
    // A token of the master database was deleted: the bots logged in with
    // it go.
    virtual void onBotTokenRevoked(int64_t tokenId) = 0;
};

}  // namespace Korrafin
