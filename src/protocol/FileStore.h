// The store of uploaded images: one flat directory, "./files" under the
// working directory, shared by every virtual server of the process. Files
// are written under a hidden temporary name, flushed to the disk, and take
// their final name only when complete, so neither a reader nor a crash ever
// leaves a partial file under a stored name, and a stored file is never
// replaced. The store as a whole is bounded (kMaxStoreBytes).
// Process-wide state: the name counter (atomic) and the running total of the
// store's size (under its own leaf mutex). Any thread may call it. Nothing
// here throws for file-system trouble: failures come back as results.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Korrafin {

class FileStore {
public:
    static constexpr uint32_t kMaxFileBytes = 2097152;
    // All stored files together; an upload that would pass it is refused.
    static constexpr uint64_t kMaxStoreBytes = uint64_t{1} << 30;
    static constexpr const char* kDirectory = "./files";

    FileStore() = delete;

    // Lower-cases `ext` (ASCII letters only) in place; true when it is one of
    // the accepted image extensions.
    static bool normaliseExtension(std::string& ext);

    // True for a name the store may hold and serve: not empty, not hidden,
    // and without NUL, '/', '\' or "..".
    static bool isStoreName(std::string_view name);

    struct StoreResult {
        bool ok = false;
        std::string name;   // the stored name when ok
        std::string error;  // what went wrong otherwise (for the log)
    };
    // Writes `data` as a new file with the (normalised) extension, creating
    // the directory when needed. Refused when the store would grow past
    // kMaxStoreBytes. On failure nothing is left in the store.
    static StoreResult store(const std::string& ext, std::span<const uint8_t> data);

    // Start-up: removes the temporary files of uploads that a crash cut
    // short. Returns how many went.
    static std::size_t removeLeftovers();

    // Appends the whole content of the stored regular file `name` (at most
    // kMaxFileBytes) to `out`; false, with `out` as it was, for a refused
    // name, anything but a regular file, a larger file, or a read that does
    // not deliver every byte. Never blocks on a FIFO.
    static bool readAppend(std::string_view name, std::vector<uint8_t>& out);
};

// How often one session may upload: at most kMaxPerMinute uploads in any 60
// seconds. Owned by a session and used by its reader thread only.
class UploadWindow {
public:
    static constexpr std::size_t kMaxPerMinute = 30;
    using Clock = std::chrono::steady_clock;

    // True, and counted, when one more upload fits into the last minute.
    bool admit(Clock::time_point now = Clock::now());

private:
    std::array<Clock::time_point, kMaxPerMinute> times_{};  // ring, oldest at next_ once full
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

}  // namespace Korrafin
