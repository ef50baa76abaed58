// Handler output and input: the print buffer, direct and buffered output,
// hex dumps, usage errors and prompts. Runs on the agent thread inside a
// command; the output functions also work on any other thread, where they
// write to standard error. Sends go through the connection's send path,
// which takes its locks for one frame at a time.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli_agent.h"
#include "connection.h"
#include "exec_context.h"
#include "host_call.h"

namespace cli_internal {

constinit __attribute__((tls_model("initial-exec"))) thread_local exec_ctx *g_ctx = nullptr;

void flush_print_buffer(exec_ctx *ctx) {
    if (ctx == nullptr || ctx->out_len == 0) return;
    // Output that cannot be sent is dropped: the connection loop notices a
    // broken connection at its next read.
    (void)connection_send_bytes(CLI_FRAME_OUTPUT, ctx->req_id, ctx->out_buf.data(), ctx->out_len);
    ctx->out_len = 0;
}

void append_print_buffer(exec_ctx *ctx, const char *data, size_t n) {
    if (ctx == nullptr || data == nullptr || n == 0) return;
    while (n > 0) {
        if (ctx->out_len == print_buf_size) flush_print_buffer(ctx);
        size_t room = print_buf_size - ctx->out_len;
        size_t take = std::min(room, n);
        std::memcpy(ctx->out_buf.data() + ctx->out_len, data, take);
        ctx->out_len += take;
        data += take;
        n -= take;
    }
}

} // namespace cli_internal

using namespace cli_internal;

namespace {

// Buffered output of the current command, or standard error outside one.
void emit_buffered(const char *data, size_t n) {
    if (g_ctx != nullptr)
        append_print_buffer(g_ctx, data, n);
    else
        (void)std::fwrite(data, 1, n, stderr);
}

// Formats into buf and returns the length kept (the formatter's own cut), or
// 0 when nothing was produced.
size_t format_into(char *buf, size_t size, const char *fmt, va_list ap) {
    int n = std::vsnprintf(buf, size, fmt, ap);
    if (n <= 0) return 0;
    return std::min(static_cast<size_t>(n), size - 1);
}

} // namespace

extern "C" {

CLI_API void cli_print(const char *fmt, ...) {
    if (fmt == nullptr) return;
    std::array<char, 65536> buf;
    va_list ap;
    va_start(ap, fmt);
    size_t n = format_into(buf.data(), buf.size(), fmt, ap);
    va_end(ap);
    if (n == 0) return;
    exec_ctx *ctx = g_ctx;
    if (ctx == nullptr) {
        (void)std::fwrite(buf.data(), 1, n, stderr);
        return;
    }
    flush_print_buffer(ctx);
    (void)connection_send(CLI_FRAME_OUTPUT, ctx->req_id,
                          reinterpret_cast<const uint8_t *>(buf.data()), static_cast<uint32_t>(n));
}

CLI_API void cli_print_buffer(const char *fmt, ...) {
    if (fmt == nullptr) return;
    constexpr size_t kFormatSize = 8192;
    exec_ctx *ctx = g_ctx;
    va_list ap;
    va_start(ap, fmt);
    if (ctx != nullptr && print_buf_size - ctx->out_len >= kFormatSize) {
        // Room for the longest result: format in place and save a copy.
        ctx->out_len += format_into(ctx->out_buf.data() + ctx->out_len, kFormatSize, fmt, ap);
    } else {
        std::array<char, kFormatSize> buf;
        size_t n = format_into(buf.data(), buf.size(), fmt, ap);
        if (n != 0) emit_buffered(buf.data(), n);
    }
    va_end(ap);
}

CLI_API void cli_send_buffer(const void *data, uint32_t len) {
    exec_ctx *ctx = g_ctx;
    if (data == nullptr || len == 0 || ctx == nullptr) return;
    flush_print_buffer(ctx);
    (void)connection_send_bytes(CLI_FRAME_OUTPUT, ctx->req_id, static_cast<const char *>(data),
                                len);
}

CLI_API void cli_print_memory(const void *data, uint32_t len) {
    if (data == nullptr || len == 0) return;
    const auto *bytes = static_cast<const unsigned char *>(data);
    static constexpr char hex[] = "0123456789abcdef";
    // 64-bit offsets: the last line of a 4 GiB dump must not wrap to zero.
    for (uint64_t off = 0; off < len; off += 16) {
        std::array<char, 10 + 16 * 3 + 1> line;
        std::snprintf(line.data(), line.size(), "%08x: ", static_cast<unsigned>(off));
        size_t pos = 10;
        uint64_t count = std::min<uint64_t>(16, len - off);
        for (uint64_t i = 0; i < count; ++i) {
            unsigned char b = bytes[off + i];
            line[pos++] = hex[b >> 4];
            line[pos++] = hex[b & 15];
            line[pos++] = ' ';
        }
        line[pos++] = '\n';
        emit_buffered(line.data(), pos);
    }
}

CLI_API void cli_show_usage_and_error(const char *fmt, ...) {
    exec_ctx *ctx = g_ctx;
    if (fmt != nullptr && ctx != nullptr) {
        std::array<char, 1024> buf;
        va_list ap;
        va_start(ap, fmt);
        size_t n = format_into(buf.data(), buf.size(), fmt, ap);
        va_end(ap);
        if (n != 0) {
            append_print_buffer(ctx, buf.data(), n);
            if (buf[n - 1] != '\n') append_print_buffer(ctx, "\n", 1);
        }
    }
    if (ctx != nullptr && ctx->cmd != nullptr && ctx->cmd->usage != nullptr) {
        const cli_command *cmd = ctx->cmd;
        call_host([cmd] { cmd->usage(cmd, 0); });
    }
}

CLI_API int cli_get_input(const char *prompt, char *buf, uint32_t size) {
    exec_ctx *ctx = g_ctx;
    if (buf == nullptr || size == 0 || ctx == nullptr || ctx->stream_lost) return -1;
    flush_print_buffer(ctx);
    if (connection_send_text(CLI_FRAME_PROMPT, ctx->req_id, prompt != nullptr ? prompt : ":") != 0)
        return -1;
    int fd = current_connection();
    if (fd == -1) return -1;
    // The agent thread is the connection's only reader, so reading without
    // lock is safe; cli_agent_destroy's shutdown ends a pending read.
    cli_frame reply;
    for (;;) {
        if (cli_recv_frame(fd, &reply) != 0) {
            // After a malformed header the stream is out of step: whatever
            // follows could parse as frames. The connection loop ends the
            // connection once this command is done instead of reading on.
            ctx->stream_lost = true;
            return -1;
        }
        if (reply.type == CLI_FRAME_INPUT && reply.req_id == ctx->req_id) break;
        // The server ends the connection with BYE here as anywhere else; no
        // reply follows it.
        if (reply.type == CLI_FRAME_BYE) {
            ctx->stream_lost = true;
            return -1;
        }
    }
    size_t n = std::min<size_t>(reply.len, size - 1);
    std::memcpy(buf, reply.data, n);
    buf[n] = '\0';
    return 0;
}

} // extern "C"
