// TCP helpers shared by every listener of the process (client ports, and the
// admin surfaces beside them): opening a listener, accepting with retries,
// waking a blocked accept, and writing to a connected socket without ever
// raising SIGPIPE. Stateless; any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Korrafin::Net {

enum class ListenStep { None, Socket, Bind, Listen };

// An IPv4 TCP listener on 0.0.0.0:port with SO_REUSEADDR and the given
// backlog, close-on-exec. -1 on failure, with `failed` naming the step that
// failed (the socket is closed then).
int openTcpListener(uint16_t port, int backlog, ListenStep& failed);

// Binds `fd` to 0.0.0.0:port (0 lets the system pick); false on failure.
bool bindAny(int fd, uint16_t port);

// Wakes a thread blocked in accept on `fd` (shutdown); the caller joins that
// thread and only then closes the descriptor.
void wakeListener(int fd);

// True for accept errors that say nothing about the listener itself: the
// loop goes on (after a short pause for `resource` ones: out of descriptors
// or memory).
bool transientAcceptError(int err, bool& resource);

// Accepts one connection (close-on-exec, TCP_NODELAY, keepalive); -1 when
// the listener is finished: shut down, closed, `running` cleared, or a
// failure that is not transient (then `failed` is set). Transient failures
// are retried here; resource failures (out of descriptors or memory) are
// logged at most once a second and pause a little first, so a full
// descriptor table never makes the loop spin.
int acceptOne(int listenFd, const std::atomic<bool>& running, sockaddr_in& peer, bool& failed);

// TCP keepalive tuned so that a peer that vanished without a word (half-open
// connection) is noticed within about two minutes.
void enableKeepAlive(int fd);

// Raises the soft limit of open descriptors to the hard limit, so that the
// connections a server can hold are not capped by a small default. The
// limit in force afterwards.
std::size_t raiseOpenFileLimit();

// Waits until `fd` has something to read (data, end of stream or an error)
// or `deadline` passes: true when readable, false on the deadline.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline);

// Dotted IPv4 text of a peer address (at most 15 characters).
std::string ipv4Text(uint32_t networkOrderAddress);

// Writes the whole buffer to a connected socket with MSG_NOSIGNAL, across
// short writes and interruptions: a dead peer is an error (EPIPE), never a
// signal. 0 when every byte went out, else the errno of the failed call
// (EAGAIN when a send time-out or a non-blocking socket stopped it; EIO for a
// call that took nothing). What was written before a failure stays written.
int sendAll(int fd, const void* data, std::size_t n) noexcept;

}  // namespace Korrafin::Net
