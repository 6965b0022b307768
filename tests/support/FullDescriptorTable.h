// Runs this process out of file descriptors for as long as it lives: the
// soft limit drops to just above the highest number in use and every free
// number below it is taken, so the next accept or socket call fails with
// EMFILE. Sockets the test needs must be made before. Everything is given
// back when it goes. One at a time, on the test thread.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace Korrafin::Test {

class FullDescriptorTable {
public:
    FullDescriptorTable() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(e.path().filename().string()));
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(highest + 1);
        ok_ = ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
        for (int fd; ok_ && (fd = ::dup(0)) >= 0;) fillers_.push_back(fd);
    }
    ~FullDescriptorTable() {
        for (int fd : fillers_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    FullDescriptorTable(const FullDescriptorTable&) = delete;
    FullDescriptorTable& operator=(const FullDescriptorTable&) = delete;

    // False when the limit could not be lowered (nothing is held then).
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
    std::vector<int> fillers_;
};

}  // namespace Korrafin::Test
