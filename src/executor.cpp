// The executor: runs one COMMAND frame on the agent thread, from the copy
// of its line to the DONE frame: the built-in help, the unknown-command
// answer, or the host's handler with g_ctx pointing at the command's
// context. No lock is held while a handler runs.
#include "executor.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "command_table.h"
#include "connection.h"
#include "exec_context.h"
#include "host_call.h"
#include "protocol.h"

namespace cli_internal {

namespace {

void print_agent_help(exec_ctx *ctx) {
    static constexpr std::string_view header = "<command>        <description>\n"
                                               " help            show help information\n";
    append_print_buffer(ctx, header.data(), header.size());
    for (size_t i = 0; i < max_commands; ++i) {
        // One slot at a time, copied: appending may flush, which sends, and
        // no lock may be held across a send.
        cli_command cmd;
        if (!command_at(i, &cmd)) continue;
        std::array<char, 160> line;
        int n = std::snprintf(line.data(), line.size(), " %-16s %s\n", cmd.name, cmd.desc);
        if (n > 0) append_print_buffer(ctx, line.data(), std::min<size_t>(n, line.size() - 1));
    }
}

void print_unknown_command(exec_ctx *ctx, const char *name) {
    std::array<char, 128> msg;
    int n = std::snprintf(msg.data(), msg.size(), "Unknown command: %s\nTry `help`.\n", name);
    if (n > 0) append_print_buffer(ctx, msg.data(), std::min<size_t>(n, msg.size() - 1));
}

// The command's result: the handler's return value, or what the agent
// says for lines no handler runs (as a shell would: 127 for a command that
// is not there, 2 for a line it cannot take).
int32_t run_command_line(exec_ctx *ctx, char *line) {
    cli_args args;
    if (cli_split_args(line, &args) != 0) return cli_protocol::result_unsplittable;
    if (args.argc == 0) return cli_protocol::result_ok;
    if (std::strcmp(args.argv[0], "help") == 0) {
        print_agent_help(ctx);
        return cli_protocol::result_ok;
    }
    // The handler runs on a private copy, so a concurrent unregistration
    // cannot change the command while it runs.
    cli_command cmd;
    if (!lookup_command(args.argv[0], &cmd)) {
        print_unknown_command(ctx, args.argv[0]);
        return cli_protocol::result_unknown_command;
    }
    ctx->cmd = &cmd;
    // A handler that throws leaves the failure in place.
    int32_t result = cli_protocol::result_failure;
    call_host([&] { result = cmd.handler(args.argc, args.argv); });
    ctx->cmd = nullptr;
    return result;
}

// DONE, with the result only for a server that asked for results.
void send_done(uint32_t req_id, int32_t result, bool with_result) {
    if (!with_result) {
        (void)connection_send(CLI_FRAME_DONE, req_id, nullptr, 0);
        return;
    }
    std::array<uint8_t, cli_protocol::result_len> payload;
    cli_protocol::encode_result(payload.data(), result);
    (void)connection_send(CLI_FRAME_DONE, req_id, payload.data(), payload.size());
}

} // namespace

bool execute_command(const cli_frame &frame, bool with_result) {
    std::array<char, cli_protocol::command_line_max + 1> line;
    size_t n = std::min<size_t>(frame.len, cli_protocol::command_line_max);
    std::memcpy(line.data(), frame.data, n);
    line[n] = '\0';

    // Only the header fields need a start value; the 512 KiB buffer is
    // written before it is read.
    exec_ctx ctx;
    ctx.req_id = frame.req_id;
    ctx.cmd = nullptr;
    ctx.out_len = 0;
    ctx.stream_lost = false;
    g_ctx = &ctx;
    const int32_t result = run_command_line(&ctx, line.data());
    flush_print_buffer(&ctx);
    send_done(ctx.req_id, result, with_result);
    g_ctx = nullptr;
    return !ctx.stream_lost;
}

} // namespace cli_internal
