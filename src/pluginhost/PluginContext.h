// What a plugin's context handle holds on the host side. Plugins see the type
// as opaque. Written once while the plugin is loaded, read-only afterwards, so
// any thread may read it while the plugin is loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sdk/korrafin_plugin.h"

namespace Korrafin {
class PluginLoader;
class VirtualServer;
class UdpVoiceServer;
}  // namespace Korrafin

struct KRP_Context {
    // Weak: a virtual server removed at run time makes the host functions
    // answer as for a context that names none, instead of reaching freed memory.
    std::weak_ptr<Korrafin::VirtualServer> vserver;
    Korrafin::UdpVoiceServer* udp = nullptr;  // outlives every loader
    Korrafin::PluginLoader* loader = nullptr;  // the loader that holds this context
    uint16_t vsId = 0;
    std::string pluginName;  // as the plugin reported it
    std::string pluginDir;   // the loaded path up to its last '/' or '\'
};
