// Load tool: drives N clients against a running server on this machine and
// prints one table row of figures.
//
//   korrafin_bench run --port P --udp-port U --clients N [--group G]
//                      [--voice-seconds S] [--messages K] [--silent Q]
//                      [--udp-threads T]
//   korrafin_bench seed <database file> <channels>
//   korrafin_bench wait <port>
//
// run: first Q silent sockets (if any) log in with a small receive window and
// then never read again; they stay attached while the figures are taken.
// Then the N clients log in, as many at a time as the server lets one address
// wait for its login (logins per second); then they chat in the
// lobby, every message reaching all N members (deliveries per second, latency
// from the send to each receipt, at most 16 messages in flight); then voice:
// the clients join channels in groups of G and each talks at 50 frames per
// second, spread over the 20 ms (datagrams in and out per second, loss,
// latency from send to receipt), sent by T threads (4) and read by T
// threads in batches. Voice needs ceil(N / G) channels besides the lobby: `seed` stores
// them into a database before the server first opens it. `wait` returns once
// a TCP connection to the port succeeds (at most 20 seconds).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "db/SqliteDatabase.h"
#include "protocol/ChannelInfo.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"
#include "support/Ports.h"

using namespace Korrafin;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    uint16_t port = 9987;
    uint16_t udpPort = 9988;
    int clients = 10;
    int group = 10;
    int voiceSeconds = 5;
    int messages = 0;  // 0: about 100000 deliveries
    int silent = 0;
    int udpThreads = 4;  // voice receiving threads of the tool
};

// Connections of one address that may wait for their login at a time (the
// server closes more at accept).
constexpr std::ptrdiff_t kLoginWindow = 16;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double percentile(std::vector<float>& v, double p) {
    if (v.empty()) return 0;
    const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// A connection to the server on loopback with TCP_NODELAY; `receiveBuffer`
// (0: the system's) is set before connecting, so the server sees the small
// window from the start.
int dial(uint16_t port, int receiveBuffer = 0) {
    const int fd = Test::connectLoopback(port, {nullptr, receiveBuffer});
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::vector<uint8_t> loginBytes(const std::string& nickname) {
    PacketBuilder hello(MessageType::Hello);
    PacketBuilder auth(MessageType::AuthRequest);
    auth.writeStr(nickname);
    auth.writeStr("");
    auth.writeStr("");
    std::vector<uint8_t> both = hello.finalise();
    const auto second = auth.finalise();
    both.insert(both.end(), second.begin(), second.end());
    return both;
}

// A socket that logs in, reads up to its AuthResponse, and never reads again.
class SilentSocket {
public:
    ~SilentSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool start(uint16_t port, int index) {
        fd_ = dial(port, 4096);
        if (fd_ < 0 || !sendAll(fd_, loginBytes("silent" + std::to_string(index)))) return false;
        std::vector<uint8_t> buf;
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buf.insert(buf.end(), chunk, chunk + n);
            std::size_t off = 0;
            while (buf.size() - off >= PacketHeader::kSize) {
                const PacketHeader h = PacketHeader::parse(buf.data() + off);
                if (buf.size() - off - PacketHeader::kSize < h.length) break;
                if (h.type == MessageType::AuthResponse) return true;
                off += PacketHeader::kSize + h.length;
            }
            buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(off));
        }
    }

private:
    int fd_ = -1;
};

// Shared state of the chat phase.
struct ChatState {
    std::vector<int64_t> sentAt;                 // per message
    std::unique_ptr<std::atomic<int>[]> copies;  // receipts per message
    std::counting_semaphore<64> window{16};
    std::atomic<int64_t> deliveries{0};
    std::atomic<int64_t> lastReceipt{0};
    int members = 0;
    // Logins in flight, at most kLoginWindow.
    std::counting_semaphore<kLoginWindow> logins{kLoginWindow};
};

class Client {
public:
    Client(int index, const Options& opt, ChatState& chat) : index_(index), opt_(opt), chat_(chat) {}
    ~Client() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        if (udp_ >= 0) ::close(udp_);
    }

    // Connects and sends Hello and AuthRequest (once a login place is free);
    // the reader thread takes the rest.
    bool start() {
        chat_.logins.acquire();
        waitingForLogin_ = true;
        fd_ = dial(opt_.port);
        if (fd_ < 0) return false;
        reader_ = std::thread(&Client::readLoop, this);
        return sendAll(fd_, loginBytes("bench" + std::to_string(index_)));
    }

    bool chat(uint32_t seq) {
        char text[16];
        const int len = std::snprintf(text, sizeof text, "b%u", seq);
        PacketBuilder b(MessageType::ChatMessage);
        b.writeStr(std::string_view(text, static_cast<std::size_t>(len)));
        return sendAll(fd_, b.finalise());
    }

    bool join(uint16_t channel) {
        joinedChannel = 0;
        PacketBuilder b(MessageType::ChannelJoin);
        b.writeLE(channel);
        b.writeStr("");
        return sendAll(fd_, b.finalise());
    }

    int openUdp() {
        udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int buf = 4 * 1024 * 1024;
        ::setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        return udp_;
    }

    std::atomic<uint32_t> clientId{0};
    std::atomic<uint16_t> vsId{0};
    std::atomic<uint16_t> joinedChannel{0};
    std::atomic<bool> closed{false};
    std::vector<float> chatLatencyMs;  // reader thread only until the phase ends
    std::vector<uint16_t> channels;    // from the login's channel list
    int udpFd() const { return udp_; }

private:
    void readLoop() {
        std::vector<uint8_t> buf;
        buf.reserve(1 << 16);
        uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buf.insert(buf.end(), chunk, chunk + n);
            std::size_t off = 0;
            while (buf.size() - off >= PacketHeader::kSize) {
                const PacketHeader h = PacketHeader::parse(buf.data() + off);
                if (buf.size() - off - PacketHeader::kSize < h.length) break;
                handle(h.type, buf.data() + off + PacketHeader::kSize, h.length);
                off += PacketHeader::kSize + h.length;
            }
            buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(off));
        }
        closed = true;
        loginAnswered();
    }

    void loginAnswered() {
        if (waitingForLogin_.exchange(false)) chat_.logins.release();
    }

    void handle(MessageType type, const uint8_t* p, uint32_t len) {
        PacketReader r{p, len, 0};
        switch (type) {
            case MessageType::HelloAck:
                r.readLE<uint8_t>();
                vsId = r.readLE<uint16_t>();
                break;
            case MessageType::AuthResponse:
                if (r.readLE<uint16_t>() == 0) clientId = r.readLE<uint32_t>();
                loginAnswered();
                break;
            case MessageType::ChannelList:
                if (channels.empty()) {
                    const uint16_t n = r.readLE<uint16_t>();
                    for (uint16_t i = 0; i < n; ++i) channels.push_back(ChannelInfo::deserialise(r).id);
                }
                break;
            case MessageType::ChannelJoinResult:
                if (r.readLE<uint16_t>() == 0) joinedChannel = r.readLE<uint16_t>();
                break;
            case MessageType::ChatMessage: {
                const int64_t now = nowNs();
                r.readLE<uint32_t>();
                r.readLE<uint16_t>();
                r.readStr();
                const std::string text = r.readStr();
                if (text.size() < 2 || text[0] != 'b') break;
                const auto seq = static_cast<std::size_t>(std::stoul(text.substr(1)));
                if (seq >= chat_.sentAt.size()) break;
                chatLatencyMs.push_back(static_cast<float>((now - chat_.sentAt[seq]) / 1e6));
                chat_.deliveries.fetch_add(1, std::memory_order_relaxed);
                chat_.lastReceipt.store(now, std::memory_order_relaxed);
                if (chat_.copies[seq].fetch_add(1) + 1 == chat_.members) chat_.window.release();
                break;
            }
            default:
                break;
        }
    }

    int index_;
    const Options& opt_;
    ChatState& chat_;
    int fd_ = -1;
    int udp_ = -1;
    std::atomic<bool> waitingForLogin_{false};
    std::thread reader_;
};

template <class Pred>
bool waitUntil(Pred pred, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int seed(const std::string& path, int count) {
    DB::SqliteDatabase db(path);
    db.Initialize();
    for (int i = 1; i <= count; ++i) {
        DB::DbChannel c;
        c.name = "Voice " + std::to_string(i);
        c.is_permanent = true;
        c.sort_order = i;
        db.SaveChannel(c);
    }
    return 0;
}

int waitForPort(uint16_t port) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        const int fd = Test::connectLoopback(port);
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}

int run(const Options& opt) {
    const int n = opt.clients;
    ChatState chat;
    chat.members = n;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < n; ++i) clients.push_back(std::make_unique<Client>(i, opt, chat));

    // ---- silent sockets, attached before anybody else comes
    std::vector<std::unique_ptr<SilentSocket>> silent;
    for (int i = 0; i < opt.silent; ++i) {
        silent.push_back(std::make_unique<SilentSocket>());
        if (!silent.back()->start(opt.port, i)) {
            std::cerr << "silent socket " << i << " could not log in\n";
            return 1;
        }
    }

    // ---- logins
    const auto loginStart = Clock::now();
    for (auto& c : clients) {
        if (!c->start()) {
            std::cerr << "connect failed\n";
            return 1;
        }
    }
    if (!waitUntil([&] {
            return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->joinedChannel.load() != 0; });
        }, std::chrono::seconds(120))) {
        std::cerr << "logins did not finish (is maxSlots at least " << n << "?)\n";
        return 1;
    }
    const double loginSeconds = std::chrono::duration<double>(Clock::now() - loginStart).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the join announcements drain

    // ---- chat in the lobby, every member receiving every message
    const int messages = opt.messages > 0 ? opt.messages : std::clamp(100000 / n, 100, 5000);
    chat.sentAt.assign(static_cast<std::size_t>(messages), 0);
    chat.copies = std::make_unique<std::atomic<int>[]>(static_cast<std::size_t>(messages));
    for (auto& c : clients) c->chatLatencyMs.reserve(static_cast<std::size_t>(messages));
    const int64_t chatStart = nowNs();
    for (int m = 0; m < messages; ++m) {
        chat.window.acquire();
        chat.sentAt[static_cast<std::size_t>(m)] = nowNs();
        clients[static_cast<std::size_t>(m % n)]->chat(static_cast<uint32_t>(m));
    }
    const int64_t expected = static_cast<int64_t>(messages) * n;
    waitUntil([&] { return chat.deliveries.load() >= expected; }, std::chrono::seconds(60));
    const double chatSeconds = (chat.lastReceipt.load() - chatStart) / 1e9;
    std::vector<float> chatLat;
    for (auto& c : clients) chatLat.insert(chatLat.end(), c->chatLatencyMs.begin(), c->chatLatencyMs.end());

    // ---- voice: groups of G in the seeded channels
    std::vector<uint16_t> rooms;
    for (uint16_t id : clients[0]->channels)
        if (id != 1) rooms.push_back(id);
    std::sort(rooms.begin(), rooms.end());
    const int groups = (n + opt.group - 1) / opt.group;
    if (static_cast<int>(rooms.size()) < groups) {
        std::cerr << "voice needs " << groups << " channels besides the lobby; seed them first\n";
        return 1;
    }
    std::vector<int> groupOf(static_cast<std::size_t>(n));
    std::vector<int> groupSize(static_cast<std::size_t>(groups), 0);
    for (int i = 0; i < n; ++i) {
        groupOf[static_cast<std::size_t>(i)] = i / opt.group;
        ++groupSize[static_cast<std::size_t>(i / opt.group)];
        clients[static_cast<std::size_t>(i)]->join(rooms[static_cast<std::size_t>(i / opt.group)]);
    }
    if (!waitUntil([&] {
            for (int i = 0; i < n; ++i)
                if (clients[static_cast<std::size_t>(i)]->joinedChannel.load() !=
                    rooms[static_cast<std::size_t>(groupOf[static_cast<std::size_t>(i)])])
                    return false;
            return true;
        }, std::chrono::seconds(120))) {
        std::cerr << "channel joins did not finish\n";
        return 1;
    }

    // Receivers: each owns a slice of the sockets and reads them in batches,
    // so the tool keeps up with the relay's output on several cores.
    const int receiverCount = std::clamp(opt.udpThreads, 1, n);
    std::vector<int> polls;
    for (int t = 0; t < receiverCount; ++t) polls.push_back(::epoll_create1(0));
    for (int i = 0; i < n; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        ::epoll_ctl(polls[static_cast<std::size_t>(i % receiverCount)], EPOLL_CTL_ADD,
                    clients[static_cast<std::size_t>(i)]->openUdp(), &ev);
    }
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    relay.sin_port = htons(opt.udpPort);

    constexpr uint32_t kWarmupFrames = 25;  // half a second: addresses get learned
    const uint32_t frames = kWarmupFrames + static_cast<uint32_t>(opt.voiceSeconds) * 50;
    std::atomic<bool> receiving{true};
    std::atomic<int64_t> voiceReceived{0};
    std::vector<float> voiceLat;
    voiceLat.reserve(static_cast<std::size_t>(n) * 50 * static_cast<std::size_t>(opt.voiceSeconds) * 10);
    std::mutex latMutex;
    std::vector<std::thread> receivers;
    for (int t = 0; t < receiverCount; ++t) {
        receivers.emplace_back([&, ep = polls[static_cast<std::size_t>(t)]] {
            constexpr int kBatch = 32;
            epoll_event events[64];
            std::vector<uint8_t> bufs(kBatch * 2048);
            iovec iov[kBatch];
            mmsghdr msgs[kBatch];
            std::vector<float> local;
            local.reserve(voiceLat.capacity() / static_cast<std::size_t>(receiverCount) + 1024);
            int64_t count = 0;
            while (receiving.load(std::memory_order_relaxed)) {
                const int k = ::epoll_wait(ep, events, 64, 50);
                for (int e = 0; e < k; ++e) {
                    const int fd = clients[events[e].data.u32]->udpFd();
                    for (;;) {
                        for (int i = 0; i < kBatch; ++i) {
                            iov[i] = iovec{bufs.data() + i * 2048, 2048};
                            msgs[i].msg_hdr = msghdr{};
                            msgs[i].msg_hdr.msg_iov = &iov[i];
                            msgs[i].msg_hdr.msg_iovlen = 1;
                        }
                        const int got = ::recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
                        if (got <= 0) break;
                        const int64_t now = nowNs();
                        for (int i = 0; i < got; ++i) {
                            const uint8_t* buf = bufs.data() + i * 2048;
                            if (msgs[i].msg_len < 32) continue;
                            uint32_t seq;
                            std::memcpy(&seq, buf + 8, 4);
                            if (seq < kWarmupFrames) continue;
                            int64_t sent;
                            std::memcpy(&sent, buf + 20, 8);
                            local.push_back(static_cast<float>((now - sent) / 1e6));
                            ++count;
                        }
                        if (got < kBatch) break;
                    }
                }
            }
            voiceReceived.fetch_add(count);
            std::lock_guard<std::mutex> lock(latMutex);
            voiceLat.insert(voiceLat.end(), local.begin(), local.end());
        });
    }

    // One frame per talker every 20 ms: a 20-byte header and 160 bytes of
    // payload, the first 8 of which carry the send time. The talkers are
    // shared out to T sending threads and spread over the 20 ms in kSlices
    // steps, as independent clients would be, rather than sent in one burst
    // by one thread that the relay's output could hold up.
    constexpr int kSlices = 10;
    const int senderCount = std::clamp(opt.udpThreads, 1, n);
    std::atomic<int64_t> sentMeasured{0};
    std::atomic<int64_t> expectedOut{0};
    const auto voiceStart = Clock::now() + std::chrono::milliseconds(20);
    const Clock::time_point measureStart = voiceStart + std::chrono::milliseconds(20) * kWarmupFrames;
    std::vector<std::thread> senders;
    for (int s = 0; s < senderCount; ++s) {
        senders.emplace_back([&, s] {
            std::vector<int> mine;
            for (int i = s; i < n; i += senderCount) mine.push_back(i);
            const int m = static_cast<int>(mine.size());
            std::vector<uint8_t> frame(20 + 160, 0);
            int64_t sent = 0;
            int64_t expected = 0;
            // Each thread starts a little later than the one before, so the
            // threads' slices interleave too.
            auto next = voiceStart + std::chrono::microseconds(20000 / kSlices * s / senderCount);
            for (uint32_t f = 0; f < frames; ++f) {
                for (int slice = 0; slice < kSlices; ++slice) {
                    std::this_thread::sleep_until(next);
                    for (int k = slice * m / kSlices; k < (slice + 1) * m / kSlices; ++k) {
                        const int i = mine[static_cast<std::size_t>(k)];
                        Client& c = *clients[static_cast<std::size_t>(i)];
                        const uint32_t id = c.clientId.load();
                        const uint16_t vs = c.vsId.load();
                        const uint16_t room = c.joinedChannel.load();
                        const uint16_t type = 1, plen = 160;
                        std::memcpy(frame.data(), &id, 4);
                        std::memcpy(frame.data() + 4, &vs, 2);
                        std::memcpy(frame.data() + 6, &room, 2);
                        std::memcpy(frame.data() + 8, &f, 4);
                        std::memcpy(frame.data() + 16, &type, 2);
                        std::memcpy(frame.data() + 18, &plen, 2);
                        const int64_t t = nowNs();
                        std::memcpy(frame.data() + 20, &t, 8);
                        ::sendto(c.udpFd(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&relay),
                                 sizeof relay);
                        if (f >= kWarmupFrames) {
                            ++sent;
                            expected += groupSize[static_cast<std::size_t>(groupOf[static_cast<std::size_t>(i)])] - 1;
                        }
                    }
                    next += std::chrono::microseconds(20000 / kSlices);
                }
            }
            sentMeasured += sent;
            expectedOut += expected;
        });
    }
    for (auto& t : senders) t.join();
    const double voiceSeconds = std::chrono::duration<double>(Clock::now() - measureStart).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    receiving = false;
    for (auto& t : receivers) t.join();
    for (const int ep : polls) ::close(ep);

    const double loss =
        expectedOut > 0 ? 1.0 - static_cast<double>(voiceReceived.load()) / static_cast<double>(expectedOut.load()) : 0;
    std::printf("| %d | %d | %.0f | %.0f | %.2f | %.2f | %.0f | %.0f | %.2f%% | %.2f | %.2f |\n", n, opt.silent,
                n / loginSeconds,
                chat.deliveries.load() / chatSeconds, percentile(chatLat, 0.50), percentile(chatLat, 0.99),
                sentMeasured.load() / voiceSeconds, voiceReceived.load() / voiceSeconds, 100.0 * std::max(0.0, loss),
                percentile(voiceLat, 0.50), percentile(voiceLat, 0.99));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Two descriptors per client and its reader; raise the soft limit.
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "seed") return seed(args[1], std::stoi(args[2]));
    if (args.size() == 2 && args[0] == "wait") return waitForPort(static_cast<uint16_t>(std::stoi(args[1])));
    if (args.empty() || args[0] != "run") {
        std::cerr << "usage: korrafin_bench run --port P --udp-port U --clients N [--group G] "
                     "[--voice-seconds S] [--messages K] [--silent Q] [--udp-threads T]\n"
                     "       korrafin_bench seed <database file> <channels>\n"
                     "       korrafin_bench wait <port>\n";
        return 2;
    }
    Options opt;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
        const std::string& k = args[i];
        const int v = std::stoi(args[i + 1]);
        if (k == "--port") opt.port = static_cast<uint16_t>(v);
        else if (k == "--udp-port") opt.udpPort = static_cast<uint16_t>(v);
        else if (k == "--clients") opt.clients = std::max(2, v);
        else if (k == "--group") opt.group = std::max(2, v);
        else if (k == "--voice-seconds") opt.voiceSeconds = std::max(1, v);
        else if (k == "--messages") opt.messages = v;
        else if (k == "--silent") opt.silent = std::max(0, v);
        else if (k == "--udp-threads") opt.udpThreads = std::max(1, v);
    }
    return run(opt);
}
