// The execution context of the command running on the agent thread: its
// req_id, its command and the 512 KiB print buffer. It lives on the agent
// thread's stack; g_ctx points at it only there and only while the command
// runs, so on any other thread output falls back to standard error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cli_agent.h"

namespace cli_internal {

inline constexpr size_t print_buf_size = 524288;

struct exec_ctx {
    uint32_t req_id;
    const cli_command *cmd;
    std::array<char, print_buf_size> out_buf;
    uint64_t out_len;
    bool stream_lost; // a read inside the command failed; framing is gone
};

// Initial-exec keeps every access a plain offset from the thread pointer:
// no lazy TLS allocation on the agent thread.
extern constinit __attribute__((tls_model("initial-exec"))) thread_local exec_ctx *g_ctx;

// Sends what the buffer holds as OUTPUT frames and empties it.
void flush_print_buffer(exec_ctx *ctx);
// Appends n bytes, flushing whenever the buffer is full.
void append_print_buffer(exec_ctx *ctx, const char *data, size_t n);

} // namespace cli_internal
