// Announcements of changes reach every client in the order of the changes:
// while an admin creates channels and others join and leave, each client's
// last channel list is the one a fresh client gets, never an older one. A
// client that is far behind gets its own login and moves in their order,
// every channel listed before a packet names it, and the current state last.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "support/Requests.h"
#include "support/Sequences.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

// The payload of the last ChannelList among `packets`.
std::optional<std::vector<uint8_t>> lastList(const std::vector<Packet>& packets) {
    std::optional<std::vector<uint8_t>> last;
    for (const auto& p : packets)
        if (p.type == MessageType::ChannelList) last = p.payload;
    return last;
}

TEST(AnnouncementOrder, EveryClientsLastChannelListIsTheCurrentOne) {
    constexpr int kRounds = 4, kMovers = 6, kCreates = 12, kMoves = 24;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        VServerWorld world(7, /*withDatabase=*/false);
        std::vector<uint16_t> rooms;
        for (int r = 0; r < 3; ++r) rooms.push_back(world.addChannel("room " + std::to_string(r)));
        SessionHarness& admin = world.join(10, "admin", UserRole::Admin);
        std::vector<SessionHarness*> movers;
        for (int m = 0; m < kMovers; ++m)
            movers.push_back(&world.join(20 + m, "mover" + std::to_string(m), UserRole::Member));
        SessionHarness& watcher = world.join(90, "watcher", UserRole::Member);

        // Everybody's requests at once, each client read by its own thread.
        std::vector<std::vector<Packet>> got(kMovers + 1);
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            std::vector<uint8_t> burst;
            for (int i = 0; i < kCreates; ++i) {
                ChannelRequest c;
                c.name = "new " + std::to_string(round) + "/" + std::to_string(i);
                const auto r = channelCreateRequest(c);
                burst.insert(burst.end(), r.begin(), r.end());
            }
            got[kMovers] = requestAndWait(admin, burst);
        });
        for (int m = 0; m < kMovers; ++m) {
            threads.emplace_back([&, m] {
                std::vector<uint8_t> burst;
                for (int i = 0; i < kMoves; ++i) {
                    const auto r = i % 2 == 0 ? channelJoinRequest(rooms[(m + i) % rooms.size()])
                                              : packet(MessageType::ChannelLeave);
                    burst.insert(burst.end(), r.begin(), r.end());
                }
                got[m] = requestAndWait(*movers[m], burst);
            });
        }
        for (auto& t : threads) t.join();

        // Every change is made; whatever is still on its way comes before
        // the marker.
        for (int m = 0; m < kMovers; ++m) {
            auto rest = receivedSoFar(*movers[m]);
            got[m].insert(got[m].end(), rest.begin(), rest.end());
        }
        auto rest = receivedSoFar(admin);
        got[kMovers].insert(got[kMovers].end(), rest.begin(), rest.end());
        const auto watched = receivedSoFar(watcher);

        // What a client that logs in now is sent.
        auto fresh = connectTo(world.vs, 99);
        world.vs->sendChannelList(fresh->session);
        const auto freshList = fresh->client.next();
        ASSERT_TRUE(freshList);
        ASSERT_EQ(freshList->type, MessageType::ChannelList);
        ASSERT_EQ(channelsOf(*freshList).size(), 1u + rooms.size() + kCreates);

        for (int c = 0; c <= kMovers; ++c) {
            const auto last = lastList(got[c]);
            ASSERT_TRUE(last) << "client " << c;
            EXPECT_EQ(*last, freshList->payload) << "client " << c << " was left with an older list";
        }
        const auto last = lastList(watched);
        ASSERT_TRUE(last);
        EXPECT_EQ(*last, freshList->payload) << "the bystander was left with an older list";
    }
}

// ---------------------------------------------------------------- clients far behind

// Puts a client far behind: its session is sent, through a small socket
// buffer, many times what the buffers hold, which the client does not read
// until the test has it read everything.
void fillSocket(SessionHarness& h) {
    const int small = 4096;
    ::setsockopt(h.session->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    for (int i = 0; i < 5; ++i) h.session->send(directMessagePacket(0, "filler", std::string(60000, 'f')));
}

std::set<uint16_t> channelIds(const VirtualServer& vs) {
    std::set<uint16_t> ids;
    for (const auto& c : vs.channelManager.all()) ids.insert(c.id);
    return ids;
}

uint16_t createChannel(VirtualServer& vs, const std::string& name, uint32_t actor) {
    ChannelInfo c;
    c.name = name;
    c.type = static_cast<uint8_t>(ChannelType::Text);
    const uint16_t id = vs.adminCreateChannel(c, actor);
    EXPECT_NE(id, 0) << name;
    return id;
}

// What one client received in a case, and what it must show.
struct Seen {
    std::string who;
    std::vector<Packet> packets;
    std::set<uint16_t> known;                      // channels it was told of before
    std::vector<std::vector<Step>> sequences = {};  // its own, each in order
    bool fromAuthResponse = false;                  // a login: what came before it is not the client's yet
    bool listed = true;                             // a change it saw sent it a channel list
};

// Runs once, on the thread of the login's first read of the settings,
// when armed.
struct DuringLogin {
    std::function<void()> action;
    std::atomic<bool> armed{false};
    void arm(std::function<void()> f) {
        action = std::move(f);
        armed.store(true, std::memory_order_release);
    }
};

// Everything the clients received once every change is made: each waits
// for its own requests first, then takes what others' requests sent it since.
std::vector<std::vector<Packet>> readAll(const std::vector<SessionHarness*>& clients) {
    std::vector<std::vector<Packet>> got;
    for (SessionHarness* h : clients) got.push_back(untilHandled(h->client));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        auto rest = receivedSoFar(*clients[i]);
        got[i].insert(got[i].end(), rest.begin(), rest.end());
    }
    return got;
}

struct Scenario {
    const char* what;
    // Builds the case in `world` and returns what the clients received once
    // every change is made; names the channels deleted meanwhile in `gone`.
    std::function<std::vector<Seen>(VServerWorld& world, std::set<uint16_t>& gone, DuringLogin& duringLogin)> run;
};

TEST(AnnouncementOrder, AClientFarBehindGetsItsSequencesInOrderEveryChannelListedFirstAndTheCurrentStateLast) {
    const std::vector<Scenario> scenarios = {
        {"a login while others move and create channels",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness& member = w.join(20, "member", UserRole::Member);
             const auto before = channelIds(*w.vs);
             SessionHarness* late = &w.adopt(connectTo(w.vs, 50, "127.0.0.1", SessionHarness::Transport::Unix));
             sayHello(*late);
             fillSocket(*late);
             late->client.send(authRequest("late"));
             // Meanwhile: a channel made and joined, a member coming and going.
             const uint16_t room = createChannel(*w.vs, "new room", 10);
             admin.client.send(channelJoinRequest(room));
             member.client.send(packet(MessageType::ChannelLeave));
             member.client.send(channelJoinRequest(room));
             auto got = readAll({late, &admin, &member});
             return std::vector<Seen>{{"the late client", got[0], {}, {loginSequence(50, 1)}, true},
                                      {"the admin", got[1], before},
                                      {"the member", got[2], before}};
         }},
        {"a move into a channel just made, mover and watcher far behind",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(admin);
             fillSocket(watcher);
             const uint16_t room = createChannel(*w.vs, "new room", 10);
             admin.client.send(channelJoinRequest(room));
             EXPECT_TRUE(eventually([&] { return w.vs->findSession(10)->channelId() == room; }));
             auto got = readAll({&admin, &watcher});
             return std::vector<Seen>{{"the mover", got[0], before, {moveSequence(10, 1, room)}},
                                      {"the watcher", got[1], before}};
         }},
        {"a reorder of channels just made",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             w.join(10, "admin", UserRole::Admin);
             SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(watcher);
             const uint16_t x = createChannel(*w.vs, "x", 10);
             const uint16_t y = createChannel(*w.vs, "y", 10);
             EXPECT_TRUE(w.vs->adminReorderChannels({y, x, ChannelManager::kLobbyId}, 10));
             auto got = readAll({&watcher});
             EXPECT_NE(firstOf(got[0], MessageType::ChannelReorder), got[0].size());
             return std::vector<Seen>{{"the watcher", got[0], before}};
         }},
        {"a delete of a channel with members far behind",
         [](VServerWorld& w, std::set<uint16_t>& gone, DuringLogin&) {
             w.join(10, "admin", UserRole::Admin);
             const uint16_t room = w.addChannel("doomed");
             SessionHarness& inside = w.join(20, "inside", UserRole::Member, room);
             SessionHarness& also = w.join(30, "also inside", UserRole::Member, room);
             SessionHarness& watcher = w.join(40, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(inside);
             fillSocket(watcher);
             EXPECT_TRUE(w.vs->adminDeleteChannel(room, 10));
             gone.insert(room);
             auto got = readAll({&inside, &also, &watcher});
             return std::vector<Seen>{{"a member inside", got[0], before, {moveSequence(20, room, 1)}},
                                      {"a member inside that keeps up", got[1], before, {moveSequence(30, room, 1)}},
                                      {"the watcher", got[2], before}};
         }},
        {"two admins rewriting a channel's content at once",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& first = w.join(10, "first", UserRole::Admin);
             SessionHarness& second = w.join(20, "second", UserRole::Admin);
             SessionHarness& watcher = w.join(30, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(watcher);
             // Each admin's updates in one burst, both at once.
             for (SessionHarness* admin : {&first, &second}) {
                 std::vector<uint8_t> burst;
                 for (int i = 0; i < 60; ++i) {
                     const auto r = contentUpdateRequest(ChannelManager::kLobbyId,
                                                         admin->session->nickname() + " " + std::to_string(i));
                     burst.insert(burst.end(), r.begin(), r.end());
                 }
                 admin->client.send(burst);
             }
             auto got = readAll({&first, &second, &watcher});
             return std::vector<Seen>{{"the first admin", got[0], before, {}, false, false},
                                      {"the second admin", got[1], before, {}, false, false},
                                      {"the watcher", got[2], before, {}, false, false}};
         }},
        {"a settings change during a login",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin& duringLogin) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness* late = &w.adopt(connectTo(w.vs, 50, "127.0.0.1", SessionHarness::Transport::Unix));
             sayHello(*late);
             fillSocket(*late);
             DB::DbServerSettings changed = w.vs->getServerSettings();
             changed.name = "Renamed";
             changed.description = "while somebody logged in";
             // The admin's change is stored and shown right after the login
             // has first read the settings.
             duringLogin.arm([&admin, changed] { requestAndWait(admin, settingsRequest(changed)); });
             late->client.send(authRequest("late"));
             auto got = readAll({late, &admin});
             EXPECT_EQ(w.vs->getServerSettings().name, "Renamed");
             return std::vector<Seen>{{"the late client", got[0], {}, {loginSequence(50, 1)}, true},
                                      {"the admin", got[1], channelIds(*w.vs)}};
         }},
        // An update queued before a newer list must not come after that list.
        {"a reorder and then an update",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(watcher);
             const uint16_t alpha = createChannel(*w.vs, "alpha", 10);
             const uint16_t beta = createChannel(*w.vs, "beta", 10);
             EXPECT_TRUE(w.vs->adminReorderChannels({beta, alpha}, 10));
             ChannelInfo moved = *w.vs->channelManager.find(alpha);
             moved.sortOrder = 9;
             EXPECT_TRUE(w.vs->adminUpdateChannel(moved, 10));
             auto got = readAll({&watcher, &admin});
             return std::vector<Seen>{{"the watcher", got[0], before}, {"the admin", got[1], before}};
         }},
        {"a reaction and then a content replace",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(watcher);
             const uint16_t lobby = ChannelManager::kLobbyId;
             std::vector<Packet> own;
             for (const auto& request :
                  {contentUpdateRequest(lobby, R"({"posts":[{"id":"p1","text":"first"}]})"),
                   reactionToggleRequest(lobby, "p1", "X"),
                   contentUpdateRequest(lobby, R"({"posts":[{"id":"p1","text":"second"}]})")}) {
                 const auto answer = requestAndWait(admin, request);
                 own.insert(own.end(), answer.begin(), answer.end());
             }
             auto got = readAll({&watcher, &admin});
             own.insert(own.end(), got[1].begin(), got[1].end());
             return std::vector<Seen>{{"the watcher", got[0], before, {}, false, false},
                                      {"the admin", own, before, {}, false, false}};
         }},
        {"chat in a channel between two lists",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             w.join(10, "admin", UserRole::Admin);
             SessionHarness& chatter = w.join(20, "chatter", UserRole::Member);
             SessionHarness& watcher = w.join(30, "watcher", UserRole::Member);
             const auto before = channelIds(*w.vs);
             fillSocket(watcher);
             std::vector<Packet> own;
             auto chat = [&](const std::string& text) {
                 const auto answer = requestAndWait(chatter, chatRequest(text));
                 own.insert(own.end(), answer.begin(), answer.end());
             };
             createChannel(*w.vs, "first", 10);
             for (int i = 0; i < 3; ++i) chat("hello " + std::to_string(i));
             createChannel(*w.vs, "second", 10);
             auto got = readAll({&watcher, &chatter});
             own.insert(own.end(), got[1].begin(), got[1].end());
             return std::vector<Seen>{{"the watcher", got[0], before}, {"the chatter", own, before}};
         }},
        // What the client asked for itself reaches it, and the newest state after it.
        {"the requester's own reorder while it is far behind",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             const auto before = channelIds(*w.vs);
             fillSocket(admin);
             const uint16_t alpha = createChannel(*w.vs, "alpha", 10);
             const uint16_t beta = createChannel(*w.vs, "beta", 10);
             admin.client.send(channelReorderRequest({beta, alpha}));
             EXPECT_TRUE(eventually([&] { return w.vs->channelManager.find(alpha)->sortOrder == 1; }));
             ChannelInfo moved = *w.vs->channelManager.find(alpha);
             moved.sortOrder = 9;
             EXPECT_TRUE(w.vs->adminUpdateChannel(moved, 0));
             auto got = readAll({&admin});
             const std::vector<Step> own = {
                 {MessageType::ChannelReorder, "its own ChannelReorder",
                  [=](const Packet& p) { return p.bytes() == channelReorderPacket({beta, alpha}); }},
                 {MessageType::ChannelList, "a ChannelList after it"}};
             return std::vector<Seen>{{"the admin", got[0], before, {own}}};
         }},
        {"the requester's own reaction while it is far behind",
         [](VServerWorld& w, std::set<uint16_t>&, DuringLogin&) {
             SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
             SessionHarness& other = w.join(20, "other admin", UserRole::Admin);
             const auto before = channelIds(*w.vs);
             const uint16_t lobby = ChannelManager::kLobbyId;
             fillSocket(admin);
             std::vector<uint8_t> burst = contentUpdateRequest(lobby, R"({"posts":[{"id":"p1","text":"first"}]})");
             const auto toggle = reactionToggleRequest(lobby, "p1", "X");
             burst.insert(burst.end(), toggle.begin(), toggle.end());
             admin.client.send(burst);
             EXPECT_TRUE(eventually([&] {
                 return w.database->real->GetChannelContent(lobby).value_or("").find("reactions") != std::string::npos;
             }));
             auto answer = requestAndWait(other, contentUpdateRequest(lobby, R"({"posts":[{"id":"p1","text":"second"}]})"));
             auto got = readAll({&admin, &other});
             answer.insert(answer.end(), got[1].begin(), got[1].end());
             const std::vector<Step> own = {
                 {MessageType::ChannelReactionUpdate, "its own ChannelReactionUpdate"},
                 {MessageType::ChannelContent, "the newer content after it",
                  [](const Packet& p) {
                      auto r = p.reader();
                      r.readLE<uint16_t>();
                      return r.readStr().find("second") != std::string::npos;
                  }}};
             return std::vector<Seen>{{"the admin", got[0], before, {own}, false, false},
                                      {"the other admin", answer, before, {}, false, false}};
         }},
    };

    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.what);
        VServerWorld world;
        // Set before any thread uses the store.
        DuringLogin duringLogin;
        world.database->db->after = [&duringLogin](std::string_view op) {
            if (op == "GetServerSettings" && duringLogin.armed.exchange(false, std::memory_order_acquire))
                duringLogin.action();
        };
        std::set<uint16_t> gone;
        const auto seen = scenario.run(world, gone, duringLogin);

        const auto currentList = world.vs->channelManager.listPacket();
        const auto currentSettings = serverSettingsPacket(world.vs->getServerSettings());
        for (const Seen& c : seen) {
            SCOPED_TRACE(c.who);
            const std::size_t from = c.fromAuthResponse ? firstOf(c.packets, MessageType::AuthResponse) : 0;
            if (c.fromAuthResponse) {
                ASSERT_LT(from, c.packets.size()) << "no AuthResponse";
            }
            for (const auto& sequence : c.sequences) EXPECT_EQ(missingInOrder(c.packets, sequence, from), "");
            EXPECT_EQ(unlistedChannel(c.packets, c.known, gone, from), "");
            const auto list = lastOf(c.packets, MessageType::ChannelList);
            if (c.listed) {
                ASSERT_TRUE(list) << "no channel list at all";
                EXPECT_TRUE(list->bytes() == currentList) << "the last channel list is not the current one";
            }
            if (const auto settings = lastOf(c.packets, MessageType::ServerSettings)) {
                EXPECT_TRUE(settings->bytes() == currentSettings) << "the last settings are not the stored ones";
            }
            if (!c.listed) {
                ASSERT_TRUE(lastOf(c.packets, MessageType::ChannelContent)) << "no channel content at all";
            }
            if (const auto content = lastOf(c.packets, MessageType::ChannelContent)) {
                auto r = content->reader();
                const uint16_t channel = r.readLE<uint16_t>();
                EXPECT_EQ(r.readStr(), world.database->real->GetChannelContent(channel).value_or(""))
                    << "the last content of channel " << channel << " is not the stored one";
            }
            // Applied in order, what it got leaves it with what is stored.
            const ClientView view = viewFrom(c.packets, from);
            if (c.listed) {
                EXPECT_EQ(orderAndCountsDiffer(view, currentList), "");
            }
            for (const auto& [channel, doc] : view.contents)
                EXPECT_EQ(contentDiffers(view, channel, world.database->real->GetChannelContent(channel).value_or("")),
                          "");
        }
    }
}

// A request that names a channel while its creator has put it in the tree
// and not yet queued the list that announces it: whatever the request
// sends, no client gets it before that list. The creator is held between
// the two steps until the requests are handled.
TEST(AnnouncementOrder, RequestsRacingTheCreationOfTheirChannelNameItOnlyAfterItsList) {
    VServerWorld w;
    SessionHarness& admin = w.join(10, "admin", UserRole::Admin);
    SessionHarness& watcher = w.join(20, "watcher", UserRole::Member);
    const auto before = channelIds(*w.vs);

    std::mutex m;
    std::condition_variable cv;
    uint16_t created = 0;
    bool go = false;
    // Set before any thread creates a channel.
    w.vs->channelManager.onCreated = [&](const ChannelInfo& c) {
        std::unique_lock<std::mutex> lock(m);
        created = c.id;
        cv.notify_all();
        cv.wait(lock, [&] { return go; });
    };
    std::thread creator([&] { createChannel(*w.vs, "new room", 10); });
    uint16_t room = 0;
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return created != 0; });
        room = created;
    }
    // Content with a post, then a reaction on it, for the channel just made.
    std::vector<uint8_t> burst = contentUpdateRequest(room, R"({"posts":[{"id":"p1","text":"early"}]})");
    const auto toggle = reactionToggleRequest(room, "p1", "X");
    burst.insert(burst.end(), toggle.begin(), toggle.end());
    std::vector<Packet> own = requestAndWait(admin, burst);
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    creator.join();
    // Once listed, the channel takes content as any other.
    const auto answer = requestAndWait(admin, contentUpdateRequest(room, R"({"posts":[{"id":"p1","text":"later"}]})"));
    own.insert(own.end(), answer.begin(), answer.end());
    const auto rest = receivedSoFar(admin);
    own.insert(own.end(), rest.begin(), rest.end());

    for (const auto& [who, got] : {std::pair{"the watcher", receivedSoFar(watcher)}, std::pair{"the admin", own}}) {
        SCOPED_TRACE(who);
        EXPECT_EQ(unlistedChannel(got, before), "");
        const ClientView view = viewFrom(got);
        EXPECT_EQ(orderAndCountsDiffer(view, w.vs->channelManager.listPacket()), "");
        EXPECT_EQ(contentDiffers(view, room, w.database->real->GetChannelContent(room).value_or("")), "");
        EXPECT_NE(firstOf(got, MessageType::ChannelContent), got.size()) << "the later content reaches it";
    }
}

// A request that names a new channel as soon as its client has the list
// that holds it, while the creator still queues that list to the others:
// the creator's walk over the sessions is held after the first session it
// reached; that session's list goes out with the answer to one of its own
// requests, and it names the channel at once. The request is handled as for
// any listed channel, and nobody gets what it sends before its own list.
TEST(AnnouncementOrder, ARequestNamingANewChannelAsSoonAsItsListHasArrivedIsHandled) {
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>(uint16_t room)> requests;
        // What the server holds afterwards; "" when it is as it should be.
        std::function<std::string(VServerWorld& w, uint16_t room, uint32_t asker)> stored;
        // What the asker got in answer; "" when it is as it should be.
        std::function<std::string(const std::vector<Packet>& got, uint16_t room)> answered;
    };
    const std::string text = R"({"posts":[{"id":"p1","text":"first"}]})";
    const std::vector<Case> cases = {
        {"a content get, then an update and a reaction on it",
         [&](uint16_t room) {
             std::vector<uint8_t> b = contentGetRequest(room);
             for (const auto& r : {contentUpdateRequest(room, text), reactionToggleRequest(room, "p1", "X")})
                 b.insert(b.end(), r.begin(), r.end());
             return b;
         },
         [](VServerWorld& w, uint16_t room, uint32_t asker) -> std::string {
             const auto doc = contentDocOf(w.database->real->GetChannelContent(room).value_or(""));
             const nlohmann::json::json_pointer reaction("/posts/0/reactions/X");
             if (!doc.is_object() || !doc.contains(reaction) || doc.at(reaction) != nlohmann::json::array({asker}))
                 return "stored " + doc.dump();
             return "";
         },
         [](const std::vector<Packet>& got, uint16_t room) -> std::string {
             // The get's answer: the channel has no content yet.
             for (const auto& p : got) {
                 auto r = p.reader();
                 if (p.type == MessageType::ChannelContent && r.readLE<uint16_t>() == room)
                     return r.readStr().empty() ? "" : "the first content it got is not the get's answer";
             }
             return "no answer to the get";
         }},
        {"a delete",
         [](uint16_t room) { return channelDeleteRequest(room); },
         [](VServerWorld& w, uint16_t room, uint32_t) -> std::string {
             if (w.vs->channelManager.find(room)) return "still in the tree";
             for (const auto& row : w.database->real->GetAllChannels())
                 if (row.id == room) return "still stored";
             return "";
         },
         [](const std::vector<Packet>&, uint16_t) { return std::string(); }},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Held at the first session the walk reaches, once armed. It outlives
        // the world: the members' departures walk the sessions too.
        struct {
            std::mutex m;
            std::condition_variable cv;
            bool armed = false;
            bool released = false;
            uint32_t first = 0;
        } hold;
        VServerWorld w;
        // Set before any other thread can walk the sessions.
        w.vs->onQueued = [&](const ClientSession& s) {
            std::unique_lock<std::mutex> lock(hold.m);
            if (!hold.armed || hold.first != 0) return;
            hold.first = s.clientId();
            hold.cv.notify_all();
            hold.cv.wait(lock, [&] { return hold.released; });
        };
        // Every member may ask: whichever the walk reaches first does.
        std::vector<SessionHarness*> members;
        for (uint32_t id : {10u, 20u, 30u})
            members.push_back(&w.join(id, "admin" + std::to_string(id), UserRole::Admin));
        const auto before = channelIds(*w.vs);

        {
            std::lock_guard<std::mutex> lock(hold.m);
            hold.armed = true;
        }
        std::thread creator([&] {
            ChannelInfo room;
            room.name = "new room";
            room.type = static_cast<uint8_t>(ChannelType::Text);
            room.isPermanent = false;  // one an admin may delete
            EXPECT_NE(w.vs->adminCreateChannel(room, 0), 0);
        });
        // Lets the creator go on and waits for it, also when a check below
        // ends the case early.
        const auto release = [&] {
            {
                std::lock_guard<std::mutex> lock(hold.m);
                hold.released = true;
            }
            hold.cv.notify_all();
            if (creator.joinable()) creator.join();
        };
        struct ReleaseOnExit {
            const decltype(release)& go;
            ~ReleaseOnExit() { go(); }
        } releaseOnExit{release};
        SessionHarness* asker = nullptr;
        {
            std::unique_lock<std::mutex> lock(hold.m);
            hold.cv.wait(lock, [&] { return hold.first != 0; });
            for (SessionHarness* m : members)
                if (m->clientId == hold.first) asker = m;
        }
        ASSERT_NE(asker, nullptr);
        // One of its own requests: the answer's write takes the list out too.
        std::vector<Packet> got = requestAndWait(*asker, contentGetRequest(ChannelManager::kLobbyId));
        const auto list = lastOf(got, MessageType::ChannelList);
        ASSERT_TRUE(list) << "the list did not go out with the answer";
        uint16_t room = 0;
        for (const auto& ch : channelsOf(*list))
            if (!before.count(ch.id)) room = ch.id;
        ASSERT_NE(room, 0);

        // It names the channel at once; the walk goes on only once the
        // request waits for it, or has been handled without it.
        asker->client.send(c.requests(room));
        const std::string sync = "sync/named";
        asker->client.send(fileRequest(sync));
        bool handled = false;
        const auto isSync = [&](const Packet& p) {
            return p.type == MessageType::FileData && p.reader().readStr() == sync;
        };
        EXPECT_TRUE(eventually([&] {
            if (w.vs->channelManager.waitingFinds() > 0) return true;
            asker->client.receiveNow();
            while (auto p = asker->client.next(std::chrono::milliseconds(0))) {
                if (isSync(*p)) return handled = true;
                got.push_back(std::move(*p));
            }
            return false;
        }));
        EXPECT_FALSE(handled) << "handled before every client had the list";
        release();
        if (!handled) {
            asker->client.seen.clear();
            auto p = asker->client.waitFor(MessageType::FileData, kPatience, isSync);
            EXPECT_TRUE(p) << "the sync request was not answered";
            got.insert(got.end(), asker->client.seen.begin(), asker->client.seen.end() - (p ? 1 : 0));
            asker->client.seen.clear();
        }
        const auto rest = receivedSoFar(*asker);
        got.insert(got.end(), rest.begin(), rest.end());

        EXPECT_EQ(c.stored(w, room, asker->clientId), "");
        EXPECT_EQ(c.answered(got, room), "");
        const std::string content = w.database->real->GetChannelContent(room).value_or("");
        for (SessionHarness* m : members) {
            SCOPED_TRACE(m->clientId);
            const auto seen = m == asker ? got : receivedSoFar(*m);
            EXPECT_EQ(unlistedChannel(seen, before), "");
            const ClientView view = viewFrom(seen);
            EXPECT_EQ(orderAndCountsDiffer(view, w.vs->channelManager.listPacket()), "");
            EXPECT_EQ(contentDiffers(view, room, content), "");
        }
    }
}

}  // namespace
}  // namespace Korrafin::Test
