// Functions shared by the two units of the library and never exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli_common.h"

// Reads exactly n bytes, retrying after EINTR; -1 if the peer closes first
// or on any other error.
int cli_read_exact(int fd, void *buf, size_t n);
// Writes exactly n bytes, continuing after partial writes and EINTR.
int cli_write_exact(int fd, const void *buf, size_t n);

// Strict unsigned 64-bit number in base 0: non-empty, at least one digit,
// nothing after it, no overflow. *out is written only on success.
int cli_parse_u64_strict(const char *s, uint64_t *out);

// The frame header, encoded and decoded without any I/O.
void cli_encode_header(uint8_t *hdr, uint16_t type, uint32_t req_id, uint32_t agent_id,
                       uint32_t len);
// Fills the header fields of frame from 20 wire bytes; -1 if the magic,
// version or length is not acceptable.
int cli_decode_header(const uint8_t *hdr, cli_frame *frame);

// Who owns the server's end of the connected loopback socket fd: the
// socket whose local address is 127.0.0.1:server_port and whose peer is
// fd's own local address.
enum class cli_owner_result {
    found,   // *uid holds the owner
    absent,  // the kernel answered, but the server's end is not (yet) there
    unknown, // neither the socket-diagnostics interface nor /proc answered
};
enum class cli_owner_source { any, proc_only };
cli_owner_result cli_server_owner_uid(int fd, uint16_t server_port, uint32_t *uid,
                                      cli_owner_source source = cli_owner_source::any);
