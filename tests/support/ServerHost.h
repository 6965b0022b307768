// A Server started in this process (init only; serving is up to the test)
// from a configuration written into a temp directory: free ports, a database
// of its own in that directory, no log file. Its start-up lines on standard
// output are swallowed. `beforeInit` may wire the server (e.g. its plugin
// host) or the test (e.g. its working directory, in the host's folder)
// between construction and init.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "server/Server.h"
#include "support/ServerConfig.h"
#include "support/TempDir.h"

namespace Korrafin::Test {

class Host {
public:
    explicit Host(ServerConfig cfg = {}, const std::function<void(Host&)>& beforeInit = {})
        : config(std::move(cfg)), path(dir.file("server.json")) {
        config.dbPath = dir.file("data/server.db");
        config.logFile = "";
        config.write(path);
        server = std::make_unique<Server>();
        if (beforeInit) beforeInit(*this);
        testing::internal::CaptureStdout();
        ok = server->init(path);
        testing::internal::GetCapturedStdout();
    }

    ServerConfig config;
    TempDir dir;
    std::string path;
    std::unique_ptr<Server> server;
    bool ok = false;
};

}  // namespace Korrafin::Test
