// The host functions plugins call through their KRP_HostApi table, and the
// per-thread record of which plugin call is in progress.
//
// Every host function may be called from any thread, takes no lock of its own
// (the timer functions take their loader's timer mutex, nothing else; none
// takes the host's registry mutex, since plugins start while it is held) and
// lets no exception out: a failure inside becomes the function's failure
// result and a warning.
#pragma once

#include "sdk/korrafin_plugin.h"

namespace Korrafin {

class PluginLoader;

namespace HostImpl {

// The loader, and the context of its plugin, whose call into plugin code
// (init, a chat event, a timer callback) runs on this thread; null elsewhere.
// The timer functions act only where they are set: set_timeout and
// set_interval for that plugin's own context alone, clear_timer on the timers
// of the virtual server of the context it is given (of this call's when null).
extern thread_local PluginLoader* tl_loader;
extern thread_local KRP_Context* tl_plugin;

// Marks one call into a plugin on this thread; puts the previous marks back
// when it ends, a throw included.
class PluginCallScope {
public:
    PluginCallScope(PluginLoader* loader, KRP_Context* plugin) : loader_(tl_loader), plugin_(tl_plugin) {
        tl_loader = loader;
        tl_plugin = plugin;
    }
    ~PluginCallScope() {
        tl_loader = loader_;
        tl_plugin = plugin_;
    }
    PluginCallScope(const PluginCallScope&) = delete;
    PluginCallScope& operator=(const PluginCallScope&) = delete;

private:
    PluginLoader* loader_;
    KRP_Context* plugin_;
};

// The 22 host functions in slot order; every slot is set.
const KRP_HostApi& hostApi();

}  // namespace HostImpl
}  // namespace Korrafin
