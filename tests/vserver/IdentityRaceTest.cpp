// One identity presented by several threads at once: registrations and key
// redemptions must leave exactly one stored row, and never replace a row that
// another thread has just made or raised.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "auth/PrivilegeKeyManager.h"
#include "protocol/ClientSession.h"
#include "support/SessionHarness.h"
#include "support/TestDatabase.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;

using namespace std::chrono_literals;

class IdentityRaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A lookup that takes a moment leaves room for another thread to
        // slip in between a lookup and the save that depends on it.
        tdb.db->after = [](std::string_view op) {
            if (op == "GetUserByUniqueId") std::this_thread::sleep_for(3ms);
        };
        VirtualServer::VSConfig cfg;
        cfg.id = 2;
        vs = std::make_shared<VirtualServer>(cfg);
        vs->db = tdb.db;
        vs->keyManager = &keys;
    }
    void TearDown() override { vs.reset(); }

    kt::TestDatabase tdb;
    Auth::PrivilegeKeyManager keys{tdb.db};
    std::shared_ptr<VirtualServer> vs;
};

TEST_F(IdentityRaceTest, ConcurrentRegistrationsOfOneIdentityStoreOneRow) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 5; ++round) {
        const std::string identity = "shared-" + std::to_string(round);
        std::atomic<int> ready{0};
        std::atomic<int> ok{0};
        std::atomic<int> exists{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                const ResultCode r = vs->registerIdentity(identity, "nick" + std::to_string(i), 0);
                if (r == ResultCode::Ok) ok.fetch_add(1);
                if (r == ResultCode::IdentityExists) exists.fetch_add(1);
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(ok.load(), 1) << "round " << round;
        EXPECT_EQ(exists.load(), kThreads - 1);
    }
}

// A redemption raises the identity's row to owner while a registration of the
// same identity runs: whichever comes first, the one row that remains holds
// the owner role and the server-admin membership.
TEST_F(IdentityRaceTest, ARegistrationNeverReplacesTheRowARedemptionRaised) {
    const int64_t adminGroup = tdb.groupId("Server Admin");
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string identity = "contested-" + std::to_string(round);
        const uint32_t clientId = 100 + round;
        kt::SessionHarness h(clientId, kt::SessionHarness::Transport::Unix);
        ASSERT_TRUE(vs->acceptSession(h.session));
        h.session->setNickname("redeemer");
        h.session->setIdentity(identity);
        const auto key = vs->createPrivilegeKey(0, "");

        std::atomic<int> ready{0};
        bool redeemed = false;
        ResultCode registered = ResultCode::UnknownError;
        std::thread redeem([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            redeemed = vs->redeemPrivilegeKey(key.token, clientId);
        });
        std::thread reg([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            if (round % 2) std::this_thread::sleep_for(1ms);
            registered = vs->registerIdentity(identity, "registrar", 0);
        });
        redeem.join();
        reg.join();

        ASSERT_TRUE(redeemed);
        EXPECT_TRUE(registered == ResultCode::Ok || registered == ResultCode::IdentityExists);
        const auto row = tdb.real->GetUserByUniqueId(identity);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->role, 4) << "the raised row was replaced";
        const auto groups = tdb.real->GetUserServerGroups(row->id);
        EXPECT_NE(std::find(groups.begin(), groups.end(), adminGroup), groups.end())
            << "the membership belongs to a row that no longer exists";
        vs->removeSession(clientId);
    }
}

}  // namespace
}  // namespace Korrafin
