// Who owns the server's end of the agent's loopback connection: the check
// the agent makes before it writes anything to a server. Through the
// kernel's socket diagnostics (netlink), or /proc/net where netlink cannot
// answer. Fixed buffers only; safe on any thread.
#pragma once

#include <cstdint>

// What the lookup learned about the socket whose local address is
// 127.0.0.1:server_port (or its IPv4-mapped IPv6 form, for a dual-stack
// server) and whose peer is fd's own local address. Inside a user namespace
// other than the initial one, the overflow uid (the one every unmapped user
// is shown as) is no answer: the result is then unknown.
enum class cli_owner_result {
    found,   // *uid holds the owner of the established server end
    absent,  // the kernel answered, but no established server end is there
    unknown, // neither interface could answer
};
enum class cli_owner_source { any, proc_only };

cli_owner_result cli_server_owner_uid(int fd, uint16_t server_port, uint32_t *uid,
                                      cli_owner_source source = cli_owner_source::any);
