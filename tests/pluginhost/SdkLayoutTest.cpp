// The plugin interface's records, checked by a C++ compiler (SdkLayout.c
// checks them as C), and the host's table as plugins receive it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "SdkLayout.h"
#include "pluginhost/HostImpl.h"

namespace Korrafin {
namespace {

TEST(SdkLayoutTest, TheHostFillsEverySlotOfItsTable) {
    const KRP_HostApi& api = HostImpl::hostApi();
    constexpr std::size_t kSlots = sizeof(KRP_HostApi) / sizeof(void*);
    static_assert(kSlots == 22);
    for (std::size_t i = 0; i < kSlots; ++i) {
        uintptr_t slot = 0;
        std::memcpy(&slot, reinterpret_cast<const unsigned char*>(&api) + i * sizeof(void*), sizeof slot);
        EXPECT_NE(slot, 0u) << "slot " << i;
    }
}

}  // namespace
}  // namespace Korrafin
