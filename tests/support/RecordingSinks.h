// Bot API and plugin host stand-ins that record the events a virtual server
// raises. Thread-safe; attach with `vs->botApi = &bot` / `vs->pluginLoader = &plugins`
// and detach before they go, or let AttachedRecorders do both.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vserver/EventSinks.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {

class RecordingBotSink : public BotEventSink {
public:
    struct Event {
        std::string kind;  // "join", "leave", "chat", "created", "deleted", "moved"
        uint32_t clientId = 0;
        std::string nickname;
        std::string text;
        uint16_t channelId = 0;
        uint16_t parentId = 0;  // "created" only
    };

    void onUserJoin(uint32_t id, const std::string& nick, uint16_t ch) override { add({"join", id, nick, "", ch, 0}); }
    void onUserLeave(uint32_t id, const std::string& nick) override { add({"leave", id, nick, "", 0, 0}); }
    void onChatMessage(uint32_t id, const std::string& nick, const std::string& text) override {
        add({"chat", id, nick, text, 0, 0});
    }
    void onChannelCreated(uint16_t ch, const std::string& name, uint16_t parent) override {
        add({"created", 0, "", name, ch, parent});
    }
    void onChannelDeleted(uint16_t ch) override { add({"deleted", 0, "", "", ch, 0}); }
    void onUserMoved(uint32_t id, uint16_t, uint16_t to) override { add({"moved", id, "", "", to, 0}); }

    std::vector<Event> events(const std::string& kind = "") const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Event> out;
        for (const auto& e : events_)
            if (kind.empty() || e.kind == kind) out.push_back(e);
        return out;
    }

private:
    void add(Event e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
    }
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

class RecordingPluginHost : public PluginHost {
public:
    struct Chat {
        uint32_t clientId = 0;
        uint16_t channelId = 0;
        std::string nickname;
        std::string text;
        uint64_t messageId = 0;
    };

    void onChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nickname, const std::string& text,
                       uint64_t messageId) override {
        std::lock_guard<std::mutex> lock(mutex_);
        chats_.push_back({clientId, channelId, nickname, text, messageId});
    }
    std::vector<PluginInfo> getLoadedPlugins() const override { return {}; }

    std::vector<Chat> chats() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return chats_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Chat> chats_;
};

// One of each recorder, attached to a virtual server for as long as this
// lives, so they are detached however the test ends. The virtual server
// must outlive it.
class AttachedRecorders {
public:
    explicit AttachedRecorders(VirtualServer& vs) : vs_(vs) {
        vs_.botApi = &bot;
        vs_.pluginLoader = &plugins;
    }
    ~AttachedRecorders() {
        vs_.botApi = nullptr;
        vs_.pluginLoader = nullptr;
    }
    AttachedRecorders(const AttachedRecorders&) = delete;
    AttachedRecorders& operator=(const AttachedRecorders&) = delete;

    RecordingBotSink bot;
    RecordingPluginHost plugins;

private:
    VirtualServer& vs_;
};

}  // namespace Korrafin::Test
