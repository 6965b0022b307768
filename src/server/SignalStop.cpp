#include "server/SignalStop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include "core/WriteAll.h"

namespace Korrafin {

namespace {

// Read and written by the handler: plain ints set once before it is installed.
int g_pipeRead = -1;
int g_pipeWrite = -1;

// Async-signal-safe: write() only, no allocation, no locks, errno kept.
void signalHandler(int sig) {
    const int savedErrno = errno;
    char line[64];
    std::size_t len = 0;
    const char head[] = "\n[Signal ";
    const char tail[] = "] Shutting down...\n";
    for (const char* p = head; *p; ++p) line[len++] = *p;
    char digits[12];
    int nd = 0;
    unsigned v = sig < 0 ? 0u : static_cast<unsigned>(sig);
    do {
        digits[nd++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 && nd < 10);
    while (nd > 0) line[len++] = digits[--nd];
    for (const char* p = tail; *p; ++p) line[len++] = *p;
    // Never waits: a standard output nobody reads must not keep the stop away.
    (void)writeIfReady(STDOUT_FILENO, line, len);

    if (g_pipeWrite >= 0) {
        const char byte = 1;
        // Non-blocking: a full pipe already holds a pending request.
        [[maybe_unused]] const ssize_t n = ::write(g_pipeWrite, &byte, 1);
    }
    errno = savedErrno;
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool SignalStop::install() {
    bool ok = true;
    if (g_pipeWrite < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_pipeRead = fds[0];
            g_pipeWrite = fds[1];
        } else {
            ok = false;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = signalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    const sigset_t signals = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return ok;
}

SignalStop::SignalStop(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    quitFd_ = ::eventfd(0, EFD_CLOEXEC);
    // Without a way to end it, the waiter is not started.
    if (quitFd_ >= 0) waiter_ = std::thread(&SignalStop::waitLoop, this);
}

SignalStop::~SignalStop() {
    if (quitFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(quitFd_, &one, sizeof one);
    }
    if (waiter_.joinable()) waiter_.join();
    if (quitFd_ >= 0) ::close(quitFd_);
}

void SignalStop::waitLoop() {
    // The one thread that takes the stop signals.
    const sigset_t signals = stopSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

    for (;;) {
        pollfd fds[2] = {{g_pipeRead, POLLIN, 0}, {quitFd_, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            ssize_t n;
            bool any = false;
            while ((n = ::read(g_pipeRead, buf, sizeof buf)) > 0) any = true;
            if (any && onSignal_) {
                try {
                    onSignal_();
                } catch (const std::exception&) {
                    // The stop function failed; the next signal tries again.
                }
            }
        } else if (fds[0].revents != 0) {
            return;  // the pipe is broken: nothing more will come
        }
    }
}

}  // namespace Korrafin
