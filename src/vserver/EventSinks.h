// What a virtual server tells the bot API and the plugin host. Both are
// attached to a VirtualServer as plain pointers (atomic, so they can be
// attached and detached while sessions run); whoever attaches one detaches it
// before destroying it. The callbacks run on the thread of the operation that
// raises the event (a reader thread, the console, a web panel thread, ...),
// with no lock of the virtual server held; implementations take their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Korrafin {

class BotEventSink {
public:
    virtual ~BotEventSink() = default;

    virtual void onUserJoin(uint32_t clientId, const std::string& nickname, uint16_t channelId) = 0;
    virtual void onUserLeave(uint32_t clientId, const std::string& nickname) = 0;
    virtual void onChatMessage(uint32_t clientId, const std::string& nickname, const std::string& text) = 0;
    virtual void onChannelCreated(uint16_t channelId, const std::string& name, uint16_t parentId) = 0;
    virtual void onChannelDeleted(uint16_t channelId) = 0;
    virtual void onUserMoved(uint32_t clientId, uint16_t fromChannel, uint16_t toChannel) = 0;
};

// One loaded plugin as the plugin list shows it.
struct PluginInfo {
    std::string name;
    std::string version;
    std::string author;
    std::string description;
    bool loaded = true;
};

class PluginHost {
public:
    virtual ~PluginHost() = default;

    // Runs every loaded plugin's chat hook on the calling thread.
    virtual void onChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nickname,
                               const std::string& text, uint64_t messageId) = 0;
    // One entry per loaded plugin, in load order.
    virtual std::vector<PluginInfo> getLoadedPlugins() const = 0;
};

}  // namespace Korrafin
