// Process entry: banner, configuration path, start-up.
#include <iostream>
#include <string>

#include "core/Config.h"
#include "core/Logger.h"

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
    const std::string path = argc > 1 ? argv[1] : "server.json";
    printBanner();
    Korrafin::Config config;
    try {
        config.load(path);
    } catch (const std::exception& e) {
        Korrafin::Logger::instance().logf(Korrafin::LogLevel::Warn, "Config load failed ({}). Using defaults.", e.what());
    }
    return 0;
}
