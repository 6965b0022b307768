// Load tool: drives N clients against a running server on this machine and
// prints one table row of figures.
//
//   korrafin_bench run --port P --udp-port U --clients N [--group G]
//                      [--voice-seconds S] [--messages K] [--silent Q]
//                      [--udp-threads T]
//   korrafin_bench storm --port P --clients N [--group G]
//   korrafin_bench churn --port P [--seconds S]
//   korrafin_bench list [--channels C] [--description D] [--rounds R]
//   korrafin_bench announce --port P [--clients N] [--channels C] [--drain S]
//   korrafin_bench seed <database file> <channels> [<description bytes> [<admins>]]
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
// them into a database before the server first opens it, and with <admins>
// also that many identities of the Admin role (bench-admin-1, -2, ...), which
// a login that names one takes. `wait` returns once a TCP connection to the
// port succeeds (at most 20 seconds).
//
// storm: N clients log in at the same pace, and each joins its channel of G
// (10) as soon as it is in the lobby: the seconds until the last has joined,
// and how many logins came out of order for a client that reads its login
// sequence strictly (AuthResponse, IdentityStatus, ServerSettings,
// ChannelList, UserList, the welcome, its own UserJoinedChannel, ChannelList,
// ChannelJoinResult: such a client would wait for ever for a packet that has
// gone by). It needs ceil(N / G) seeded channels.
//
// churn: against a server whose tree has large descriptions (seed with a
// description size) and 64 slots. First one guest (127.0.0.2) logs in and
// closes as fast as it can for S seconds (30) while two members watch: one
// reads at once, one reads at 1 MB/s through a 32 KiB receive buffer (a home
// link): what each receives per second, whether the slow one stays, and
// whether its last channel list is the one a fresh client gets afterwards.
// Then 24 clients from 24 addresses (127.0.0.10 to .33) do the same for S
// seconds while 8 members read at once and a fresh client from 127.0.0.200
// logs in every half second: how long each fresh login takes (connect to the
// answer of its entry channel's join), how many were refused, how many of
// the members were dropped, how many lists a second a member gets, and how
// much a churner reads per login.
//
// announce: whether a client that names a channel the moment a list shows
// it is answered. Needs 3 seeded admin identities. Admin 1 logs in, then
// admin 2, then N idle clients (1200) that only read, then admin 3. Admin 1
// creates C channels (300) one after another, each once the answer to the
// one before has come (the list that holds it, or a refusal). Admins 2 and
// 3 each keep 4 ChannelContentGet requests of the lobby in flight, each
// answer letting the next go, and act at once on each new channel their
// lists show (channel announce-K, K from 0): both ask for the content of
// every even K (C gets in all), and one stores a text into each odd K,
// admin 2 for K = 1, 5, 9, ..., admin 3 for K = 3, 7, 11, ... (C / 2 texts
// in all); no channel gets both, so a get's answer is never a stored text's
// copy. Then a drain until every request has its answer, at most S seconds
// (10), and a fresh client reads the content of every channel a text went
// to. The row: the seconds the creations took, the gets without an answer
// and the texts not stored (each as admin 2 + admin 3 of all), the lobby
// gets answered a second during the creations, the lobby gets still
// unanswered after the drain, and the idle clients the server dropped.
//
// list: in this process, no network: a virtual server with C channels (80)
// whose descriptions have D bytes (3000) announces its channel list to no
// session R times (200): the time each takes, which is the time a change
// holds the move lock for its list (p50 and p99).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "db/SqliteDatabase.h"
#include "permissions/Roles.h"
#include "protocol/ChannelInfo.h"
#include "protocol/Packets.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"
#include "support/Ports.h"
#include "vserver/VirtualServer.h"

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

// Hello and AuthRequest; a login with `identity` takes the role the
// database stores for it.
std::vector<uint8_t> loginBytes(const std::string& nickname, const std::string& identity = "") {
    PacketBuilder hello(MessageType::Hello);
    PacketBuilder auth(MessageType::AuthRequest);
    auth.writeStr(nickname);
    auth.writeStr("");
    auth.writeStr(identity);
    std::vector<uint8_t> both = hello.finalise();
    const auto second = auth.finalise();
    both.insert(both.end(), second.begin(), second.end());
    return both;
}

// ---------------------------------------------------------------- whole packets off a socket

// Bytes as they come off a socket, cut into whole packets.
class PacketStream {
public:
    // Reads once; false at the end of the connection or an error.
    bool fill(int fd, std::size_t most = 65536) {
        uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, std::min(most, sizeof chunk), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf_.insert(buf_.end(), chunk, chunk + n);
            received += static_cast<std::size_t>(n);
            return true;
        }
    }
    // The next whole packet, if there is one; `payload` points into the stream
    // until the next call.
    bool next(MessageType& type, const uint8_t*& payload, uint32_t& length) {
        if (off_ > 0 && off_ == buf_.size()) {
            buf_.clear();
            off_ = 0;
        }
        if (buf_.size() - off_ < PacketHeader::kSize) return compact();
        const PacketHeader h = PacketHeader::parse(buf_.data() + off_);
        if (buf_.size() - off_ - PacketHeader::kSize < h.length) return compact();
        type = h.type;
        payload = buf_.data() + off_ + PacketHeader::kSize;
        length = h.length;
        off_ += PacketHeader::kSize + h.length;
        return true;
    }
    std::size_t received = 0;

private:
    bool compact() {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(off_));
        off_ = 0;
        return false;
    }
    std::vector<uint8_t> buf_;
    std::size_t off_ = 0;
};

// Hands every whole packet off `fd` to `handle` until the connection ends.
template <class Handle>
void readPackets(int fd, Handle&& handle) {
    PacketStream in;
    while (in.fill(fd)) {
        MessageType type;
        const uint8_t* p;
        uint32_t len;
        while (in.next(type, p, len)) handle(type, p, len);
    }
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
        PacketStream in;
        while (in.fill(fd_, 4096)) {
            MessageType type;
            const uint8_t* p;
            uint32_t len;
            while (in.next(type, p, len))
                if (type == MessageType::AuthResponse) return true;
        }
        return false;
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
        readPackets(fd_, [this](MessageType type, const uint8_t* p, uint32_t len) { handle(type, p, len); });
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

// The identities of `admins` administrators: a login that names one takes
// the stored role, as after a redeemed key.
std::string adminIdentity(int index) { return "bench-admin-" + std::to_string(index); }

int seed(const std::string& path, int count, int description, int admins) {
    DB::SqliteDatabase db(path);
    db.Initialize();
    for (int i = 1; i <= admins; ++i) {
        DB::DbUser u;
        u.nickname = "admin" + std::to_string(i);
        u.unique_identifier = adminIdentity(i);
        u.role = static_cast<int32_t>(UserRole::Admin);
        db.SaveUser(u);
    }
    for (int i = 1; i <= count; ++i) {
        DB::DbChannel c;
        c.name = "Voice " + std::to_string(i);
        c.description.assign(static_cast<std::size_t>(description), static_cast<char>('a' + i % 26));
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

enum class Outcome { Ok, Refused, Failed };

struct Login {
    Outcome outcome = Outcome::Failed;
    double seconds = 0;
    int fd = -1;  // kept open when asked and logged in
    uint8_t role = 0;  // the AuthResponse's
    std::vector<uint8_t> lastList;
    std::size_t bytes = 0;  // read up to the join's answer
};

// Connects from `source` (127.0.0.1 when null), logs in as `nickname` and
// reads up to the answer of the entry channel's join. Refused: the server
// closed the connection before its HelloAck (full); failed: anything else
// that went wrong, or no answer within 30 s.
Login logIn(uint16_t port, const char* source, const std::string& nickname, int receiveBuffer = 0,
            bool keep = false, const std::string& identity = "") {
    Login out;
    const auto t0 = Clock::now();
    const int fd = Test::connectLoopback(port, {source, receiveBuffer});
    if (fd < 0) return out;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    bool helloAck = false;
    bool done = false;
    if (sendAll(fd, loginBytes(nickname, identity))) {
        PacketStream in;
        while (!done && in.fill(fd)) {
            MessageType type;
            const uint8_t* p;
            uint32_t len;
            while (!done && in.next(type, p, len)) {
                PacketReader r{p, len, 0};
                if (type == MessageType::HelloAck) helloAck = true;
                if (type == MessageType::AuthResponse) {
                    if (r.readLE<uint16_t>() != 0) {
                        done = true;
                    } else {
                        r.readLE<uint32_t>();
                        out.role = r.readLE<uint8_t>();
                    }
                }
                if (type == MessageType::ChannelList) out.lastList.assign(p, p + len);
                if (type == MessageType::ChannelJoinResult) {
                    done = true;
                    if (r.readLE<uint16_t>() == 0) out.outcome = Outcome::Ok;
                }
            }
        }
        out.bytes = in.received;
    }
    if (out.outcome != Outcome::Ok && !helloAck && !done) out.outcome = Outcome::Refused;
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (keep && out.outcome == Outcome::Ok) {
        const timeval none{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        out.fd = fd;
    } else {
        ::close(fd);
    }
    return out;
}

// A logged-in member that reads what it is sent, at once or paced to
// `rate` bytes a second; it counts what it gets and keeps the last channel
// list.
class Member {
public:
    Member(uint16_t port, const std::string& nickname, int receiveBuffer = 0, double rate = 0)
        : port_(port), nickname_(nickname), receiveBuffer_(receiveBuffer), rate_(rate) {}
    ~Member() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }

    bool start() {
        Login l = logIn(port_, nullptr, nickname_, receiveBuffer_, true);
        if (l.outcome != Outcome::Ok) return false;
        fd_ = l.fd;
        lastList_ = std::move(l.lastList);
        started_ = Clock::now();
        reader_ = std::thread(&Member::readLoop, this);
        return true;
    }

    // Bytes and channel lists received since the login.
    std::size_t bytes() const { return bytes_.load(); }
    int lists() const { return lists_.load(); }
    // Seconds from the login to the end of the connection; negative while open.
    double endedAfter() const { return endedAfter_.load(); }
    // Seconds since the last byte came.
    double quietFor() const {
        return std::chrono::duration<double>(Clock::now() - Clock::time_point(Clock::duration(lastByte_.load())))
            .count();
    }
    std::vector<uint8_t> lastList() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastList_;
    }

private:
    void readLoop() {
        PacketStream in;
        lastByte_ = Clock::now().time_since_epoch().count();
        while (in.fill(fd_, rate_ > 0 ? 16384 : 65536)) {
            lastByte_ = Clock::now().time_since_epoch().count();
            bytes_ = in.received;
            MessageType type;
            const uint8_t* p;
            uint32_t len;
            while (in.next(type, p, len)) {
                if (type != MessageType::ChannelList) continue;
                ++lists_;
                std::lock_guard<std::mutex> lock(mutex_);
                lastList_.assign(p, p + len);
            }
            if (rate_ > 0)
                std::this_thread::sleep_until(started_ + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(in.received / rate_)));
        }
        endedAfter_ = std::chrono::duration<double>(Clock::now() - started_).count();
    }

    const uint16_t port_;
    const std::string nickname_;
    const int receiveBuffer_;
    const double rate_;
    int fd_ = -1;
    Clock::time_point started_;
    std::atomic<std::size_t> bytes_{0};
    std::atomic<int> lists_{0};
    std::atomic<double> endedAfter_{-1};
    std::atomic<Clock::rep> lastByte_{0};
    mutable std::mutex mutex_;
    std::vector<uint8_t> lastList_;
    std::thread reader_;
};

// Clients from `sources` that each log in and close as fast as they can
// until stopped.
class Churners {
public:
    Churners(uint16_t port, const std::vector<std::string>& sources) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            threads_.emplace_back([this, port, source = sources[i], i] {
                for (int k = 0; running_.load(); ++k) {
                    const Login l = logIn(port, source.c_str(), "churn" + std::to_string(i) + "-" + std::to_string(k));
                    if (l.outcome == Outcome::Ok) {
                        ++logins_;
                        bytes_ += l.bytes;
                    }
                }
            });
        }
    }
    ~Churners() { stop(); }
    void stop() {
        running_ = false;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    int logins() const { return logins_.load(); }
    // Bytes the successful logins read up to their join's answer.
    std::size_t bytes() const { return bytes_.load(); }

private:
    std::atomic<bool> running_{true};
    std::atomic<int> logins_{0};
    std::atomic<std::size_t> bytes_{0};
    std::vector<std::thread> threads_;
};

// ---------------------------------------------------------------- churn

int churn(uint16_t port, int seconds) {
    constexpr double kSlowRate = 1e6;
    const auto span = std::chrono::seconds(seconds);

    // ---- one guest, a prompt member and one on a home link
    {
        Member prompt(port, "prompt");
        Member slow(port, "slow", 32 * 1024, kSlowRate);
        if (!prompt.start() || !slow.start()) {
            std::cerr << "the members could not log in\n";
            return 1;
        }
        const std::size_t listBytes = slow.lastList().size() + PacketHeader::kSize;
        const auto t0 = Clock::now();
        const std::size_t promptBefore = prompt.bytes(), slowBefore = slow.bytes();
        const int listsBefore = prompt.lists();
        int guestLogins = 0;
        for (int k = 0; Clock::now() - t0 < span; ++k)
            if (logIn(port, "127.0.0.2", "guest" + std::to_string(k)).outcome == Outcome::Ok) ++guestLogins;
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const double promptRate = static_cast<double>(prompt.bytes() - promptBefore) / elapsed;
        const double slowRate = static_cast<double>(slow.bytes() - slowBefore) / elapsed;
        const double listsPerSecond = (prompt.lists() - listsBefore) / elapsed;

        // Whatever still waits for the slow member, then a fresh client's view.
        waitUntil([&] { return slow.endedAfter() >= 0 || slow.quietFor() > 1.0; }, std::chrono::seconds(60));
        const Login fresh = logIn(port, "127.0.0.3", "fresh", 0, true);
        waitUntil([&] { return slow.endedAfter() >= 0 || slow.quietFor() > 1.0; }, std::chrono::seconds(60));
        const bool stayed = slow.endedAfter() < 0;
        const bool current = stayed && fresh.outcome == Outcome::Ok && slow.lastList() == fresh.lastList;
        if (fresh.fd >= 0) ::close(fresh.fd);
        char dropped[32];
        std::snprintf(dropped, sizeof dropped, "dropped after %.1f s", slow.endedAfter());
        std::printf("| one guest | %.0f | %.0f KB | %.0f | %.1f | %.2f | %s | %s |\n", guestLogins / elapsed,
                    listBytes / 1000.0, listsPerSecond, promptRate / 1e6, slowRate / 1e6,
                    stayed ? "stayed" : dropped, current ? "yes" : "no");
        std::fflush(stdout);
    }
    // Let the server settle: the members' departures.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // ---- 24 churners, 8 prompt members, a fresh client every half second
    {
        std::vector<std::unique_ptr<Member>> members;
        for (int i = 0; i < 8; ++i) {
            members.push_back(std::make_unique<Member>(port, "member" + std::to_string(i)));
            if (!members.back()->start()) {
                std::cerr << "member " << i << " could not log in\n";
                return 1;
            }
        }
        std::vector<std::string> sources;
        for (int i = 0; i < 24; ++i) sources.push_back("127.0.0." + std::to_string(10 + i));
        int listsBefore = 0;
        for (const auto& m : members) listsBefore += m->lists();
        Churners churners(port, sources);
        const auto t0 = Clock::now();
        std::vector<float> ms;
        int refused = 0, failed = 0;
        for (int k = 0; Clock::now() - t0 < span; ++k) {
            const auto next = Clock::now() + std::chrono::milliseconds(500);
            const Login l = logIn(port, "127.0.0.200", "fresh" + std::to_string(k));
            if (l.outcome == Outcome::Ok) ms.push_back(static_cast<float>(l.seconds * 1000));
            if (l.outcome == Outcome::Refused) ++refused;
            if (l.outcome == Outcome::Failed) ++failed;
            std::this_thread::sleep_until(next);
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        int lists = -listsBefore;
        for (const auto& m : members) lists += m->lists();
        churners.stop();
        int dropped = 0;
        for (const auto& m : members) dropped += m->endedAfter() >= 0 ? 1 : 0;
        const std::size_t attempts = ms.size() + static_cast<std::size_t>(refused + failed);
        const float worst = ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end());
        const int logins = churners.logins();
        std::printf("| 24 churners | %.0f | %zu | %d | %d | %.0f | %.0f | %d of 8 | %.0f | %.0f |\n", logins / elapsed,
                    attempts, refused, failed, percentile(ms, 0.50), worst, dropped, lists / 8.0 / elapsed,
                    logins > 0 ? static_cast<double>(churners.bytes()) / logins / 1000 : 0.0);
        std::fflush(stdout);
    }
    return 0;
}

// ---------------------------------------------------------------- storm

// N clients log in at the per-address pace, and each joins its channel of G
// once it is in the lobby; seconds until the last one has joined. The
// seeded channels have ids 2, 3, ...
int storm(uint16_t port, int n, int group) {
    std::counting_semaphore<kLoginWindow> window{kLoginWindow};
    std::atomic<int> joined{0};
    std::atomic<int> failed{0};
    std::atomic<int> outOfOrder{0};
    std::vector<int> fds(static_cast<std::size_t>(n), -1);
    std::vector<std::thread> readers;
    readers.reserve(static_cast<std::size_t>(n));
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        window.acquire();
        const int fd = dial(port);
        if (fd < 0 || !sendAll(fd, loginBytes("storm" + std::to_string(i)))) {
            std::cerr << "connect failed\n";
            return 1;
        }
        fds[static_cast<std::size_t>(i)] = fd;
        const auto room = static_cast<uint16_t>(2 + i / group);
        readers.emplace_back([&, fd, room] {
            bool waiting = true;
            bool inRoom = false;
            // The login sequence as a strict reader waits for it.
            static constexpr MessageType kLogin[] = {
                MessageType::AuthResponse, MessageType::IdentityStatus,    MessageType::ServerSettings,
                MessageType::ChannelList,  MessageType::UserList,          MessageType::ChatMessage,
                MessageType::UserJoinedChannel, MessageType::ChannelList, MessageType::ChannelJoinResult};
            std::size_t step = 0;
            uint32_t self = 0;
            PacketStream in;
            while (in.fill(fd)) {
                MessageType type;
                const uint8_t* p;
                uint32_t len;
                while (in.next(type, p, len)) {
                    PacketReader r{p, len, 0};
                    if (step < std::size(kLogin)) {
                        PacketReader peek{p, len, 0};
                        bool match = type == kLogin[step];
                        if (match && type == MessageType::UserJoinedChannel) match = peek.readLE<uint32_t>() == self;
                        if (match && type == MessageType::ChatMessage) match = peek.readLE<uint32_t>() == 0;
                        if (match) {
                            ++step;
                        } else if (type == MessageType::ChannelJoinResult) {
                            ++outOfOrder;  // its entry's answer, and the sequence not through
                            step = std::size(kLogin);
                        }
                    }
                    if (type == MessageType::AuthResponse) {
                        if (r.readLE<uint16_t>() != 0) ++failed;
                        self = r.readLE<uint32_t>();
                        window.release();
                        waiting = false;
                    } else if (type == MessageType::ChannelJoinResult && r.readLE<uint16_t>() == 0) {
                        const uint16_t channel = r.readLE<uint16_t>();
                        if (channel == room && !inRoom) {
                            inRoom = true;
                            ++joined;
                        } else if (channel != room) {
                            PacketBuilder b(MessageType::ChannelJoin);
                            b.writeLE(room);
                            b.writeStr("");
                            sendAll(fd, b.finalise());
                        }
                    }
                }
            }
            if (waiting) {
                ++failed;
                window.release();
            }
        });
    }
    const bool done = waitUntil([&] { return joined.load() + failed.load() >= n; }, std::chrono::seconds(600));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    for (const int fd : fds) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : readers) t.join();
    for (const int fd : fds) ::close(fd);
    if (!done || failed.load() > 0) {
        std::cerr << joined.load() << " of " << n << " joined, " << failed.load() << " failed\n";
        return 1;
    }
    std::printf("| %d | %d | %.1f | %.0f | %d |\n", n, (n + group - 1) / group, seconds, n / seconds,
                outOfOrder.load());
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- announce

// The name of the k-th channel the administrator creates (from 0); the
// watchers learn from it which creation a new id belongs to.
std::string announcedName(int k) { return "announce-" + std::to_string(k); }

// The records of a ChannelList payload; none when it cannot be read.
std::vector<ChannelInfo> readChannelList(const uint8_t* p, uint32_t len) {
    std::vector<ChannelInfo> out;
    try {
        PacketReader r{p, len, 0};
        const uint16_t n = r.readLE<uint16_t>();
        out.reserve(n);
        for (uint16_t i = 0; i < n; ++i) out.push_back(ChannelInfo::deserialise(r));
    } catch (const std::exception&) {
        out.clear();
    }
    return out;
}

std::vector<uint8_t> contentGetBytes(uint16_t channel) {
    PacketBuilder b(MessageType::ChannelContentGet);
    b.writeLE(channel);
    return b.finalise();
}

// A logged-in connection whose reader thread hands every packet to
// handle(); sends may come from any thread. A subclass calls stop() in its
// destructor, before the state handle() uses goes.
class Connection {
public:
    virtual ~Connection() { stop(); }

    // Logs in (at most 30 s) and starts reading; false when the login failed
    // or did not give at least `role`.
    bool start(uint16_t port, const std::string& nickname, const std::string& identity = "",
               UserRole role = UserRole::Guest) {
        Login l = logIn(port, nullptr, nickname, 0, true, identity);
        if (l.outcome != Outcome::Ok) return false;
        fd_ = l.fd;
        // A server that stops reading must not hold a request's sender for ever.
        const timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (l.role < static_cast<uint8_t>(role)) {
            std::cerr << nickname << " logged in with role " << unsigned{l.role} << "; was the database seeded?\n";
            return false;
        }
        loggedIn(readChannelList(l.lastList.data(), static_cast<uint32_t>(l.lastList.size())));
        reader_ = std::thread([this] {
            readPackets(fd_, [this](MessageType type, const uint8_t* p, uint32_t len) { handle(type, p, len); });
            closed = true;
            ended();
        });
        return true;
    }

    bool send(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(sendMutex_);
        return fd_ >= 0 && sendAll(fd_, bytes);
    }

    // Ends the connection and its reader; the state it left may be read after.
    void stop() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::atomic<bool> closed{false};

protected:
    // Before the reader starts: the channel list the login read last.
    virtual void loggedIn(const std::vector<ChannelInfo>& /*list*/) {}
    // On the reader thread, for each packet after the login.
    virtual void handle(MessageType type, const uint8_t* p, uint32_t len) = 0;
    // On the reader thread, once the connection has ended.
    virtual void ended() {}

private:
    int fd_ = -1;
    std::mutex sendMutex_;
    std::thread reader_;
};

// The administrator that creates channels one after another, each once the
// answer to the one before has come: the list that holds it, or a refusal.
class Creator : public Connection {
public:
    ~Creator() override { stop(); }

    enum class Answer { Listed, Refused, None };

    // Creates announcedName(k) and waits for the answer at most `limit`.
    Answer create(int k, std::chrono::seconds limit) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waitingFor_ = announcedName(k);
            answer_ = Answer::None;
        }
        PacketBuilder b(MessageType::ChannelCreate);
        b.writeLE<uint16_t>(0);  // top level
        b.writeStr(announcedName(k));
        b.writeStr("");  // description
        b.writeStr("");  // password
        b.writeLE<uint16_t>(0);  // no user limit
        b.writeLE<uint8_t>(0);   // sort order
        b.writeLE<uint8_t>(1);   // permanent
        b.writeLE(static_cast<uint8_t>(ChannelType::Text));
        b.writeLE<uint8_t>(0);  // log mode
        if (!send(b.finalise())) return Answer::None;
        std::unique_lock<std::mutex> lock(mutex_);
        answered_.wait_for(lock, limit, [&] { return answer_ != Answer::None || closed.load(); });
        return answer_;
    }

protected:
    void handle(MessageType type, const uint8_t* p, uint32_t len) override {
        if (type != MessageType::ChannelList && type != MessageType::Error) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (waitingFor_.empty() || answer_ != Answer::None) return;
        if (type == MessageType::Error) {
            answer_ = Answer::Refused;
        } else {
            for (const ChannelInfo& c : readChannelList(p, len))
                if (c.name == waitingFor_) answer_ = Answer::Listed;
        }
        if (answer_ != Answer::None) answered_.notify_all();
    }
    void ended() override {
        std::lock_guard<std::mutex> lock(mutex_);
        answered_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable answered_;
    std::string waitingFor_;
    Answer answer_ = Answer::None;
};

// An administrator that keeps `window` ChannelContentGet requests of the
// lobby in flight (each answer lets the next go) and acts at once on every
// new channel a list shows it: it asks for the content of announce-K for
// every even K, and stores a text into it for K = 1, 5, 9, ... (side 0) or
// K = 3, 7, 11, ... (side 1).
class Watcher : public Connection {
public:
    Watcher(int side, int window) : lobbyInFlight(window), side_(side), window_(window) {}
    ~Watcher() override { stop(); }

    bool begin(uint16_t port, const std::string& nickname, const std::string& identity) {
        nickname_ = nickname;
        if (!start(port, nickname, identity, UserRole::Admin)) return false;
        for (int i = 0; i < window_; ++i)
            if (!send(contentGetBytes(ChannelManager::kLobbyId))) return false;
        return true;
    }
    // No further lobby request after the answers in flight.
    void stopLobby() { lobbyRunning_ = false; }

    std::atomic<int> newSeen{0};
    std::atomic<int> getsAsked{0};
    std::atomic<int> getsAnswered{0};
    std::atomic<int> updatesSent{0};
    std::atomic<int> updatesEchoed{0};  // the sender's own copy of its stored text
    std::atomic<int> lobbyAnswered{0};
    std::atomic<int> lobbyInFlight;

    // Read once stopped: the stored texts by channel.
    const std::map<uint16_t, std::string>& updates() const { return updates_; }

protected:
    void loggedIn(const std::vector<ChannelInfo>& list) override {
        for (const ChannelInfo& c : list) known_.insert(c.id);
    }
    void handle(MessageType type, const uint8_t* p, uint32_t len) override {
        if (type == MessageType::ChannelList) {
            for (const ChannelInfo& c : readChannelList(p, len)) {
                if (!known_.insert(c.id).second) continue;
                if (c.name.rfind("announce-", 0) != 0) continue;
                ++newSeen;
                act(std::atoi(c.name.c_str() + 9), c.id);
            }
        } else if (type == MessageType::ChannelContent) {
            PacketReader r{p, len, 0};
            uint16_t id;
            std::string text;
            try {
                id = r.readLE<uint16_t>();
                text = r.readStr();
            } catch (const std::exception&) {
                return;
            }
            if (id == ChannelManager::kLobbyId) {
                ++lobbyAnswered;
                if (!lobbyRunning_ || !send(contentGetBytes(ChannelManager::kLobbyId))) --lobbyInFlight;
            } else if (pendingGets_.erase(id) != 0) {
                ++getsAnswered;
            } else if (const auto it = updates_.find(id); it != updates_.end() && it->second == text &&
                                                          echoed_.insert(id).second) {
                ++updatesEchoed;
            }
        }
    }

private:
    void act(int k, uint16_t id) {
        if (k % 2 == 0) {
            pendingGets_.insert(id);
            ++getsAsked;
            send(contentGetBytes(id));
        } else if ((k / 2) % 2 == side_) {
            std::string text = "{\"text\":\"" + announcedName(k) + " from " + nickname_ + "\"}";
            PacketBuilder b(MessageType::ChannelContentUpdate);
            b.writeLE(id);
            b.writeStr(text);
            updates_[id] = std::move(text);
            ++updatesSent;
            send(b.finalise());
        }
    }

    const int side_;
    const int window_;
    std::string nickname_;
    std::atomic<bool> lobbyRunning_{true};
    // The reader thread's alone while it runs.
    std::set<uint16_t> known_;
    std::set<uint16_t> pendingGets_;
    std::map<uint16_t, std::string> updates_;
    std::set<uint16_t> echoed_;
};

// N clients that log in at the per-address pace and then only read (and
// drop) what they are sent, as idle members do: read by a few threads
// through epoll, so a thousand of them cost no thousand threads.
class IdleCrowd {
public:
    ~IdleCrowd() {
        running_ = false;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        for (const int ep : polls_) ::close(ep);
        for (auto& s : socks_)
            if (s.fd >= 0) ::close(s.fd);
    }

    // Logs the N in; true once every one has its entry channel (at most
    // 120 s), false when any failed.
    bool start(uint16_t port, int n, int threads = 2) {
        socks_ = std::vector<Sock>(static_cast<std::size_t>(n));
        for (int t = 0; t < threads; ++t) polls_.push_back(::epoll_create1(0));
        for (const int ep : polls_) threads_.emplace_back(&IdleCrowd::readLoop, this, ep);
        for (int i = 0; i < n; ++i) {
            if (!window_.try_acquire_for(std::chrono::seconds(30))) {
                std::cerr << "idle logins stalled at " << i << " of " << n << "\n";
                return false;
            }
            Sock& s = socks_[static_cast<std::size_t>(i)];
            s.fd = dial(port);
            if (s.fd < 0 || !sendAll(s.fd, loginBytes("idle" + std::to_string(i)))) {
                std::cerr << "idle client " << i << " could not connect\n";
                return false;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<uint32_t>(i);
            ::epoll_ctl(polls_[static_cast<std::size_t>(i % threads)], EPOLL_CTL_ADD, s.fd, &ev);
        }
        const bool done = waitUntil([&] { return joined_.load() + failed_.load() >= n; }, std::chrono::seconds(120));
        if (!done || failed_.load() > 0) {
            std::cerr << joined_.load() << " of " << n << " idle clients logged in, " << failed_.load() << " failed\n";
            return false;
        }
        return true;
    }

    // Idle clients whose connection ended after their login.
    int dropped() const { return dropped_.load(); }

private:
    struct Sock {
        int fd = -1;
        bool authed = false;
        bool joined = false;
        PacketStream in;
    };

    void readLoop(int ep) {
        epoll_event events[64];
        std::vector<uint8_t> sink(65536);
        while (running_.load()) {
            const int k = ::epoll_wait(ep, events, 64, 50);
            for (int e = 0; e < k; ++e) {
                Sock& s = socks_[events[e].data.u32];
                bool open;
                if (s.joined) {
                    const ssize_t got = ::recv(s.fd, sink.data(), sink.size(), MSG_DONTWAIT);
                    open = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
                } else {
                    open = s.in.fill(s.fd);
                    MessageType type;
                    const uint8_t* p;
                    uint32_t len;
                    while (open && s.in.next(type, p, len)) {
                        PacketReader r{p, len, 0};
                        if (type == MessageType::AuthResponse && !s.authed) {
                            s.authed = true;
                            window_.release();
                            if (r.readLE<uint16_t>() != 0) open = false;
                        } else if (type == MessageType::ChannelJoinResult && !s.joined) {
                            s.joined = true;
                            ++joined_;
                            s.in = PacketStream();  // from here on bytes are dropped unread
                            break;
                        }
                    }
                }
                if (open) continue;
                ::epoll_ctl(ep, EPOLL_CTL_DEL, s.fd, nullptr);
                if (s.joined) {
                    ++dropped_;
                } else {
                    ++failed_;
                    if (!s.authed) window_.release();
                }
            }
        }
    }

    std::vector<Sock> socks_;
    std::vector<int> polls_;
    std::vector<std::thread> threads_;
    std::atomic<bool> running_{true};
    std::counting_semaphore<kLoginWindow> window_{kLoginWindow};
    std::atomic<int> joined_{0};
    std::atomic<int> failed_{0};
    std::atomic<int> dropped_{0};
};

// The stored content of each of `channels` as a fresh client reads it, at
// most `limit` for all; a channel without an answer is missing.
std::map<uint16_t, std::string> readContents(uint16_t port, const std::vector<uint16_t>& channels,
                                             std::chrono::seconds limit) {
    std::map<uint16_t, std::string> out;
    const Login l = logIn(port, nullptr, "checker", 0, true);
    if (l.outcome != Outcome::Ok) return out;
    std::vector<uint8_t> asks;
    for (const uint16_t id : channels) {
        const auto one = contentGetBytes(id);
        asks.insert(asks.end(), one.begin(), one.end());
    }
    const auto deadline = Clock::now() + limit;
    if (sendAll(l.fd, asks)) {
        PacketStream in;
        while (out.size() < channels.size() && Clock::now() < deadline) {
            pollfd pfd{l.fd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(1, left))) <= 0) continue;
            if (!in.fill(l.fd)) break;
            MessageType type;
            const uint8_t* p;
            uint32_t len;
            while (in.next(type, p, len)) {
                if (type != MessageType::ChannelContent) continue;
                PacketReader r{p, len, 0};
                try {
                    const uint16_t id = r.readLE<uint16_t>();
                    out.emplace(id, r.readStr());
                } catch (const std::exception&) {
                }
            }
        }
    }
    ::close(l.fd);
    return out;
}

// Two administrators watch while a third creates `channels` channels one
// after another under N idle members; see the header. Seeded admin
// identities 1 (creator), 2 and 3 (watchers).
int announce(uint16_t port, int n, int channels, int drainSeconds) {
    constexpr int kLobbyWindow = 4;
    Creator creator;
    if (!creator.start(port, "creator", adminIdentity(1), UserRole::Admin)) {
        std::cerr << "the creating administrator could not log in\n";
        return 1;
    }
    Watcher first(0, kLobbyWindow), last(1, kLobbyWindow);
    if (!first.begin(port, "watcher-first", adminIdentity(2))) {
        std::cerr << "the first watching administrator could not log in\n";
        return 1;
    }
    IdleCrowd crowd;
    if (!crowd.start(port, n)) return 1;
    if (!last.begin(port, "watcher-last", adminIdentity(3))) {
        std::cerr << "the last watching administrator could not log in\n";
        return 1;
    }

    // ---- creations, each waiting for its answer
    int created = 0, refused = 0;
    const int lobbyBefore = first.lobbyAnswered.load() + last.lobbyAnswered.load();
    const auto t0 = Clock::now();
    for (int k = 0; k < channels; ++k) {
        const Creator::Answer a = creator.create(k, std::chrono::seconds(30));
        if (a == Creator::Answer::Listed) ++created;
        if (a == Creator::Answer::Refused) ++refused;
        if (a == Creator::Answer::None) {
            std::cerr << "creation " << k << " had no answer within 30 s; stopping\n";
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const int lobbyDuring = first.lobbyAnswered.load() + last.lobbyAnswered.load() - lobbyBefore;
    first.stopLobby();
    last.stopLobby();

    // ---- drain: until every list has reached both watchers and every
    // request has its answer, or the deadline
    const auto settled = [&](const Watcher& w) {
        return w.newSeen.load() >= created && w.getsAnswered.load() >= w.getsAsked.load() &&
               w.updatesEchoed.load() >= w.updatesSent.load() && w.lobbyInFlight.load() == 0;
    };
    waitUntil([&] { return settled(first) && settled(last); }, std::chrono::seconds(drainSeconds));
    first.stop();
    last.stop();

    // ---- what the database holds now, as a fresh client reads it
    std::vector<uint16_t> updated;
    for (const Watcher* w : {&first, &last})
        for (const auto& [id, text] : w->updates()) updated.push_back(id);
    const auto stored = readContents(port, updated, std::chrono::seconds(drainSeconds));
    // Counted as not stored below; said apart here, since it is the read that failed.
    if (stored.size() < updated.size())
        std::cerr << updated.size() - stored.size() << " of " << updated.size() << " content reads had no answer\n";
    const auto notStored = [&](const Watcher& w) {
        int missing = 0;
        for (const auto& [id, text] : w.updates()) {
            const auto it = stored.find(id);
            if (it == stored.end() || it->second != text) ++missing;
        }
        return missing;
    };

    char channelsCell[48];
    if (created == channels)
        std::snprintf(channelsCell, sizeof channelsCell, "%d", channels);
    else
        std::snprintf(channelsCell, sizeof channelsCell, "%d of %d (%d refused)", created, channels, refused);
    std::printf("| %d | %s | %.1f | %d + %d of %d | %d + %d of %d | %.0f | %d | %d |\n", n, channelsCell, seconds,
                first.getsAsked.load() - first.getsAnswered.load(), last.getsAsked.load() - last.getsAnswered.load(),
                first.getsAsked.load() + last.getsAsked.load(), notStored(first), notStored(last),
                first.updatesSent.load() + last.updatesSent.load(), seconds > 0 ? lobbyDuring / seconds : 0.0,
                first.lobbyInFlight.load() + last.lobbyInFlight.load(), crowd.dropped());
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- one list under the move lock

int listFigure(int channels, int description, int rounds) {
    const auto vs = std::make_shared<VirtualServer>(VirtualServer::VSConfig{});
    for (int i = 0; i < channels; ++i) {
        ChannelInfo c;
        c.name = "room " + std::to_string(i);
        c.description.assign(static_cast<std::size_t>(description), static_cast<char>('a' + i % 26));
        vs->channelManager.createChannel(c);
    }
    const std::size_t bytes = channelListPacket(vs->channelManager.all()).size();
    constexpr int kWarmup = 10;
    std::vector<float> us;
    for (int r = 0; r < rounds + kWarmup; ++r) {
        const auto t0 = Clock::now();
        vs->broadcastChannelList();  // to no session: the lock, the list, nothing queued
        const auto t1 = Clock::now();
        if (r >= kWarmup) us.push_back(std::chrono::duration<float, std::micro>(t1 - t0).count());
    }
    std::printf("| %d | %d | %.0f KB | %.0f | %.0f |\n", channels + 1, description, bytes / 1000.0,
                percentile(us, 0.50), percentile(us, 0.99));
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
    if (args.size() >= 3 && args.size() <= 5 && args[0] == "seed")
        return seed(args[1], std::stoi(args[2]), args.size() >= 4 ? std::stoi(args[3]) : 0,
                    args.size() == 5 ? std::stoi(args[4]) : 0);
    if (args.size() == 2 && args[0] == "wait") return waitForPort(static_cast<uint16_t>(std::stoi(args[1])));
    const std::vector<std::string> commands = {"run", "storm", "churn", "list", "announce"};
    if (args.empty() || std::find(commands.begin(), commands.end(), args[0]) == commands.end()) {
        std::cerr << "usage: korrafin_bench run --port P --udp-port U --clients N [--group G] "
                     "[--voice-seconds S] [--messages K] [--silent Q] [--udp-threads T]\n"
                     "       korrafin_bench storm --port P --clients N [--group G]\n"
                     "       korrafin_bench churn --port P [--seconds S]\n"
                     "       korrafin_bench list [--channels C] [--description D] [--rounds R]\n"
                     "       korrafin_bench announce --port P [--clients N] [--channels C] [--drain S]\n"
                     "       korrafin_bench seed <database file> <channels> [<description bytes> [<admins>]]\n"
                     "       korrafin_bench wait <port>\n";
        return 2;
    }
    Options opt;
    // Left at -1 where the modes' defaults differ.
    int clients = -1, channels = -1;
    int seconds = 30, description = 3000, rounds = 200, drain = 10;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
        const std::string& k = args[i];
        const int v = std::stoi(args[i + 1]);
        if (k == "--port") opt.port = static_cast<uint16_t>(v);
        else if (k == "--udp-port") opt.udpPort = static_cast<uint16_t>(v);
        else if (k == "--clients") clients = std::max(2, v);
        else if (k == "--group") opt.group = std::max(2, v);
        else if (k == "--voice-seconds") opt.voiceSeconds = std::max(1, v);
        else if (k == "--messages") opt.messages = v;
        else if (k == "--silent") opt.silent = std::max(0, v);
        else if (k == "--udp-threads") opt.udpThreads = std::max(1, v);
        else if (k == "--seconds") seconds = std::max(1, v);
        else if (k == "--channels") channels = std::max(0, v);
        else if (k == "--description") description = std::max(0, v);
        else if (k == "--rounds") rounds = std::max(1, v);
        else if (k == "--drain") drain = std::max(1, v);
    }
    if (clients > 0) opt.clients = clients;
    if (args[0] == "storm") return storm(opt.port, opt.clients, opt.group);
    if (args[0] == "churn") return churn(opt.port, seconds);
    if (args[0] == "list") return listFigure(channels < 0 ? 80 : channels, description, rounds);
    if (args[0] == "announce")
        return announce(opt.port, clients < 0 ? 1200 : clients, channels < 0 ? 300 : channels, drain);
    return run(opt);
}
