// Files that survive a power loss whole or not at all: the content goes to a
// temporary file beside the target, is flushed to the disk, takes the
// target's name in one rename, and the directory is flushed after the rename
// so the new name itself is on the disk. Used for uploads and configuration
// files. Stateless; any thread. Nothing here throws: errors come back as
// errno values (0 for success).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Korrafin::DurableFile {

struct WriteResult {
    int error = 0;         // 0 on success
    bool created = false;  // the file could be made (any error came later)
};
// Creates `tmp` (it must not exist) with `mode`, writes all `size` bytes,
// fsyncs and closes it. On failure the temporary file is removed.
WriteResult writeSynced(const std::string& tmp, const void* data, std::size_t size, mode_t mode);

// Flushes the directory that holds `path` ("." for a bare name).
int syncParentDirectory(const std::string& path);

enum class Publish {
    Replace,    // an existing target is replaced
    NoReplace,  // an existing target stays, and the result is EEXIST
};
// Gives the synced temporary file the target's name, then flushes the
// directory. On any failure but EEXIST the temporary file is removed; with
// EEXIST it stays, so the caller may try another name. When only the
// directory flush fails, a NoReplace target is removed again (nothing is
// left); a Replace target stays in place.
int publish(const std::string& tmp, const std::string& target, Publish how);

}  // namespace Korrafin::DurableFile
