// The configuration file of a server under test, for the in-process host and
// for the real binary alike: the client, voice and bot API ports picked free,
// storage and log where the test puts them, the virtual servers as given, and
// nothing that reaches beyond the machine (not listed in the directory; the
// web panel only on a port the test names). Also the document the server
// generates when it finds no file.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "support/Ports.h"
#include "support/TempDir.h"

namespace Korrafin::Test {

struct ServerConfig {
    uint16_t tcpPort = freePort(SOCK_STREAM);
    uint16_t udpPort = freePort(SOCK_DGRAM);
    uint16_t botApiPort = freePort(SOCK_STREAM);
    std::string dbPath = "./data/server.db";
    std::string logFile = "korrafin.log";
    nlohmann::json virtualServers = nullptr;  // left out when null
    uint16_t webPanelPort = 0;                 // 0: the panel is off
    // The directory client's settings; unlisted, and the address detected,
    // which fails where the tests run unless a test maps the directory's
    // names to its own fake.
    nlohmann::json globalApi = {{"listed", false}};

    nlohmann::json document() const {
        const nlohmann::json panel = webPanelPort == 0 ? nlohmann::json{{"enabled", false}}
                                                       : nlohmann::json{{"enabled", true}, {"port", webPanelPort}};
        nlohmann::json doc{{"server",
                            {{"tcpPort", tcpPort},
                             {"udpPort", udpPort},
                             {"botApiPort", botApiPort},
                             {"logFile", logFile},
                             {"dbPath", dbPath},
                             {"webPanel", panel}}},
                           {"globalApi", globalApi}};
        if (!virtualServers.is_null()) doc["virtualServers"] = virtualServers;
        return doc;
    }

    void write(const std::string& path) const { writeFile(path, document().dump(4)); }
};

// The text of the file the server writes when there is none, with `key` as
// the first virtual server's key.
inline std::string defaultConfigText(const std::string& key) {
    return R"({
    "globalApi": {
        "country": "DE",
        "description": "",
        "listed": true,
        "publicIp": "auto"
    },
    "server": {
        "logFile": "korrafin.log",
        "logLevel": "info",
        "tcpPort": 9987,
        "udpPort": 9988,
        "webPanel": {
            "enabled": true,
            "password": "quill",
            "port": 9380
        }
    },
    "virtualServers": [
        {
            "id": 1,
            "maxSlots": 32,
            "name": "Korrafin Server",
            "serverKey": ")" +
           key + R"(",
            "welcomeMessage": "Welcome to Korrafin!"
        }
    ]
})";
}

}  // namespace Korrafin::Test
