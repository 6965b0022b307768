// The real server binary as a child process, for end-to-end tests: started
// in a working directory with its standard output and error going to files
// there (or its standard output into a small pipe that is read only when the
// test asks for the output), watched for lines, signalled and reaped. A process still running
// when the object goes is killed.
//
// Standard input is /dev/null (the server sees end of input at once), a pipe
// the test writes to, or a pseudo-terminal as an operator's: then standard
// output goes to the terminal as well and a thread copies it into the file.
// Any of the three may instead be closed when the binary starts.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TempDir.h"
#include "support/Time.h"

namespace Korrafin::Test {

class ServerProcess {
public:
    enum class Input { Null, Pipe, Terminal };
    // Where standard output goes unless it is the terminal.
    enum class Stdout { File, Pipe };

    // Starts `binary` with `args` in `workdir`; the descriptors in `closed`
    // (of 0, 1 and 2) are closed in the child just before it starts.
    ServerProcess(const std::string& binary, const std::string& workdir, const std::vector<std::string>& args = {},
                  Input input = Input::Null, Stdout stdoutTo = Stdout::File, const std::vector<int>& closed = {})
        : input_(input) {
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
        int out = -1;
        if (stdoutTo == Stdout::Pipe && input != Input::Terminal) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("ServerProcess: cannot make a pipe");
            ::fcntl(fds[0], F_SETPIPE_SZ, 4096);  // the smallest: a few lines fill it
            ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
            pipe_ = fds[0];
            out = fds[1];
        } else {
            out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        }
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0) throw std::runtime_error("ServerProcess: cannot create output files");
        int pipeRead = -1;
        if (input == Input::Pipe) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("ServerProcess: pipe failed");
            pipeRead = fds[0];
            inputFd_ = fds[1];
            // A write after the server has gone fails instead of ending the test.
            ::signal(SIGPIPE, SIG_IGN);
        }

        pid_ = input == Input::Terminal ? ::forkpty(&inputFd_, nullptr, nullptr, nullptr) : ::fork();
        if (pid_ < 0) throw std::runtime_error("ServerProcess: fork failed");
        if (pid_ == 0) {
            if (::chdir(workdir.c_str()) != 0) ::_exit(126);
            if (input != Input::Terminal) ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            if (input != Input::Terminal) {
                const int in = input == Input::Pipe ? pipeRead : ::open("/dev/null", O_RDONLY);
                if (in >= 0) ::dup2(in, STDIN_FILENO);
            }
            ::signal(SIGPIPE, SIG_DFL);
            for (const int fd : closed) ::close(fd);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err);
        if (pipeRead >= 0) ::close(pipeRead);
        if (input == Input::Terminal) {
            ::fcntl(inputFd_, F_SETFD, FD_CLOEXEC);
            // Ends when the terminal has no other end left (the server is gone).
            copier_ = std::thread([master = inputFd_, out] {
                char buf[4096];
                for (;;) {
                    const ssize_t n = ::read(master, buf, sizeof buf);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0 || ::write(out, buf, static_cast<std::size_t>(n)) != n) break;
                }
                ::close(out);
            });
        } else {
            ::close(out);
        }
    }

    ~ServerProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
        if (copier_.joinable()) copier_.join();
        if (inputFd_ >= 0) ::close(inputFd_);
        if (pipe_ >= 0) ::close(pipe_);
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Standard output so far; in pipe mode, reading it is what drains the pipe.
    std::string output() {
        if (pipe_ < 0) return readFile(outPath_);
        char buf[65536];
        ssize_t n;
        while ((n = ::read(pipe_, buf, sizeof buf)) > 0) piped_.append(buf, static_cast<std::size_t>(n));
        return piped_;
    }
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

    // Writes to standard input (a pipe or the terminal); false when it cannot.
    bool type(const std::string& text) {
        std::size_t done = 0;
        while (inputFd_ >= 0 && done < text.size()) {
            const ssize_t n = ::write(inputFd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return done == text.size();
    }

    // Closes the input pipe: the server sees end of input.
    void endInput() {
        if (input_ == Input::Pipe && inputFd_ >= 0) ::close(std::exchange(inputFd_, -1));
    }

    void signal(int sig) const {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }

    struct Exit {
        std::optional<int> status;  // as waitExit gives it
        std::chrono::steady_clock::duration took;  // from the signal to the exit (or the give-up)
    };
    // Signals the process and waits for its exit, timing how long it took.
    Exit stopWith(int sig, std::chrono::milliseconds timeout = kPatience) {
        const auto t0 = std::chrono::steady_clock::now();
        signal(sig);
        Exit e;
        e.status = waitExit(timeout);
        e.took = std::chrono::steady_clock::now() - t0;
        return e;
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
        // All it wrote to the terminal is in the file once the copier ends.
        if (copier_.joinable()) copier_.join();
        return true;
    }

    const Input input_;
    pid_t pid_ = -1;

public:
    pid_t pid() const { return pid_; }
    int pipe_ = -1;  // read end in pipe mode
    std::string piped_;
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
    int inputFd_ = -1;   // pipe's write end or the terminal's master side
    std::thread copier_;  // terminal output into the output file
};

}  // namespace Korrafin::Test
