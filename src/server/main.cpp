// Process entry: signal handling, banner, start-up, serving, shutdown.
#include <iostream>
#include <string>

#include "console/AdminConsole.h"
#include "pluginhost/PluginLoader.h"
#include "server/Server.h"
#include "server/SignalStop.h"

namespace {

void printBanner() {
    std::cout << "\n"
                 "  _  __                       __ _\n"
                 " | |/ /___  _ __ _ __ __ _  / _(_)_ __\n"
                 " | ' // _ \\| '__| '__/ _` || |_| | '_ \\\n"
                 " | . \\ (_) | |  | | | (_| ||  _| | | | |\n"
                 " |_|\\_\\___/|_|  |_|  \\__,_||_| |_|_| |_|\n"
                 "  Korrafin Server  v1.0.0\n"
                 "\n"
              << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    Korrafin::SignalStop::install();
    const std::string path = argc > 1 ? argv[1] : "server.json";
    printBanner();

    int status = 0;
    {
        Korrafin::Server server;
        server.setPluginHostFactory(Korrafin::PluginLoader::factory(server.voiceRelay(), "plugins"));
        {
            // A signal during start-up is remembered by stop and honoured
            // as soon as run begins.
            Korrafin::SignalStop signals([&server] { server.stop(); });
            if (server.init(path)) {
                Korrafin::AdminConsole console(server);
                console.start();
                server.run();
                console.stop();
            } else {
                std::cerr << "Server initialisation failed. Check logs.\n" << std::flush;
                status = 1;
            }
        }  // no signal reaches the server from here on
    }
    return status;
}
