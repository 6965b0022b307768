// Image upload and download over real sockets. The store is "./files" under
// the working directory, so every test runs in a fresh directory of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/SessionHarness.h"
#include "support/TempDir.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kLimit = 2097152;

std::vector<uint8_t> imageBytes(std::size_t n, uint32_t seed = 1) {
    static const uint8_t signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> out(signature, signature + std::min(n, sizeof signature));
    std::mt19937 rng(seed);
    while (out.size() < n) out.push_back(static_cast<uint8_t>(rng()));
    return out;
}

struct UploadResult {
    uint8_t ok = 0;
    std::string text;
};

struct FileData {
    std::string name;
    uint8_t found = 0;
    std::vector<uint8_t> data;
};

// The one reply of a request; fails the test when there is not exactly one
// packet of that type.
const Packet* onlyReply(const std::vector<Packet>& got, MessageType type) {
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1 || got[0].type != type) {
        ADD_FAILURE() << "expected exactly one packet of type " << static_cast<int>(type);
        return nullptr;
    }
    return &got[0];
}

std::optional<UploadResult> uploadReply(const std::vector<Packet>& got) {
    const Packet* p = onlyReply(got, MessageType::FileUploadResult);
    if (!p) return std::nullopt;
    auto r = p->reader();
    UploadResult u;
    u.ok = r.readLE<uint8_t>();
    u.text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return u;
}

std::optional<FileData> fileReply(const std::vector<Packet>& got) {
    const Packet* p = onlyReply(got, MessageType::FileData);
    if (!p) return std::nullopt;
    auto r = p->reader();
    FileData f;
    f.name = r.readStr();
    f.found = r.readLE<uint8_t>();
    if (f.found) {
        const uint32_t n = r.readLE<uint32_t>();
        const auto bytes = r.readBytes(n);
        f.data.assign(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(r.remaining(), 0u);
    return f;
}

std::vector<uint8_t> fileBytes(const fs::path& p) {
    const std::string s = readFile(p.string());
    return {s.begin(), s.end()};
}

std::vector<std::string> storeEntries() {
    std::vector<std::string> out;
    if (!fs::exists("files")) return out;
    for (const auto& e : fs::directory_iterator("files")) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// "<seconds>_<counter>.<ext>"
struct StoredName {
    int64_t seconds = 0;
    uint32_t counter = 0;
    std::string ext;
};

std::optional<StoredName> parseName(const std::string& name) {
    static const std::regex form(R"(^(-?[0-9]+)_([0-9]+)\.([a-z]+)$)");
    std::smatch m;
    if (!std::regex_match(name, m, form)) return std::nullopt;
    return StoredName{std::stoll(m[1]), static_cast<uint32_t>(std::stoul(m[2])), m[3]};
}

class FileStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
        alice = connect(31);
        bob = connect(32);
    }
    void TearDown() override {
        alice.reset();
        bob.reset();
        fs::current_path(previous_);
    }

    static std::unique_ptr<SessionHarness> connect(uint32_t id, bool authenticated = true) {
        auto h = std::make_unique<SessionHarness>(id, SessionHarness::Transport::Unix);
        if (authenticated) {
            EXPECT_TRUE(h->session->changeState(SessionState::Connected, SessionState::Authenticated));
        }
        h->start();
        return h;
    }

    std::optional<UploadResult> upload(SessionHarness& h, const std::string& ext, const std::vector<uint8_t>& data) {
        return uploadReply(requestAndWait(h, fileUploadRequest(ext, data)));
    }
    std::optional<FileData> download(SessionHarness& h, const std::string& name) {
        return fileReply(requestAndWait(h, fileRequest(name)));
    }

    std::unique_ptr<SessionHarness> alice;
    std::unique_ptr<SessionHarness> bob;

private:
    TempDir dir_;
    fs::path previous_;
};

TEST_F(FileStoreTest, UploadedImageComesBackByteForByteToAnyClient) {
    const auto image = imageBytes(150000);
    const auto up = upload(*alice, "PNG", image);
    ASSERT_TRUE(up);
    ASSERT_EQ(up->ok, 1) << up->text;
    const auto name = parseName(up->text);
    ASSERT_TRUE(name) << up->text;
    EXPECT_EQ(name->ext, "png");
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Client 31 uploaded file: " + up->text + " (150000 bytes)"),
              1u);

    // Stored under the reported name and nothing else: no temporary file stays.
    EXPECT_EQ(storeEntries(), std::vector<std::string>{up->text});
    EXPECT_EQ(fileBytes(fs::path("files") / up->text), image);

    for (SessionHarness* h : {alice.get(), bob.get()}) {
        const auto got = download(*h, up->text);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->name, up->text);
        EXPECT_EQ(got->found, 1);
        EXPECT_EQ(got->data, image);
    }
}

TEST_F(FileStoreTest, UploadOfExactlyTheLimitIsStoredAndServed) {
    const auto image = imageBytes(kLimit, 7);
    const auto up = upload(*alice, "webp", image);
    ASSERT_TRUE(up);
    ASSERT_EQ(up->ok, 1) << up->text;
    const auto got = download(*bob, up->text);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->found, 1);
    EXPECT_EQ(got->data, image);
}

TEST_F(FileStoreTest, AcceptedExtensionsAreStoredInLowerCase) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"png", "png"},   {"PNG", "png"}, {"Png", "png"},   {"jpg", "jpg"},
        {"JPEG", "jpeg"}, {"gif", "gif"}, {"WebP", "webp"},
    };
    for (const auto& [ext, stored] : cases) {
        SCOPED_TRACE(ext);
        const auto up = upload(*alice, ext, imageBytes(64));
        ASSERT_TRUE(up);
        ASSERT_EQ(up->ok, 1) << up->text;
        const auto name = parseName(up->text);
        ASSERT_TRUE(name) << up->text;
        EXPECT_EQ(name->ext, stored);
    }
}

TEST_F(FileStoreTest, RefusedUploadsAnswerInvalidWithoutReadingTheData) {
    struct Case {
        const char* what;
        std::string ext;
        uint32_t announced;
        std::size_t sent;  // data bytes actually in the packet
    };
    const std::vector<Case> cases = {
        {"leading dot", ".png", 10, 10},
        {"svg", "svg", 10, 10},
        {"bmp", "bmp", 10, 10},
        {"empty extension", "", 10, 10},
        {"extension with a suffix", "pngx", 10, 10},
        {"trailing space", "png ", 10, 10},
        {"zero bytes", "png", 0, 0},
        // Refused before the data is read: none is sent, and no underflow follows.
        {"one byte over the limit", "png", kLimit + 1, 0},
        {"far over the limit", "gif", 0xFFFFFFFFu, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        const auto reply =
            uploadReply(requestAndWait(*alice, fileUploadRequest(c.ext, imageBytes(c.sent), c.announced)));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->ok, 0);
        EXPECT_EQ(reply->text, "Invalid file type or size");
        EXPECT_EQ(LogCapture::instance().countContaining("packet processing error"), 0u);
    }
    EXPECT_FALSE(fs::exists("files")) << "a refused upload makes no directory";
}

TEST_F(FileStoreTest, ShortUploadPayloadsAnswerNothingAndStoreNothing) {
    auto raw = [](std::vector<uint8_t> payload) { return packet(MessageType::FileUpload, payload); };
    auto withSize = [](uint32_t announced, std::size_t sent) {
        PacketBuilder b(MessageType::FileUpload);
        b.writeStr("png");
        b.writeLE(announced);
        const auto data = imageBytes(sent);
        b.writeBytes(data.data(), data.size());
        return b.finalise();
    };
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"empty payload", raw({})},
        {"cut extension", raw({3, 0, 'p', 'n'})},
        {"no size", raw({3, 0, 'p', 'n', 'g'})},
        {"half a size", raw({3, 0, 'p', 'n', 'g', 10, 0})},
        {"one data byte missing", withSize(100, 99)},
    };
    for (const auto& [what, packet] : cases) {
        SCOPED_TRACE(what);
        LogCapture::instance().clear();
        EXPECT_TRUE(requestAndWait(*alice, packet).empty());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                               "Client 31: packet processing error: PacketReader: buffer underflow"),
                  1u);
    }
    EXPECT_FALSE(fs::exists("files"));
    // The counter did not move: the next two uploads follow each other.
    const auto a = upload(*alice, "png", imageBytes(8));
    const auto b = upload(*bob, "png", imageBytes(8));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(parseName(b->text)->counter, parseName(a->text)->counter + 1);
}

TEST_F(FileStoreTest, NamesCountUpAcrossConnections) {
    std::vector<uint32_t> counters;
    for (int i = 0; i < 4; ++i) {
        const auto up = upload(i % 2 ? *bob : *alice, "jpg", imageBytes(16, i));
        ASSERT_TRUE(up);
        ASSERT_EQ(up->ok, 1);
        counters.push_back(parseName(up->text)->counter);
    }
    for (std::size_t i = 1; i < counters.size(); ++i) EXPECT_EQ(counters[i], counters[0] + i);
    EXPECT_EQ(storeEntries().size(), 4u);
}

// A name that is taken (by a file from an earlier run of the process, say)
// is never written over: the upload takes the next counter value.
TEST_F(FileStoreTest, UploadNeverReplacesAStoredFile) {
    const auto first = upload(*alice, "png", imageBytes(32, 1));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->ok, 1);
    const auto firstName = parseName(first->text);
    ASSERT_TRUE(firstName);

    // Occupy the next name for every second the next upload could run in.
    std::vector<std::string> decoys;
    for (int64_t s = firstName->seconds; s < firstName->seconds + 10; ++s) {
        decoys.push_back(std::to_string(s) + "_" + std::to_string(firstName->counter + 1) + ".png");
        writeFile("files/" + decoys.back(), "earlier file");
    }

    const auto image = imageBytes(4000, 2);
    const auto second = upload(*alice, "png", image);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->ok, 1) << second->text;
    EXPECT_EQ(parseName(second->text)->counter, firstName->counter + 2);
    EXPECT_EQ(fileBytes(fs::path("files") / second->text), image);
    for (const auto& d : decoys) EXPECT_EQ(readFile("files/" + d), "earlier file") << d;
}

// Names in the store, without the temporary files of uploads.
std::vector<std::string> storedNames() {
    auto names = storeEntries();
    std::erase_if(names, [](const std::string& n) { return n.starts_with("."); });
    return names;
}

// One connection cannot fill the disk: past its uploads per minute it is
// refused with the write error, and nothing of the refused upload is stored.
TEST_F(FileStoreTest, AnUploadFloodStopsAtTheSessionsBoundWithNothingPartialLeft) {
    const std::size_t bound = UploadWindow::kMaxPerMinute;
    for (std::size_t i = 0; i < bound; ++i) {
        const auto up = upload(*alice, "png", imageBytes(64, static_cast<uint32_t>(i)));
        ASSERT_TRUE(up);
        ASSERT_EQ(up->ok, 1) << "upload " << i << ": " << up->text;
    }
    LogCapture::instance().clear();
    for (int i = 0; i < 3; ++i) {
        const auto up = upload(*alice, "png", imageBytes(kLimit, 9));
        ASSERT_TRUE(up);
        EXPECT_EQ(up->ok, 0);
        EXPECT_EQ(up->text, "Server write error");
    }
    EXPECT_EQ(storeEntries().size(), bound) << "nothing partial, no temporary file";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Client 31: upload refused: more than " +
                                                               std::to_string(bound) + " uploads in a minute"),
              3u);

    // The bound is the session's own.
    const auto other = upload(*bob, "png", imageBytes(64));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->ok, 1) << other->text;
}

TEST(UploadWindowTest, AdmitsItsBoundInAnySixtySeconds) {
    using namespace std::chrono_literals;
    UploadWindow w;
    const auto t0 = UploadWindow::Clock::time_point{} + 1h;
    for (std::size_t i = 0; i < UploadWindow::kMaxPerMinute; ++i) EXPECT_TRUE(w.admit(t0 + i * 1s)) << i;
    EXPECT_FALSE(w.admit(t0 + 59s));
    EXPECT_FALSE(w.admit(t0 + 59s)) << "a refusal is not counted, and frees nothing";
    EXPECT_TRUE(w.admit(t0 + 60s)) << "the first has left the window";
    EXPECT_FALSE(w.admit(t0 + 60s));
    EXPECT_TRUE(w.admit(t0 + 61s));
    // After a quiet minute the whole bound is free again.
    for (std::size_t i = 0; i < UploadWindow::kMaxPerMinute; ++i) EXPECT_TRUE(w.admit(t0 + 10min)) << i;
    EXPECT_FALSE(w.admit(t0 + 10min));
}

// The store as a whole is bounded: whatever lies in it (uploads and files put
// there by other means) counts, an upload that would pass the bound is
// refused with nothing partial left, and room made by removing files is used
// again.
TEST_F(FileStoreTest, TheStoreStopsAtItsTotalBound) {
    fs::create_directory("files");
    // A sparse file takes the store to 3 MiB below its bound without using
    // the disk.
    const uint64_t mib = 1024 * 1024;
    writeFile("files/earlier.png", "");
    fs::resize_file("files/earlier.png", FileStore::kMaxStoreBytes - 3 * mib);
    const auto first = upload(*alice, "png", imageBytes(2 * mib));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ok, 1) << first->text;

    LogCapture::instance().clear();
    const auto over = upload(*alice, "png", imageBytes(2 * mib));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->ok, 0);
    EXPECT_EQ(over->text, "Server write error");
    EXPECT_EQ(LogCapture::instance().countContaining("Client 31: upload not stored: the store is full ("), 1u);

    const auto exact = upload(*bob, "png", imageBytes(mib));
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->ok, 1) << "up to the bound itself: " << exact->text;
    const auto oneMore = upload(*bob, "gif", imageBytes(1));
    ASSERT_TRUE(oneMore);
    EXPECT_EQ(oneMore->text, "Server write error");
    EXPECT_EQ(storedNames(), (std::vector<std::string>{first->text, exact->text, "earlier.png"}));
    EXPECT_EQ(storeEntries().size(), 3u) << "no temporary file stays";

    // Room made by the operator is found again without a restart (a full
    // store looks again every few seconds; a try every half second stays
    // well within the session's bound).
    fs::remove("files/earlier.png");
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::optional<UploadResult> again;
    while (!(again = upload(*bob, "png", imageBytes(mib))) || again->ok != 1) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the freed room is never used";
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

TEST_F(FileStoreTest, StoreThatCannotBeMadeAnswersWriteError) {
    writeFile("files", "a plain file where the store should be");
    const auto up = upload(*alice, "png", imageBytes(100));
    ASSERT_TRUE(up);
    EXPECT_EQ(up->ok, 0);
    EXPECT_EQ(up->text, "Server write error");
    EXPECT_EQ(readFile("files"), "a plain file where the store should be");
}

// A write that fails half way leaves neither the partial file nor a
// temporary one behind, and reports the failure.
TEST_F(FileStoreTest, FailedWriteLeavesNothingInTheStore) {
    fs::create_directory("files");
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    const auto up = upload(*alice, "png", imageBytes(100000));

    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->ok, 0);
    EXPECT_EQ(up->text, "Server write error");
    EXPECT_TRUE(storeEntries().empty()) << storeEntries().front();
}

TEST_F(FileStoreTest, DownloadServesOnlyPlainFilesOfTheStore) {
    fs::create_directories("files/sub");
    fs::create_directories("files/dir.png");
    writeFile("secret.png", "outside the store");
    writeFile("files/sub/inner.png", "in a subdirectory");
    writeFile("files/.hidden.png", "hidden");
    writeFile("files/x..png", "two dots");
    writeFile("files/name", "cut at a NUL");
    writeFile("files/a\\b.png", "backslash");
    writeFile("files/big.png", std::string(kLimit + 1, 'b'));
    ASSERT_EQ(::mkfifo("files/fifo.png", 0644), 0);
    writeFile("files/ok.png", "plain file");
    writeFile("files/empty.png", "");

    const std::vector<std::pair<const char*, std::string>> refused = {
        {"empty name (the store itself)", ""},
        {"dot", "."},
        {"dot dot", ".."},
        {"hidden file", ".hidden.png"},
        {"two dots inside", "x..png"},
        {"NUL inside", std::string("name\0.png", 9)},
        {"parent directory", "../secret.png"},
        {"subdirectory", "sub/inner.png"},
        {"backslash", "a\\b.png"},
        {"absolute path", "/etc/passwd"},
        {"a directory", "dir.png"},
        {"a FIFO (must not block)", "fifo.png"},
        {"over the upload limit", "big.png"},
        {"never stored", "never-stored.png"},
    };
    for (const auto& [what, name] : refused) {
        SCOPED_TRACE(what);
        const auto got = download(*alice, name);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->name, name);
        EXPECT_EQ(got->found, 0);
    }

    const auto ok = download(*alice, "ok.png");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->found, 1);
    EXPECT_EQ(std::string(ok->data.begin(), ok->data.end()), "plain file");
    const auto empty = download(*alice, "empty.png");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->found, 1);
    EXPECT_TRUE(empty->data.empty());
}

TEST_F(FileStoreTest, SessionThatHasNotAuthenticatedGetsNoAnswer) {
    fs::create_directory("files");
    writeFile("files/ok.png", "plain file");
    auto guest = connect(33, /*authenticated=*/false);
    guest->client.send(fileUploadRequest("png", imageBytes(100)));
    guest->client.send(fileRequest("ok.png"));
    // Hello is answered in any state: everything before its answer came from the two requests.
    guest->client.send(packet(MessageType::Hello));
    const auto got = guest->client.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, MessageType::HelloAck);
    EXPECT_EQ(storeEntries(), std::vector<std::string>{"ok.png"});
}

}  // namespace
}  // namespace Korrafin::Test
