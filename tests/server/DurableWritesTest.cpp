// Files that must survive a power loss: an upload and the configuration file
// are flushed to the disk before they take their name, and their directory
// after it. The file-system calls are watched by defining them in this test
// binary, in front of the C library's, which they then call.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/FileStore.h"
#include "server/ConfigFile.h"
#include "support/TempDir.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;

void record(std::string call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(std::move(call));
}

std::string base(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// "file NAME" or "dir NAME" of an open descriptor.
std::string describe(int fd) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return "?";
    target[n] = '\0';
    struct stat st {};
    const bool dir = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return (dir ? "dir " : "file ") + base(target);
}

template <class Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd) {
    record("fsync " + describe(fd));
    static const auto next = real<int (*)(int)>("fsync");
    return next(fd);
}

int rename(const char* from, const char* to) noexcept {
    record("rename " + base(from) + " " + base(to));
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    return next(from, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) noexcept {
    record("rename " + base(from) + " " + base(to));
    static const auto next = real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    return next(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) noexcept {
    record("rename " + base(from) + " " + base(to));
    static const auto next = real<int (*)(const char*, const char*)>("link");
    return next(from, to);
}

}  // extern "C"

namespace Korrafin {
namespace {

namespace fs = std::filesystem;
namespace kt = ::Korrafin::Test;

class DurableWritesTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.clear();
    }
    void TearDown() override { fs::current_path(previous_); }

    static std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_calls;
    }

    // The three steps in order, with nothing of them missing: the content
    // flushed, the rename, then the directory flushed.
    static void expectDurable(const std::string& tmp, const std::string& target, const std::string& dirName) {
        const auto seen = calls();
        const std::vector<std::string> steps = {"fsync file " + tmp, "rename " + tmp + " " + target,
                                                "fsync dir " + dirName};
        std::size_t next = 0;
        for (const auto& c : seen)
            if (next < steps.size() && c == steps[next]) ++next;
        std::string all;
        for (const auto& c : seen) all += "\n  " + c;
        EXPECT_EQ(next, steps.size()) << "missing or out of order: " << steps[std::min(next, steps.size() - 1)]
                                      << "\nfile-system calls:" << all;
    }

    kt::TempDir dir_;

private:
    fs::path previous_;
};

TEST_F(DurableWritesTest, AnUploadIsOnTheDiskBeforeItsNameAndItsNameAfter) {
    const std::vector<uint8_t> data(1000, 7);
    const auto stored = FileStore::store("png", data);
    ASSERT_TRUE(stored.ok) << stored.error;
    std::string tmp;
    for (const auto& c : calls())
        if (c.rfind("fsync file .upload-", 0) == 0) tmp = c.substr(11);
    ASSERT_FALSE(tmp.empty()) << "the temporary file is never flushed";
    expectDurable(tmp, stored.name, "files");
}

TEST_F(DurableWritesTest, ConfigurationFilesAreOnTheDiskBeforeTheirNameAndTheirNameAfter) {
    const std::string folder = dir_.path().filename().string();
    ASSERT_TRUE(detail::writeNewFile("server.json", "{}"));
    expectDurable("server.json.tmp", "server.json", folder);
    EXPECT_EQ(kt::readFile("server.json"), "{}");

    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.clear();
    }
    EXPECT_EQ(detail::replaceFile("server.json", "{\"a\":1}"), detail::ReplaceResult::Replaced);
    expectDurable("server.json.tmp", "server.json", folder);
    EXPECT_EQ(kt::readFile("server.json"), "{\"a\":1}");
    EXPECT_FALSE(fs::exists("server.json.tmp"));
}

// A temporary file that a crash left beside the configuration is no
// obstacle to the next write.
TEST_F(DurableWritesTest, ATemporaryFileLeftByACrashIsReplaced) {
    kt::writeFile("server.json.tmp", "half a docu");
    ASSERT_TRUE(detail::writeNewFile("server.json", "{}"));
    kt::writeFile("server.json.tmp", "half a docu");
    EXPECT_EQ(detail::replaceFile("server.json", "{\"b\":2}"), detail::ReplaceResult::Replaced);
    EXPECT_EQ(kt::readFile("server.json"), "{\"b\":2}");
    EXPECT_FALSE(fs::exists("server.json.tmp"));
}

}  // namespace
}  // namespace Korrafin
