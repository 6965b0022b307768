#include "protocol/FileStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "core/CryptoUtils.h"
#include "core/DurableFile.h"
#include "core/UnixTime.h"

namespace Korrafin {

namespace {

namespace fs = std::filesystem;

const std::set<std::string> kAllowedExts = {"png", "jpg", "jpeg", "gif", "webp"};
// A clash means another process uses the store too; a few fresh names settle
// it, an endless run of clashes is a fault worth reporting.
constexpr int kMaxNameAttempts = 64;
constexpr std::string_view kTempPrefix = ".upload-";
constexpr std::string_view kTempSuffix = ".part";
// A full store looks at the disk again at most this often, so files that the
// operator removed count no more, without a scan per refused upload.
constexpr auto kFullRescanInterval = std::chrono::seconds(5);

// Unix seconds, "_", a process-wide counter, ".", the extension.
std::string makeFilename(const std::string& ext) {
    static std::atomic<uint32_t> counter{0};
    const uint32_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return std::to_string(static_cast<long long>(unixSeconds())) + "_" + std::to_string(n) + "." + ext;
}

std::string pathOf(std::string_view name) { return std::string(FileStore::kDirectory) + "/" + std::string(name); }

bool isTempName(std::string_view name) {
    return name.size() >= kTempPrefix.size() + kTempSuffix.size() && name.starts_with(kTempPrefix) &&
           name.ends_with(kTempSuffix);
}

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The bytes the store holds: the sizes of its files (what uploads and other
// means put there, as served) plus the uploads being written. Counted from
// the disk when the directory is first used or is another one (a change of
// the working directory, a directory made anew) and, throttled, when it
// looks full. The counted directory is held open, so its inode number cannot
// pass to a new directory unnoticed.
class Usage {
public:
    static Usage& instance() {
        static Usage usage;
        return usage;
    }

    // Reserves `bytes` for an upload; false, with the reason, when the
    // store would pass its bound.
    bool reserve(uint64_t bytes, std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        struct stat st {};
        if (::stat(FileStore::kDirectory, &st) != 0) {
            why = std::string(FileStore::kDirectory) + ": " + std::strerror(errno);
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!counts(st)) {
            if (!hold()) {
                why = std::string(FileStore::kDirectory) + ": " + std::strerror(errno);
                return false;
            }
            rescan(now);
        } else if (!fits(bytes) && now - scannedAt_ >= kFullRescanInterval) {
            rescan(now);
        }
        if (!fits(bytes)) {
            why = "the store is full (" + std::to_string(stored_ + writing_) + " of " +
                  std::to_string(FileStore::kMaxStoreBytes) + " bytes used)";
            return false;
        }
        writing_ += bytes;
        return true;
    }

    // The reserved upload is stored (`kept`) or given up.
    void settle(uint64_t bytes, bool kept) {
        std::lock_guard<std::mutex> lock(mutex_);
        writing_ -= bytes;
        if (kept) stored_ += bytes;
    }

private:
    bool fits(uint64_t bytes) const { return stored_ + writing_ + bytes <= FileStore::kMaxStoreBytes; }

    // Whether `dir` is the directory that was counted.
    bool counts(const struct stat& dir) const {
        struct stat held {};
        return heldFd_ >= 0 && ::fstat(heldFd_, &held) == 0 && held.st_dev == dir.st_dev && held.st_ino == dir.st_ino;
    }

    bool hold() {
        if (heldFd_ >= 0) ::close(heldFd_);
        heldFd_ = ::open(FileStore::kDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return heldFd_ >= 0;
    }

    void rescan(std::chrono::steady_clock::time_point now) {
        uint64_t sum = 0;
        std::error_code ec;
        for (fs::directory_iterator it(FileStore::kDirectory, ec), end; !ec && it != end; it.increment(ec)) {
            if (isTempName(it->path().filename().native())) continue;  // in writing_, or a leftover
            std::error_code fileEc;
            if (!it->is_regular_file(fileEc)) continue;
            const auto size = it->file_size(fileEc);
            if (!fileEc) sum += size;
        }
        stored_ = sum;
        scannedAt_ = now;
    }

    std::mutex mutex_;
    int heldFd_ = -1;  // the counted directory; process lifetime
    std::chrono::steady_clock::time_point scannedAt_{};
    uint64_t stored_ = 0;
    uint64_t writing_ = 0;
};

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
    fs::create_directories(kDirectory, ec);
    if (ec || !fs::is_directory(kDirectory, ec)) {
        result.error = std::string(kDirectory) + " is not a usable directory";
        if (ec) result.error += ": " + ec.message();
        return result;
    }

    if (!Usage::instance().reserve(data.size(), result.error)) return result;
    const auto fail = [&](int err) {
        Usage::instance().settle(data.size(), false);
        result.error = std::strerror(err);
        return result;
    };

    const std::string tmp =
        pathOf(std::string(kTempPrefix) + CryptoUtils::randomHex(8) + std::string(kTempSuffix));
    if (const int err = DurableFile::writeSynced(tmp, data.data(), data.size(), 0644).error) return fail(err);

    std::string name = makeFilename(ext);
    for (int attempt = 1;; ++attempt) {
        const int err = DurableFile::publish(tmp, pathOf(name), DurableFile::Publish::NoReplace);
        if (err == 0) break;
        if (err != EEXIST || attempt >= kMaxNameAttempts) {
            ::unlink(tmp.c_str());
            return fail(err);
        }
        name = makeFilename(ext);
    }
    Usage::instance().settle(data.size(), true);
    result.ok = true;
    result.name = std::move(name);
    return result;
}

std::size_t FileStore::removeLeftovers() {
    std::size_t removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(kDirectory, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isTempName(it->path().filename().native())) continue;
        std::error_code removeEc;
        if (it->is_regular_file(removeEc) && fs::remove(it->path(), removeEc)) ++removed;
    }
    return removed;
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

bool UploadWindow::admit(Clock::time_point now) {
    if (count_ == times_.size()) {
        if (now - times_[next_] < std::chrono::minutes(1)) return false;
    } else {
        ++count_;
    }
    times_[next_] = now;
    next_ = (next_ + 1) % times_.size();
    return true;
}

}  // namespace Korrafin
