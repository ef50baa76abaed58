// The one client of the kernel's socket diagnostics (NETLINK_SOCK_DIAG)
// that the library's owner check and cli-server's agent-owner lookup share:
// an exact lookup of one TCP socket by its addresses and ports.
//
// Threading and ownership: no state; any thread may call it. The caller
// opens and closes the netlink socket (the library records its descriptors
// for fork safety, cli-server does not), so this unit never owns one. It
// allocates nothing, throws nothing and writes to no stream, so the agent
// thread may use it.
#pragma once

#include <linux/inet_diag.h>

#include <cstdint>

namespace cli_shared {

enum class SockDiagStatus {
    found,          // *answer describes the socket the kernel found
    no_such_socket, // the kernel answered ENOENT
    failed,         // no usable answer within the time allowed
};

// An exact-lookup request for a TCP socket of this family in any state;
// the caller fills in req.id's ports and addresses.
inet_diag_req_v2 tcp_exact_request(uint8_t family);

// The netlink socket the lookup runs on, close-on-exec; -1 with errno set.
// The library opens its own through its descriptor record instead.
int open_sock_diag();

// Sends req on nl (a NETLINK_SOCK_DIAG socket) and waits at most timeout_ms
// for the answer, resuming after signals. The answer is the kernel's own:
// the caller decides whether the socket it names is the one it asked for.
SockDiagStatus sock_diag_lookup(int nl, const inet_diag_req_v2 &req, int timeout_ms,
                                inet_diag_msg *answer);

// The two halves of sock_diag_lookup: the request, and the wait for its
// answer (failed when none comes within timeout_ms, however many signals
// arrive meanwhile).
bool sock_diag_send(int nl, const inet_diag_req_v2 &req);
SockDiagStatus sock_diag_receive(int nl, int timeout_ms, inet_diag_msg *answer);

} // namespace cli_shared
