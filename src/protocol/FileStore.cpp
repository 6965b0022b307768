#include "protocol/FileStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "core/CryptoUtils.h"
#include "core/UnixTime.h"
#include "core/WriteAll.h"

namespace Korrafin {

namespace {

const std::set<std::string> kAllowedExts = {"png", "jpg", "jpeg", "gif", "webp"};
// A clash means another process uses the store too; a few fresh names settle
// it, an endless run of clashes is a fault worth reporting.
constexpr int kMaxNameAttempts = 64;

// Unix seconds, "_", a process-wide counter, ".", the extension.
std::string makeFilename(const std::string& ext) {
    static std::atomic<uint32_t> counter{0};
    const uint32_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return std::to_string(static_cast<long long>(unixSeconds())) + "_" + std::to_string(n) + "." + ext;
}

std::string pathOf(std::string_view name) { return std::string(FileStore::kDirectory) + "/" + std::string(name); }

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    // Closes now; false when the close reports an error (a lost write).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// Gives the finished temporary file its final name unless a file has that
// name already. 0 on success, else the errno (EEXIST for a clash).
int publishNoReplace(const std::string& tmp, const std::string& target) {
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
    // A file system without no-replace renames: a hard link refuses an
    // existing name just the same.
    if (::link(tmp.c_str(), target.c_str()) != 0) return errno;
    ::unlink(tmp.c_str());
    return 0;
}

}  // namespace

bool FileStore::normaliseExtension(std::string& ext) {
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return kAllowedExts.contains(ext);
}

bool FileStore::isStoreName(std::string_view name) {
    if (name.empty() || name.front() == '.') return false;
    for (char c : name) {
        if (c == '\0' || c == '/' || c == '\\') return false;
    }
    return name.find("..") == std::string_view::npos;
}

FileStore::StoreResult FileStore::store(const std::string& ext, std::span<const uint8_t> data) {
    StoreResult result;
    std::error_code ec;
    std::filesystem::create_directories(kDirectory, ec);
    if (ec || !std::filesystem::is_directory(kDirectory, ec)) {
        result.error = std::string(kDirectory) + " is not a usable directory";
        if (ec) result.error += ": " + ec.message();
        return result;
    }

    std::string name = makeFilename(ext);

    const std::string tmp = pathOf(".upload-" + CryptoUtils::randomHex(8) + ".part");
    {
        FdGuard fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.get() < 0) {
            result.error = std::strerror(errno);
            return result;
        }
        int err = writeAll(fd.get(), data.data(), data.size());
        if (!fd.close() && err == 0) err = errno;
        if (err != 0) {
            ::unlink(tmp.c_str());
            result.error = std::strerror(err);
            return result;
        }
    }

    for (int attempt = 1;; ++attempt) {
        const int err = publishNoReplace(tmp, pathOf(name));
        if (err == 0) break;
        if (err != EEXIST || attempt >= kMaxNameAttempts) {
            ::unlink(tmp.c_str());
            result.error = std::strerror(err);
            return result;
        }
        name = makeFilename(ext);
    }
    result.ok = true;
    result.name = std::move(name);
    return result;
}

bool FileStore::readAppend(std::string_view name, std::vector<uint8_t>& out) {
    if (!isStoreName(name)) return false;
    // Non-blocking, so a FIFO placed in the store cannot stall the caller.
    FdGuard fd(::open(pathOf(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || st.st_size > kMaxFileBytes)
        return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    const std::size_t at = out.size();
    out.resize(at + size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd.get(), out.data() + at + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {  // shrank or failed: never hand out zero padding
            out.resize(at);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace Korrafin
