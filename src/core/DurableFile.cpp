#include "core/DurableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/WriteAll.h"

namespace Korrafin::DurableFile {

namespace {

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Renames without replacing. A file system without no-replace renames gets a
// hard link, which refuses an existing name just the same.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

}  // namespace

WriteResult writeSynced(const std::string& tmp, const void* data, std::size_t size, mode_t mode) {
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return {errno, false};
    int err = writeAll(fd, data, size);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    return {err, true};
}

int syncParentDirectory(const std::string& path) {
    const int fd = ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

int publish(const std::string& tmp, const std::string& target, Publish how) {
    int err = 0;
    if (how == Publish::Replace) {
        if (::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    } else {
        err = renameNoReplace(tmp, target);
    }
    if (err == EEXIST && how == Publish::NoReplace) return err;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return err;
    }
    // The content is on the disk already; without this the name may not be.
    err = syncParentDirectory(target);
    // A new name that may not last is taken back, so a failure leaves
    // nothing; a replaced file cannot come back, and stays.
    if (err != 0 && how == Publish::NoReplace) ::unlink(target.c_str());
    return err;
}

}  // namespace Korrafin::DurableFile
