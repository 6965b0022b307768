// Small socket helpers of the host. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace Korrafin::detail {

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
// loop goes on (after a short pause for `resource` ones).
bool transientAcceptError(int err, bool& resource);

// Dotted IPv4 text of a peer address (at most 15 characters).
std::string ipv4Text(uint32_t networkOrderAddress);

}  // namespace Korrafin::detail
