// The store of uploaded images: one flat directory, "./files" under the
// working directory, shared by every virtual server of the process. Files
// are written under a hidden temporary name and take their final name only
// when complete, so a reader never sees a partial file, and a stored file is
// never replaced. Stateless apart from the name counter (atomic); any thread
// may call it. Nothing here throws for file-system trouble: failures come
// back as results.
#pragma once

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
    // the directory when needed. On failure nothing is left in the store.
    static StoreResult store(const std::string& ext, std::span<const uint8_t> data);

    // Appends the whole content of the stored regular file `name` (at most
    // kMaxFileBytes) to `out`; false, with `out` as it was, for a refused
    // name, anything but a regular file, a larger file, or a read that does
    // not deliver every byte. Never blocks on a FIFO.
    static bool readAppend(std::string_view name, std::vector<uint8_t>& out);
};

}  // namespace Korrafin
