// The real server binary as a child process, for end-to-end tests: started
// in a working directory with its standard output and error going to files
// there, watched for lines, signalled and reaped. A process still running
// when the object goes is killed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/Time.h"

namespace Korrafin::Test {

class ServerProcess {
public:
    // Starts `binary` with `args` in `workdir`.
    ServerProcess(const std::string& binary, const std::string& workdir, const std::vector<std::string>& args = {}) {
        static int runs = 0;
        const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++runs);
        outPath_ = workdir + "/stdout-" + tag + ".txt";
        errPath_ = workdir + "/stderr-" + tag + ".txt";

        // Everything the child needs is prepared before fork: after it only
        // async-signal-safe calls are made.
        std::vector<std::string> argvStore{binary};
        argvStore.insert(argvStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0) throw std::runtime_error("ServerProcess: cannot create output files");

        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("ServerProcess: fork failed");
        if (pid_ == 0) {
            if (::chdir(workdir.c_str()) != 0) ::_exit(126);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
    }

    ~ServerProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::string output() const { return readFile(outPath_); }
    std::string errors() const { return readFile(errPath_); }

    // True once standard output contains `text`; false when the process ends
    // first or the time runs out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (output().find(text) != std::string::npos) return true;
            if (exited() || std::chrono::steady_clock::now() > deadline) return output().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void signal(int sig) const {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }

    // The exit status (128 + n when killed by signal n), or nothing when it
    // is still running after `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exited()) {
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

private:
    bool exited() {
        if (status_) return true;
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r != pid_) return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace Korrafin::Test
