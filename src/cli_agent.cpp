// The command agent: the agent record and its thread, the command table,
// command execution with its print buffer, the output and input functions
// for handlers, and the option and parameter parsers.
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>

#include "cli_agent.h"
#include "cli_internal.h"

// Tests build a copy of the library with a shorter pause so that long
// reconnect cycles stay fast; the shipped library always waits one second.
#ifndef CLI_AGENT_RETRY_MS
#define CLI_AGENT_RETRY_MS 1000
#endif

namespace {

constexpr uint16_t CLI_AGENT_PORT = 7002;
constexpr uint32_t CLI_RETRY_MS = CLI_AGENT_RETRY_MS;
constexpr size_t CLI_AGENT_NAME_LEN = 64;
constexpr size_t CLI_MAX_COMMANDS = 256;
constexpr size_t CLI_CMDLINE_MAX = 4095;
constexpr size_t CLI_PRINT_BUF_SIZE = 524288;
// The agent thread keeps about 710 KiB of buffers on its stack; a host
// started with a small `ulimit -s` would otherwise hand it a stack too small.
constexpr size_t CLI_AGENT_STACK_MIN = 2u << 20;

constexpr std::array<std::string_view, 5> reserved{"help", "ls", "quit", "exit", "attach"};

struct command_slot {
    uint32_t in_use;
    cli_command cmd;
};

struct agent_state {
    int32_t sock = -1;
    uint32_t agent_id = 0;
    std::array<char, CLI_AGENT_NAME_LEN> name{};
    std::atomic<uint32_t> running{0};
    pthread_t thread{};
    std::mutex lock;
    std::array<command_slot, CLI_MAX_COMMANDS> commands{};
    // True from the creation of the agent thread until it has decided, under
    // lock and with running at 0, to end. A re-initialisation while it is set
    // re-arms the living thread instead of starting a second one.
    bool thread_alive = false;
};

constinit agent_state g_agent;

using lock_guard = std::lock_guard<std::mutex>;

struct exec_ctx {
    uint32_t req_id;
    const cli_command *cmd;
    std::array<char, CLI_PRINT_BUF_SIZE> out_buf;
    uint64_t out_len;
    bool stream_lost; // a read inside the command failed; framing is gone
};

// Initial-exec keeps every access a plain offset from the thread pointer:
// no lazy TLS allocation on the agent thread.
__attribute__((tls_model("initial-exec"))) constinit thread_local exec_ctx *g_ctx = nullptr;

// Host callbacks may be C++ that throws; nothing they throw may unwind
// through the agent thread's C frames.
template <class F> void call_host(F &&f) {
    try {
        f();
    } catch (...) {
        // A thread being unwound by pthread_exit or cancellation carries no
        // C++ exception object; that unwinding must go on.
        if (!std::current_exception()) throw;
    }
}

// ---------------------------------------------------------------------------
// Locked send primitives

int agent_send(uint16_t type, uint32_t req_id, const uint8_t *data, uint32_t len) {
    lock_guard guard(g_agent.lock);
    if (g_agent.sock == -1) return -1;
    return cli_send_frame(g_agent.sock, type, req_id, g_agent.agent_id, data, len);
}

int agent_send_bytes(uint16_t type, uint32_t req_id, const char *data, size_t len) {
    if (len == 0) return agent_send(type, req_id, nullptr, 0);
    while (len > 0) {
        auto piece = static_cast<uint32_t>(std::min<size_t>(len, CLI_FRAME_MAX_DATA));
        if (agent_send(type, req_id, reinterpret_cast<const uint8_t *>(data), piece) != 0)
            return -1;
        data += piece;
        len -= piece;
    }
    return 0;
}

int agent_send_text(uint16_t type, uint32_t req_id, const char *text) {
    if (text == nullptr) text = "";
    return agent_send_bytes(type, req_id, text, std::strlen(text));
}

// ---------------------------------------------------------------------------
// Print buffer

void flush_print_buffer(exec_ctx *ctx) {
    if (ctx == nullptr || ctx->out_len == 0) return;
    // Output that cannot be sent is dropped: the connection loop notices a
    // broken connection at its next read.
    (void)agent_send_bytes(CLI_FRAME_OUTPUT, ctx->req_id, ctx->out_buf.data(), ctx->out_len);
    ctx->out_len = 0;
}

void append_print_buffer(exec_ctx *ctx, const char *data, size_t n) {
    if (ctx == nullptr || data == nullptr || n == 0) return;
    while (n > 0) {
        if (ctx->out_len == CLI_PRINT_BUF_SIZE) flush_print_buffer(ctx);
        size_t room = CLI_PRINT_BUF_SIZE - ctx->out_len;
        size_t take = std::min(room, n);
        std::memcpy(ctx->out_buf.data() + ctx->out_len, data, take);
        ctx->out_len += take;
        data += take;
        n -= take;
    }
}

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

// ---------------------------------------------------------------------------
// Command table

bool command_name_valid(const char *name) {
    if (name == nullptr) return false;
    size_t len = std::strlen(name);
    if (len < 2 || len >= CLI_CMD_NAME_LEN) return false;
    for (size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (std::isalnum(c) == 0 && c != '_') return false;
    }
    return std::find(reserved.begin(), reserved.end(), std::string_view(name, len)) ==
           reserved.end();
}

// The host's name may fill its array without a terminator; the table is
// searched and checked with a copy that always has one.
std::array<char, CLI_CMD_NAME_LEN + 1> terminated_name(const cli_command &cmd) {
    std::array<char, CLI_CMD_NAME_LEN + 1> name{};
    std::memcpy(name.data(), cmd.name, CLI_CMD_NAME_LEN);
    return name;
}

// Caller holds lock.
command_slot *find_command(const char *name) {
    for (auto &slot : g_agent.commands)
        if (slot.in_use != 0 && std::strncmp(slot.cmd.name, name, CLI_CMD_NAME_LEN) == 0)
            return &slot;
    return nullptr;
}

// Caller holds lock.
command_slot *find_free_command() {
    for (auto &slot : g_agent.commands)
        if (slot.in_use == 0) return &slot;
    return nullptr;
}

void print_agent_help(exec_ctx *ctx) {
    static constexpr std::string_view header = "<command>        <description>\n"
                                               " help            show help information\n";
    append_print_buffer(ctx, header.data(), header.size());
    for (size_t i = 0; i < CLI_MAX_COMMANDS; ++i) {
        command_slot copy;
        {
            // One slot at a time: appending may flush, and sending takes lock.
            lock_guard guard(g_agent.lock);
            copy = g_agent.commands[i];
        }
        if (copy.in_use == 0) continue;
        std::array<char, 160> line;
        int n =
            std::snprintf(line.data(), line.size(), " %-16s %s\n", copy.cmd.name, copy.cmd.desc);
        if (n > 0) append_print_buffer(ctx, line.data(), std::min<size_t>(n, line.size() - 1));
    }
}

void print_unknown_command(exec_ctx *ctx, const char *name) {
    std::array<char, 128> msg;
    int n = std::snprintf(msg.data(), msg.size(), "Unknown command: %s\nTry `help`.\n", name);
    if (n > 0) append_print_buffer(ctx, msg.data(), std::min<size_t>(n, msg.size() - 1));
}

void run_command_line(exec_ctx *ctx, char *line) {
    cli_args args;
    if (cli_split_args(line, &args) != 0 || args.argc == 0) return;
    if (std::strcmp(args.argv[0], "help") == 0) {
        print_agent_help(ctx);
        return;
    }
    cli_command cmd;
    bool found = false;
    {
        // The handler runs on a private copy, so a concurrent unregistration
        // cannot change the command while it runs.
        lock_guard guard(g_agent.lock);
        if (const command_slot *slot = find_command(args.argv[0])) {
            cmd = slot->cmd;
            found = true;
        }
    }
    if (!found) {
        print_unknown_command(ctx, args.argv[0]);
        return;
    }
    ctx->cmd = &cmd;
    call_host([&] { (void)cmd.handler(args.argc, args.argv); });
    ctx->cmd = nullptr;
}

// Runs one command; false when the connection can no longer be read.
bool execute_command(const cli_frame &frame) {
    std::array<char, CLI_CMDLINE_MAX + 1> line;
    size_t n = std::min<size_t>(frame.len, CLI_CMDLINE_MAX);
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
    run_command_line(&ctx, line.data());
    flush_print_buffer(&ctx);
    (void)agent_send(CLI_FRAME_DONE, ctx.req_id, nullptr, 0);
    g_ctx = nullptr;
    return !ctx.stream_lost;
}

// ---------------------------------------------------------------------------
// Agent thread

// Decides under lock whether the thread goes on; a thread that ends clears
// thread_alive in the same critical section, so a concurrent init either
// re-arms it before this check or starts a fresh thread after it.
bool agent_continues() {
    if (g_agent.running.load() != 0) return true;
    lock_guard guard(g_agent.lock);
    if (g_agent.running.load() != 0) return true;
    g_agent.thread_alive = false;
    return false;
}

void end_connection(int fd) {
    {
        lock_guard guard(g_agent.lock);
        if (g_agent.sock == fd) g_agent.sock = -1;
    }
    close(fd);
}

// Ends the connection when a cycle leaves by any path, including a handler
// that ends the agent thread (pthread_exit unwinds through here).
class connection_guard {
  public:
    explicit connection_guard(int fd) : fd_(fd) {}
    connection_guard(const connection_guard &) = delete;
    connection_guard &operator=(const connection_guard &) = delete;
    ~connection_guard() { end_connection(fd_); }

  private:
    int fd_;
};

int start_agent_thread();

// Covers an agent thread that ends other than through agent_continues (a
// handler calling pthread_exit): while the agent should run, a replacement
// thread takes over; otherwise the claim is dropped so that a later
// cli_agent_init starts a fresh thread.
class thread_claim {
  public:
    thread_claim() = default;
    thread_claim(const thread_claim &) = delete;
    thread_claim &operator=(const thread_claim &) = delete;
    ~thread_claim() {
        if (released_) return;
        lock_guard guard(g_agent.lock);
        if (g_agent.running.load() != 0 && start_agent_thread() == 0) return;
        g_agent.running.store(0);
        g_agent.thread_alive = false;
    }
    void released() { released_ = true; }

  private:
    bool released_ = false;
};

// Publishes the connection and announces the agent; false if the agent was
// stopped meanwhile or HELLO could not be written.
bool publish_and_hello(int fd, bool *stopped) {
    lock_guard guard(g_agent.lock);
    if (g_agent.running.load() == 0) {
        *stopped = true;
        return false;
    }
    g_agent.sock = fd;
    return cli_send_text(fd, CLI_FRAME_HELLO, 0, g_agent.agent_id, g_agent.name.data()) == 0;
}

bool connection_current(int fd) {
    lock_guard guard(g_agent.lock);
    return g_agent.sock == fd;
}

void serve_connection(int fd, cli_frame &frame) {
    while (g_agent.running.load() != 0) {
        if (cli_recv_frame(fd, &frame) != 0) return;
        if (frame.type == CLI_FRAME_COMMAND) {
            // Commands still queued on a connection that cli_agent_destroy
            // ended must not run, even if a new init re-armed this thread.
            if (!connection_current(fd) || !execute_command(frame)) return;
        } else if (frame.type == CLI_FRAME_BYE) {
            return;
        }
    }
}

// Any local user can bind the unprivileged server port before the real
// server does. The agent runs what it is sent inside its host, so it talks
// only to a server owned by root or by its own effective user, the rule the
// kernel applies to signals and ptrace. Where the owner cannot be found at
// all the agent proceeds, so that an unusual sandbox keeps its CLI.
bool server_is_trusted(int fd) {
    uint32_t owner = 0;
    switch (cli_server_owner_uid(fd, CLI_AGENT_PORT, &owner)) {
    case cli_owner_result::found:
        return owner == 0 || owner == geteuid();
    case cli_owner_result::unknown:
        return true;
    case cli_owner_result::absent:
        break;
    }
    return false;
}

// One connection cycle: connect, check the server, HELLO, ACK, serve, close,
// pause.
void run_connection(cli_frame &ack, cli_frame &frame) {
    int fd = cli_connect_server(CLI_AGENT_PORT);
    if (fd >= 0 && !server_is_trusted(fd)) {
        close(fd); // nothing is written to a server we do not trust
        fd = -1;
    }
    if (fd < 0) {
        cli_sleep_ms(CLI_RETRY_MS);
        return;
    }
    bool stopped = false;
    {
        connection_guard connection(fd);
        if (publish_and_hello(fd, &stopped) && cli_recv_frame(fd, &ack) == 0 &&
            ack.type == CLI_FRAME_ACK)
            serve_connection(fd, frame);
    }
    if (!stopped) cli_sleep_ms(CLI_RETRY_MS);
}

void *agent_thread_main(void *) {
    thread_claim claim;
    cli_frame ack;
    cli_frame frame;
    while (agent_continues())
        run_connection(ack, frame);
    claim.released();
    return nullptr;
}

int start_agent_thread() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    size_t stack = 0;
    if (pthread_attr_getstacksize(&attr, &stack) != 0 || stack < CLI_AGENT_STACK_MIN)
        (void)pthread_attr_setstacksize(&attr, CLI_AGENT_STACK_MIN);
    int rc = pthread_create(&g_agent.thread, &attr, agent_thread_main, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) return -1;
    pthread_detach(g_agent.thread);
    return 0;
}

void ignore_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGPIPE, &sa, nullptr);
}

// Sends BYE without blocking: a server that stopped reading must not be able
// to hold the host's shutdown path forever.
void send_bye_nowait(int fd, uint32_t agent_id) {
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    cli_encode_header(hdr.data(), CLI_FRAME_BYE, 0, agent_id, 0);
    (void)send(fd, hdr.data(), hdr.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// ---------------------------------------------------------------------------
// Option parsing helpers

bool is_option_letter(int32_t opt) {
    return opt >= 'a' && opt <= 'z';
}

// First occurrence of c in optstring, compared as unsigned bytes.
const char *find_option_char(const char *optstring, unsigned char c) {
    for (const char *p = optstring; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) == c) return p;
    return nullptr;
}

int option_error(cli_option_state *st, int32_t next, unsigned char c, const char *what) {
    st->optopt = c;
    std::snprintf(st->errmsg, sizeof st->errmsg, "%s -- '%c'", what, c);
    st->optind = next;
    return '?';
}

} // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Lifecycle

CLI_API int cli_agent_init(uint32_t agent_id, const char *name) {
    if (agent_id == 0 || name == nullptr) return -1;
    ignore_sigpipe();
    lock_guard guard(g_agent.lock);
    if (g_agent.running.load() != 0) return 0;
    g_agent.sock = -1;
    g_agent.agent_id = agent_id;
    size_t n = strnlen(name, CLI_AGENT_NAME_LEN - 1);
    std::memcpy(g_agent.name.data(), name, n);
    g_agent.name[n] = '\0';
    g_agent.running.store(1);
    // A thread still stopping (in its pause, or in a long handler, or this
    // very thread when init is called from a handler) carries on as the new
    // agent, so two agent threads never serve at once.
    if (g_agent.thread_alive) return 0;
    if (start_agent_thread() != 0) {
        g_agent.sock = -1;
        g_agent.running.store(0);
        return -1;
    }
    g_agent.thread_alive = true;
    return 0;
}

CLI_API int cli_agent_destroy(uint32_t agent_id) {
    lock_guard guard(g_agent.lock);
    if (g_agent.running.load() == 0 || agent_id != g_agent.agent_id) return 0;
    g_agent.running.store(0);
    if (g_agent.sock != -1) {
        send_bye_nowait(g_agent.sock, g_agent.agent_id);
        // The agent thread's read ends; it closes the descriptor itself.
        shutdown(g_agent.sock, SHUT_RDWR);
        g_agent.sock = -1;
    }
    return 0;
}

CLI_API void cli_agent_sync_status(void) {}

// ---------------------------------------------------------------------------
// Command table

CLI_API int cli_register_command(const cli_command *cmd) {
    if (cmd == nullptr || cmd->handler == nullptr) return -1;
    auto name = terminated_name(*cmd);
    if (!command_name_valid(name.data())) return -1;
    lock_guard guard(g_agent.lock);
    if (find_command(name.data()) != nullptr) return -1;
    command_slot *slot = find_free_command();
    if (slot == nullptr) return -1;
    *slot = command_slot{};
    slot->in_use = 1;
    slot->cmd = *cmd;
    slot->cmd.name[CLI_CMD_NAME_LEN - 1] = '\0';
    slot->cmd.desc[CLI_CMD_DESC_LEN - 1] = '\0';
    return 0;
}

CLI_API void cli_unregister_command(const cli_command *cmd) {
    if (cmd == nullptr) return;
    auto name = terminated_name(*cmd);
    lock_guard guard(g_agent.lock);
    if (command_slot *slot = find_command(name.data())) *slot = command_slot{};
}

// ---------------------------------------------------------------------------
// Handler output and input

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
    (void)agent_send(CLI_FRAME_OUTPUT, ctx->req_id, reinterpret_cast<const uint8_t *>(buf.data()),
                     static_cast<uint32_t>(n));
}

CLI_API void cli_print_buffer(const char *fmt, ...) {
    if (fmt == nullptr) return;
    constexpr size_t kFormatSize = 8192;
    exec_ctx *ctx = g_ctx;
    va_list ap;
    va_start(ap, fmt);
    if (ctx != nullptr && CLI_PRINT_BUF_SIZE - ctx->out_len >= kFormatSize) {
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
    (void)agent_send_bytes(CLI_FRAME_OUTPUT, ctx->req_id, static_cast<const char *>(data), len);
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
    if (agent_send_text(CLI_FRAME_PROMPT, ctx->req_id, prompt != nullptr ? prompt : ":") != 0)
        return -1;
    int fd;
    {
        lock_guard guard(g_agent.lock);
        fd = g_agent.sock;
    }
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
    }
    size_t n = std::min<size_t>(reply.len, size - 1);
    std::memcpy(buf, reply.data, n);
    buf[n] = '\0';
    return 0;
}

// ---------------------------------------------------------------------------
// Option and parameter parsing

CLI_API int cli_get_option(int argc, char **argv, const char *optstring, cli_option_state *st) {
    if (argv == nullptr || optstring == nullptr || st == nullptr) return -1;
    int32_t i = st->optind > 0 ? st->optind : 1;
    st->optarg = nullptr;
    st->optopt = 0;
    st->errmsg[0] = '\0';
    if (i >= argc) {
        st->optind = i;
        return -1;
    }
    char *a = argv[i];
    if (a == nullptr || a[0] != '-' || a[1] == '\0') {
        st->optarg = a;
        st->optind = i + 1;
        return 1;
    }
    auto c = static_cast<unsigned char>(a[1]);
    const char *entry = find_option_char(optstring, c);
    if (entry == nullptr) return option_error(st, i + 1, c, "invalid option");
    if (entry[1] == ':') {
        if (a[2] != '\0') {
            st->optarg = a + 2;
            st->optind = i + 1;
        } else if (i + 1 < argc) {
            st->optarg = argv[i + 1];
            st->optind = i + 2;
        } else {
            return option_error(st, i + 1, c, "option requires an argument");
        }
    } else {
        st->optind = i + 1;
    }
    return c;
}

CLI_API void cli_set_option(uint32_t *mask, int32_t opt) {
    if (mask != nullptr && is_option_letter(opt)) *mask |= 1u << (opt - 'a');
}

CLI_API bool cli_test_option(uint32_t mask, int32_t opt) {
    return is_option_letter(opt) && (mask & (1u << (opt - 'a'))) != 0;
}

CLI_API int cli_get_param_u64(const char *s, uint64_t *out) {
    return cli_parse_u64_strict(s, out);
}

CLI_API int cli_get_param_u32(const char *s, uint32_t *out) {
    return cli_parse_u32(s, out);
}

CLI_API int cli_get_param_pointer(const char *s, void **out) {
    uint64_t v = 0;
    if (out == nullptr || cli_parse_u64_strict(s, &v) != 0) return -1;
    *out = reinterpret_cast<void *>(static_cast<uintptr_t>(v));
    return 0;
}

} // extern "C"
