// The built test plugins and the example plugin (paths from the build), and
// copying them into a directory under a name of the test's choosing.
#pragma once

#include <filesystem>
#include <string>

#include "support/BuildPaths.h"

namespace Korrafin::Test {

namespace plugin {
inline const std::string probe = BuildPaths::probePlugin;
inline const std::string nullInfo = BuildPaths::nullInfoPlugin;
inline const std::string noInit = BuildPaths::noInitPlugin;
inline const std::string init7 = BuildPaths::init7Plugin;
inline const std::string emptyInfo = BuildPaths::emptyInfoPlugin;
inline const std::string failAfterTimer = BuildPaths::failAfterTimerPlugin;
inline const std::string throwing = BuildPaths::throwingPlugin;
inline const std::string rearm = BuildPaths::rearmPlugin;
inline const std::string crossTimers = BuildPaths::crossTimersPlugin;
inline const std::string lobbyHelper = BuildPaths::exampleLobbyHelper;
}  // namespace plugin

// Copies `built` to dir/name; the path of the copy.
inline std::string installPlugin(const std::string& built, const std::filesystem::path& dir, const std::string& name) {
    std::filesystem::create_directories(dir);
    const auto to = dir / name;
    std::filesystem::copy_file(built, to, std::filesystem::copy_options::overwrite_existing);
    return to.string();
}

}  // namespace Korrafin::Test
