// Test plugin in C++: its chat hook and its timer callback throw. The host
// must log the throws and go on: later plugins still get the message, the
// timer thread keeps running. The timer re-arms as an interval, so it throws
// on every tick until the chat command "stop" clears it.
#include <stdexcept>
#include <string>

#include "korrafin_plugin.h"

namespace {
const KRP_PluginInfo info = {"Throwing", "1", "Tester", "throws from its hooks"};
const KRP_HostApi* host = nullptr;
int timer = -1;

void onTimer(KRP_Context*, void*) { throw std::runtime_error("timer boom"); }
}  // namespace

const KRP_PluginInfo* krp_plugin_info(void) { return &info; }

int krp_plugin_init(KRP_Context* ctx, const KRP_HostApi* api) {
    host = api;
    timer = api->set_interval(ctx, 5, onTimer, nullptr);
    return 0;
}

void krp_on_chat_message(KRP_Context*, const KRP_ChatMessage* msg) {
    if (std::string(msg->text) == "stop") host->clear_timer(nullptr, timer);
    throw std::runtime_error("chat boom");
}
