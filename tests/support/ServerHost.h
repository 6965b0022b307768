// A Server started in this process from a configuration written into a temp
// directory: free ports, a database of its own, no log file. Its start-up
// lines on standard output are swallowed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "server/Server.h"
#include "support/Ports.h"
#include "support/TempDir.h"

namespace Korrafin::Test {

struct HostConfig {
    uint16_t tcpPort = freePort(SOCK_STREAM);
    uint16_t udpPort = freePort(SOCK_DGRAM);
    nlohmann::json virtualServers = nlohmann::json::array();
};

class Host {
public:
    explicit Host(const HostConfig& cfg = {}) : config(cfg), path(dir.file("server.json")) {
        nlohmann::json doc{{"server",
                            {{"tcpPort", cfg.tcpPort},
                             {"udpPort", cfg.udpPort},
                             {"dbPath", dir.file("data/server.db")},
                             {"logFile", ""}}}};
        if (!cfg.virtualServers.empty()) doc["virtualServers"] = cfg.virtualServers;
        writeFile(path, doc.dump(4));
        server = std::make_unique<Server>();
        testing::internal::CaptureStdout();
        ok = server->init(path);
        testing::internal::GetCapturedStdout();
    }

    HostConfig config;
    TempDir dir;
    std::string path;
    std::unique_ptr<Server> server;
    bool ok = false;
};

}  // namespace Korrafin::Test
