// The wire protocol between an agent and the CLI server, defined once: the
// constants both sides must agree on and the header codec. It is free of
// I/O, so the agent's blocking reads, the server's incremental decoder and
// the benchmark all share one definition. Internal: nothing here is
// exported from the shared library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli_common.h"

namespace cli_protocol {

// The server's TCP port on 127.0.0.1.
inline constexpr uint16_t agent_port = 7002;
inline constexpr size_t header_len = CLI_FRAME_HDR_LEN;
inline constexpr size_t max_payload = CLI_FRAME_MAX_DATA;
// An agent executes at most this many bytes of a command line.
inline constexpr size_t command_line_max = 4095;
// An agent's name as announced in HELLO: at most this many bytes.
inline constexpr size_t agent_name_max = 63;
// Command names: 2..19 bytes of [A-Za-z0-9_].
inline constexpr size_t command_name_min = 2;
inline constexpr size_t command_name_max = 19;
// Words the server keeps for itself; no agent may register them.
inline constexpr std::array<std::string_view, 5> reserved_names{"help", "ls", "quit", "exit",
                                                                "attach"};

// The capability a server asks for in its ACK: an agent that receives this
// exact payload ends each command with a DONE carrying the command's result
// (four bytes, big-endian, signed). Any other ACK payload, or none, leaves
// DONE empty, as servers that predate results expect. The zero bytes keep
// any text out of it, and the last byte is the capability's version.
inline constexpr std::array<uint8_t, 8> result_capability{'R', 'E', 'S', 'U', 'L', 'T', 0, 1};
inline constexpr size_t result_len = 4;
// The results an agent reports for what no handler decides.
inline constexpr int32_t result_ok = 0;
inline constexpr int32_t result_failure = 1;      // a handler threw
inline constexpr int32_t result_unsplittable = 2; // more than CLI_MAX_ARGS words
inline constexpr int32_t result_unknown_command = 127;

// Whether an ACK's payload asks for results.
bool asks_for_results(const uint8_t *payload, size_t len);
// A result as DONE's payload, and back; false unless the payload is one.
void encode_result(uint8_t *out, int32_t result);
bool decode_result(const uint8_t *payload, size_t len, int32_t *result);

struct header {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t type = 0;
    uint32_t req_id = 0;
    uint32_t agent_id = 0;
    uint32_t len = 0;
};

enum class header_status { ok, bad_magic, bad_version, too_long };

// Writes the 20 big-endian header bytes.
void encode_header(uint8_t *out, uint16_t type, uint32_t req_id, uint32_t agent_id, uint32_t len);
// Reads the 20 header bytes into h (every field, even when the header is
// not acceptable, so the caller can say what was wrong).
header_status decode_header(const uint8_t *in, header &h);

bool is_reserved_name(std::string_view name);

} // namespace cli_protocol
