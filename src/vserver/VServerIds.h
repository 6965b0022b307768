// The id a new virtual server takes: the lowest from 1 up that none of the
// given virtual servers has. The panel and the console choose it the same
// way. Stateless; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "vserver/VirtualServer.h"

namespace Korrafin {

// 65536 when every 16-bit id from 1 up is taken.
inline uint32_t lowestFreeVServerId(const std::vector<std::shared_ptr<VirtualServer>>& servers) {
    std::set<uint32_t> taken;
    for (const auto& vs : servers) taken.insert(vs->id());
    uint32_t id = 1;
    while (taken.contains(id)) ++id;
    return id;
}

}  // namespace Korrafin
