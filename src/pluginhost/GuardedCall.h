// One call into plugin code. A C++ exception the plugin lets out is logged as
// a warning and stops here; the host never unwinds through plugin frames or
// lets a plugin's throw reach a host thread.
#pragma once

#include <exception>
#include <string>

#include "core/Logger.h"

namespace Korrafin {

// True when the call returned normally.
template <class Call>
bool guardedPluginCall(const std::string& plugin, const char* entry, Call&& call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "PluginLoader: '{}' threw from {}: {}", plugin, entry, e.what());
    } catch (...) {
        Logger::instance().logf(LogLevel::Warn, "PluginLoader: '{}' threw from {}", plugin, entry);
    }
    return false;
}

}  // namespace Korrafin
