// Shared set-up of the end-to-end tests: a temporary working directory, a
// generated configuration on free loopback ports, the real server binary
// started there, and a database seeded before the server first opens it.
// The tests run inside a network namespace of their own (loopback only).
#pragma once

#include <gtest/gtest.h>

#include <net/if.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/SqliteDatabase.h"
#include "support/BuildPaths.h"
#include "support/Ports.h"
#include "support/ServerConfig.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/TestDatabase.h"


namespace Korrafin::Test {

using namespace std::chrono_literals;

constexpr const char* kReadyLine = "Listening on TCP port";

// True when this process sees no network interface but loopback.
inline bool loopbackOnly() {
    struct if_nameindex* list = ::if_nameindex();
    if (!list) return false;
    bool only = true;
    for (auto* i = list; i->if_index != 0; ++i) only = only && std::string(i->if_name) == "lo";
    ::if_freenameindex(list);
    return only;
}

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The server talks to the network on its own (later: the directory
        // client); it is only ever started where nothing leaves the machine.
        ASSERT_TRUE(loopbackOnly()) << "run this through ctest: it needs a loopback-only network namespace";
    }

    std::string path(const std::string& name) const { return dir.file(name); }

    // server.json with the test's ports; `virtualServers` as given (none
    // when null).
    void writeConfig(const nlohmann::json& virtualServers = nullptr) {
        config.virtualServers = virtualServers;
        config.write(path("server.json"));
    }

    // Virtual servers that take ports of their own besides the main one.
    struct OwnPorts {
        uint16_t port2 = 0;
        uint16_t port3 = 0;
        uint16_t of(uint16_t vsId) const { return vsId == 2 ? port2 : port3; }
    };

    // server.json with three virtual servers of server key "k1": 1 reached
    // through the main port only, 2 and 3 with ports of their own. The main
    // port feeds the lowest id, 1.
    OwnPorts writeThreeVServers() {
        OwnPorts p{freePort(), freePort()};
        writeConfig(nlohmann::json::array({
            {{"id", 1}, {"name", "Eins"}, {"serverKey", "k1"}},
            {{"id", 2}, {"name", "Zwei"}, {"serverKey", "k1"}, {"tcpPort", p.port2}},
            {{"id", 3}, {"name", "Drei"}, {"serverKey", "k1"}, {"tcpPort", p.port3}},
        }));
        return p;
    }

    // Of the virtual servers 2 and 3, the one that is not `vsId`.
    static uint16_t otherOwnPortServer(uint16_t vsId) { return vsId == 2 ? 3 : 2; }

    std::unique_ptr<ServerProcess> start(const std::vector<std::string>& args = {"server.json"},
                                         ServerProcess::Stdout stdoutTo = ServerProcess::Stdout::File) {
        return std::make_unique<ServerProcess>(BuildPaths::serverBinary, dir.path().string(), args,
                                               ServerProcess::Input::Null, stdoutTo);
    }

    // Started and listening.
    std::unique_ptr<ServerProcess> startReady(const std::vector<std::string>& args = {"server.json"}) {
        auto p = start(args);
        if (!p->waitForOutput(kReadyLine)) {
            ADD_FAILURE() << "server did not come up:\n" << p->output() << "\n--- stderr:\n" << p->errors();
        }
        return p;
    }

    // Stops it with `sig` and expects a clean exit.
    void stopCleanly(ServerProcess& p, int sig = SIGTERM) {
        p.signal(sig);
        const auto status = p.waitExit();
        ASSERT_TRUE(status) << "still running after the signal";
        EXPECT_EQ(*status, 0) << p.output() << "\n--- stderr:\n" << p.errors();
    }

    // Channels stored before the server first opens the database; their ids.
    std::vector<uint16_t> seedChannels(const std::vector<std::string>& names) {
        std::filesystem::create_directories(path("data"));
        std::vector<uint16_t> ids;
        {
            DB::SqliteDatabase db(path("data/server.db"));
            initQuietly(db);
            for (const auto& name : names) {
                DB::DbChannel c;
                c.name = name;
                c.parent_id = 0;
                c.is_permanent = true;
                ids.push_back(static_cast<uint16_t>(db.SaveChannel(c)));
            }
        }
        return ids;
    }

    TempDir dir;
    ServerConfig config;
    const uint16_t tcpPort = config.tcpPort;
    const uint16_t udpPort = config.udpPort;
};

}  // namespace Korrafin::Test
