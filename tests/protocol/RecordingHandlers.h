// Stand-in request handlers for the dispatch test: each records that the
// dispatcher reached it and does nothing else.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "protocol/MessageType.h"

namespace Korrafin::Test {

class HandlerLog {
public:
    // True when the handler should then disconnect its session.
    static bool record(uint32_t clientId, MessageType type) {
        std::lock_guard<std::mutex> lock(mutex());
        entries().emplace_back(clientId, type);
        return disconnecting() == clientId;
    }
    // The next handler that this client reaches disconnects it (0: nobody).
    static void disconnectOnNext(uint32_t clientId) {
        std::lock_guard<std::mutex> lock(mutex());
        disconnecting() = clientId;
    }
    static std::vector<MessageType> take(uint32_t clientId) {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<MessageType> out;
        auto& all = entries();
        for (auto it = all.begin(); it != all.end();) {
            if (it->first == clientId) {
                out.push_back(it->second);
                it = all.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }

private:
    static uint32_t& disconnecting() {
        static uint32_t id = 0;
        return id;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<uint32_t, MessageType>>& entries() {
        static std::vector<std::pair<uint32_t, MessageType>> e;
        return e;
    }
};

}  // namespace Korrafin::Test
