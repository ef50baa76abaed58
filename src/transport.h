// Loopback sockets and whole-frame I/O over blocking descriptors. No state,
// no locks: callers that share a socket serialise their writes themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "cli_common.h"

namespace cli_internal {

// Reads exactly n bytes, retrying after EINTR; -1 if the peer closes first
// or on any other error.
int read_exact(int fd, void *buf, size_t n);
// Writes exactly n bytes, continuing after partial writes and EINTR.
int write_exact(int fd, const void *buf, size_t n);

// The frame header out of its 20 wire bytes into frame (every field); -1 if
// the magic, version or length is not acceptable.
int decode_frame_header(const uint8_t *hdr, cli_frame *frame);

// The IPv4 loopback address with port (host order).
struct sockaddr_in loopback_address(uint16_t port);

// Blocking connect of the TCP socket fd to 127.0.0.1:port (retried after
// EINTR), with Nagle's delay turned off; 0 or -1.
int connect_loopback(int fd, uint16_t port);

} // namespace cli_internal
