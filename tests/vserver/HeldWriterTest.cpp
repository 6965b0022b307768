// A client whose socket never fills is not behind, whatever other threads
// are writing to it: it gets every packet exactly as queued, both channel
// lists of a move included. This binary replaces sendmsg, the one call
// through which the outgoing queues write, so that the test can hold a
// writer in the middle of its write.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "protocol/Packets.h"
#include "support/Sequences.h"
#include "support/VServerWorld.h"

namespace {

// The first write to `fd` once armed waits until it is let go.
struct WriteHold {
    std::mutex m;
    std::condition_variable cv;
    int fd = -1;
    bool held = false;
    bool released = false;
};

WriteHold hold;

}  // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    {
        std::unique_lock<std::mutex> lock(hold.m);
        if (fd == hold.fd && !hold.held) {
            hold.held = true;
            hold.cv.notify_all();
            hold.cv.wait(lock, [] { return hold.released; });
        }
    }
    return ::syscall(SYS_sendmsg, fd, message, flags);
}

namespace Korrafin::Test {
namespace {

TEST(HeldWriter, AWatcherWhoseSocketNeverFillsGetsBothListsOfAMoveWhileAnotherThreadWritesToIt) {
    VServerWorld w(7, /*withDatabase=*/false);
    const uint16_t room = w.addChannel("room");
    w.join(10, "mover", UserRole::Member);
    SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);

    {
        std::lock_guard<std::mutex> lock(hold.m);
        hold.fd = watcher.session->fd();
    }
    // Another thread's packet to the watcher, held inside its write.
    std::thread writer([&] { watcher.session->send(directMessagePacket(0, "system", "hello")); });
    {
        std::unique_lock<std::mutex> lock(hold.m);
        hold.cv.wait(lock, [] { return hold.held; });
    }
    // Meanwhile a member moves: its announcements queue behind that write.
    EXPECT_TRUE(w.vs->moveUserToChannel(10, room, ""));
    {
        std::lock_guard<std::mutex> lock(hold.m);
        hold.released = true;
    }
    hold.cv.notify_all();
    writer.join();

    const auto got = receivedSoFar(watcher);
    auto move = moveSequence(10, ChannelManager::kLobbyId, room);
    move.pop_back();  // the join result is the mover's alone
    EXPECT_EQ(missingInOrder(got, move), "");
    EXPECT_EQ(typesOf(got), (Types{MessageType::DirectMessage, MessageType::UserLeftChannel, MessageType::ChannelList,
                                   MessageType::UserJoinedChannel, MessageType::ChannelList}));
}

}  // namespace
}  // namespace Korrafin::Test
