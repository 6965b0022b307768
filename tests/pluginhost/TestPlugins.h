// The built test plugins and the example plugin (paths from the build), and
// copying them into a directory under a name of the test's choosing.
#pragma once

#include <filesystem>
#include <string>

namespace Korrafin::Test {

namespace plugin {
inline const std::string probe = KRP_PROBE_PATH;
inline const std::string nullInfo = KRP_NULL_INFO_PATH;
inline const std::string noInit = KRP_NO_INIT_PATH;
inline const std::string init7 = KRP_INIT_7_PATH;
inline const std::string emptyInfo = KRP_EMPTY_INFO_PATH;
inline const std::string failAfterTimer = KRP_FAIL_AFTER_TIMER_PATH;
inline const std::string throwing = KRP_THROWING_PATH;
inline const std::string rearm = KRP_REARM_PATH;
inline const std::string crossTimers = KRP_CROSS_TIMERS_PATH;
inline const std::string lobbyHelper = KORRAFIN_EXAMPLE_LOBBY_HELPER_PATH;
}  // namespace plugin

// Copies `built` to dir/name; the path of the copy.
inline std::string installPlugin(const std::string& built, const std::filesystem::path& dir, const std::string& name) {
    std::filesystem::create_directories(dir);
    const auto to = dir / name;
    std::filesystem::copy_file(built, to, std::filesystem::copy_options::overwrite_existing);
    return to.string();
}

}  // namespace Korrafin::Test
