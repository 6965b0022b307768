// The shared socket helpers over real loopback sockets: whole-buffer writes
// that never raise SIGPIPE, accepting (options, wake-up, transient errors)
// and listener failures.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "core/Socket.h"
#include "support/Ports.h"

namespace Korrafin::Test {
namespace {

uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST(Socket, SendAllWritesEverythingAndReportsADeadPeerWithoutASignal) {
    ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL) << "a SIGPIPE would end this test";
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);

    // Larger than the socket buffers: short writes in between.
    std::vector<uint8_t> data(1 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t buf[65536];
        while (got.size() < data.size()) {
            const ssize_t n = ::recv(fds[1], buf, sizeof buf, 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
    });
    EXPECT_EQ(Net::sendAll(fds[0], data.data(), data.size()), 0);
    reader.join();
    EXPECT_EQ(got, data);

    ::close(fds[1]);
    EXPECT_EQ(Net::sendAll(fds[0], data.data(), 10), EPIPE);
    ::close(fds[0]);
}

TEST(Socket, SendAllStopsAtTheSendTimeOut) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const timeval limit{0, 200 * 1000};
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const std::vector<uint8_t> data(8 << 20, 1);  // the peer reads none of it
    EXPECT_EQ(Net::sendAll(fds[0], data.data(), data.size()), EAGAIN);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(Socket, AcceptOneSetsNoDelayAndEndsWhenTheListenerIsWoken) {
    Net::ListenStep failed;
    const int listener = Net::openTcpListener(0, 16, failed);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(failed, Net::ListenStep::None);
    const uint16_t port = localPort(listener);
    std::atomic<bool> running{true};

    const int client = connectLoopback(port);
    ASSERT_GE(client, 0);
    sockaddr_in peer{};
    bool acceptFailed = true;
    const int fd = Net::acceptOne(listener, running, peer, acceptFailed);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(acceptFailed);
    EXPECT_EQ(Net::ipv4Text(peer.sin_addr.s_addr), "127.0.0.1");
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
    EXPECT_NE(noDelay, 0);
    ::close(fd);
    ::close(client);

    // A blocked accept returns -1 once woken, without calling it a failure.
    int result = 0;
    std::thread acceptor([&] { result = Net::acceptOne(listener, running, peer, acceptFailed); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    running.store(false);
    Net::wakeListener(listener);
    acceptor.join();
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(acceptFailed);
    ::close(listener);
}

TEST(Socket, AListenerOnATakenPortNamesTheFailedStep) {
    const uint16_t port = freePort();
    PortHolder taken(port);
    Net::ListenStep failed;
    EXPECT_EQ(Net::openTcpListener(port, 16, failed), -1);
    EXPECT_EQ(failed, Net::ListenStep::Bind);
}

TEST(Socket, AcceptErrorsThatSayNothingAboutTheListenerAreRetried) {
    struct Case {
        int err;
        bool transient;
        bool resource;
    };
    const Case cases[] = {
        {EINTR, true, false},   {ECONNABORTED, true, false}, {EPERM, true, false},  {EMFILE, true, true},
        {ENFILE, true, true},   {ENOBUFS, true, true},       {ENOMEM, true, true},  {EBADF, false, false},
        {EINVAL, false, false}, {ENOTSOCK, false, false},
    };
    for (const auto& c : cases) {
        bool resource = !c.resource;
        EXPECT_EQ(Net::transientAcceptError(c.err, resource), c.transient) << c.err;
        EXPECT_EQ(resource, c.resource) << c.err;
    }
}

}  // namespace
}  // namespace Korrafin::Test
