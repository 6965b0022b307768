// Process entry: signal handling, banner, start-up, serving, shutdown.
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "console/AdminConsole.h"
#include "core/Logger.h"
#include "directory/GlobalApiClient.h"
#include "pluginhost/PluginLoader.h"
#include "server/Server.h"
#include "server/SignalStop.h"

namespace {

// A descriptor of ours that took the number of a closed standard one would
// get what is meant for it: the logger writing into the signal pipe, the
// console reading signals away. /dev/null fills each gap first.
void fillClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number: this one, since those below are open.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

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
    fillClosedStandardDescriptors();
    Korrafin::SignalStop::install();
    // A peer that closed its end must cost a failed write, not the process:
    // not every library writes with MSG_NOSIGNAL (TLS inside libcurl).
    std::signal(SIGPIPE, SIG_IGN);
    // libcurl's global set-up is not thread-safe: once, before any thread.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::cerr << "libcurl could not be initialised; the directory service is out of reach.\n" << std::flush;
    }
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

    // The directory's unregister requests get a short while to go out. One
    // still in flight after that is abandoned: the process ends at once with
    // its status, before exit handlers tear down what that request uses.
    if (!Korrafin::GlobalApiClient::waitForBackgroundRequests(Korrafin::GlobalApiClient::kExitWait)) {
        Korrafin::Logger::instance().flush();
        std::cout << std::flush;
        std::cerr << std::flush;
        std::fflush(nullptr);
        ::_exit(status);
    }
    curl_global_cleanup();
    return status;
}
