#include "bench_agent.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <thread>

#include "alloc_count.h"
#include "bench_raw.h"
#include "cli_agent.h"
#include "protocol.h"

namespace bench {

namespace {

constexpr uint32_t kAgentId = 1;
constexpr size_t kReadBuffer = 256 * 1024;
// One output line of the buffered stream: the longest command line's worth
// of characters and a newline.
constexpr size_t kLineBytes = cli_protocol::command_line_max + 1;

std::array<char, kStreamWrite> g_piece;
std::array<char, kLineBytes + 1> g_line;

std::atomic<int> g_agent_cpu{-1};
pthread_t g_agent_thread;
std::atomic<uint64_t> g_alloc_mark{0};
StackUse g_stack;
std::atomic<bool> g_stack_done{false};

void fill_patterns() {
    g_piece.fill('x');
    std::fill(g_line.begin(), g_line.begin() + kLineBytes - 1, 'y');
    g_line[kLineBytes - 1] = '\n';
    g_line[kLineBytes] = '\0';
}

uint64_t mib_argument(int argc, char **argv) {
    return argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
}

int cmd_noop(int, char **) {
    return 0;
}

int cmd_line(int, char **) {
    cli_print("hello, world\n");
    return 0;
}

int cmd_send_buffer(int argc, char **argv) {
    uint64_t pieces = mib_argument(argc, argv) * ((1u << 20) / kStreamWrite);
    for (uint64_t i = 0; i < pieces; ++i)
        cli_send_buffer(g_piece.data(), static_cast<uint32_t>(g_piece.size()));
    return 0;
}

int cmd_print_buffer(int argc, char **argv) {
    uint64_t lines = mib_argument(argc, argv) * ((1u << 20) / kLineBytes);
    for (uint64_t i = 0; i < lines; ++i)
        cli_print_buffer("%s", g_line.data());
    return 0;
}

int cmd_alloc_mark(int, char **) {
    g_alloc_mark.store(thread_allocations());
    return 0;
}

// Allocates once, so that the benchmark can check that allocations on the
// agent thread are seen at all.
int cmd_heap_probe(int, char **) {
    void *volatile p = std::malloc(64);
    std::free(p);
    return 0;
}

int cmd_where(int, char **) {
    // Named so that profiles tell the agent thread from the others.
    (void)pthread_setname_np(pthread_self(), "agent");
    g_agent_thread = pthread_self();
    g_agent_cpu.store(current_cpu());
    return 0;
}

// Stack probe. Everything above the handler's frame (receive records,
// execution context, command line) is in use by construction. What the
// library uses below the handler is found by painting a window under the
// handler's frame with a pattern, calling every output and input path, and
// finding the lowest word that no longer holds the pattern. A gap is left
// between the handler's frame and the window for the painter's and the
// scanner's own small frames.
constexpr uint64_t kPaint = 0xa5a5a5a5a5a5a5a5ull;
constexpr size_t kPaintGap = 16 * 1024;
constexpr size_t kPaintWindow = 1024 * 1024;

__attribute__((noinline)) void paint(uint64_t *from, uint64_t *to) {
    for (uint64_t *p = from; p < to; ++p)
        *p = kPaint;
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) const uint64_t *lowest_touched(const uint64_t *from, const uint64_t *to) {
    asm volatile("" ::: "memory");
    const uint64_t *p = from;
    while (p < to && *p == kPaint)
        ++p;
    return p;
}

void exercise_output_paths() {
    // More than the 512 KiB print buffer holds, so it fills and flushes.
    for (int i = 0; i < 160; ++i)
        cli_print_buffer("%s", g_line.data());
    cli_print_memory(g_line.data(), 64);
    cli_show_usage_and_error("probe %s", "error");
    cli_print("%s", "probe line\n");
    cli_send_buffer(g_piece.data(), static_cast<uint32_t>(g_piece.size()));
    std::array<char, 16> reply{};
    (void)cli_get_input("continue? ", reply.data(), static_cast<uint32_t>(reply.size()));
}

int cmd_stack_probe(int, char **) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void *addr = nullptr;
    size_t size = 0;
    (void)pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    auto lo = reinterpret_cast<uintptr_t>(addr);
    uintptr_t top = lo + size;

    volatile char here = 0;
    auto sp = reinterpret_cast<uintptr_t>(&here);
    uintptr_t win_hi = (sp - kPaintGap) & ~uintptr_t{7};
    uintptr_t win_lo = std::max(lo + 4096, win_hi - kPaintWindow);
    auto *from = reinterpret_cast<uint64_t *>(win_lo);
    auto *to = reinterpret_cast<uint64_t *>(win_hi);

    paint(from, to);
    exercise_output_paths();
    const uint64_t *lowest = lowest_touched(from, to);

    g_stack.stack_size = size;
    g_stack.above_handler = top - sp;
    g_stack.below_handler = sp - reinterpret_cast<uintptr_t>(lowest);
    g_stack.window_exhausted = lowest == from;
    g_stack_done.store(true);
    (void)here;
    return 0;
}

void add(const char *name, cli_cmd_handler handler) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    std::strncpy(cmd.desc, "benchmark", sizeof cmd.desc - 1);
    cmd.handler = handler;
    if (cli_register_command(&cmd) != 0) fail(std::string("registering ") + name);
}

} // namespace

namespace {

// The agent's port is fixed, and test suites on the same machine use it
// too: wait a while for it instead of giving up at once.
UniqueFd listen_on_agent_port() {
    constexpr int kAttempts = 120;
    for (int i = 0; i < kAttempts; ++i) {
        UniqueFd fd = try_listen_loopback(cli_protocol::agent_port);
        if (fd.valid()) return fd;
        if (i == 0)
            std::fprintf(stderr, "cli_bench: port %u is busy, waiting for it\n",
                         cli_protocol::agent_port);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    fail("listening on 127.0.0.1:" + std::to_string(cli_protocol::agent_port));
}

} // namespace

// The benchmark's own buffers are filled here, before the memory baseline,
// so that they do not count as memory added by the agent.
AgentServer::AgentServer() : listen_(listen_on_agent_port()), buf_(kReadBuffer) {
    fill_patterns();
}

void AgentServer::start_agent() {
    add(empty_command(), cmd_noop);
    add(line_command(), cmd_line);
    add("sndb", cmd_send_buffer);
    add("prnb", cmd_print_buffer);
    add("allc", cmd_alloc_mark);
    add("where", cmd_where);
    add("heap", cmd_heap_probe);
    add("stck", cmd_stack_probe);

    // The agent thread inherits the affinity of the thread that creates it.
    (void)pin_current_thread(kServingCpu);
    if (cli_agent_init(kAgentId, "cli_bench") != 0) fail("cli_agent_init");
    (void)pin_current_thread(kClientCpu);

    conn_ = accept_one(listen_.get());
    if (!conn_.valid()) fail("accepting the agent");
    set_nodelay(conn_.get(), true);
    set_read_timeout(conn_.get(), std::chrono::seconds(10));
    Header hello;
    if (!next_frame(hello) || hello.type != CLI_FRAME_HELLO) fail("agent HELLO");
    // As cli-server does: the agent ends each command with its result.
    send_frame(CLI_FRAME_ACK, 0,
               std::string(cli_protocol::result_capability.begin(),
                           cli_protocol::result_capability.end()));
}

int AgentServer::agent_cpu() {
    if (g_agent_cpu.load() < 0) (void)run("where");
    return g_agent_cpu.load();
}

std::string AgentServer::send_buffer_command(uint64_t mib) {
    return "sndb " + std::to_string(mib);
}

std::string AgentServer::print_buffer_command(uint64_t mib) {
    return "prnb " + std::to_string(mib);
}

void AgentServer::send_frame(uint16_t type, uint32_t req_id, const std::string &payload) {
    std::array<char, cli_protocol::header_len + 256> out;
    if (payload.size() > out.size() - cli_protocol::header_len) fail("command line too long");
    cli_protocol::encode_header(reinterpret_cast<uint8_t *>(out.data()), type, req_id, 0,
                                static_cast<uint32_t>(payload.size()));
    std::memcpy(out.data() + cli_protocol::header_len, payload.data(), payload.size());
    if (!write_all(conn_.get(), out.data(), cli_protocol::header_len + payload.size()))
        fail("sending a frame to the agent");
}

bool AgentServer::fill() {
    if (head_ == tail_) {
        head_ = tail_ = 0;
    } else if (tail_ == buf_.size()) {
        std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    ssize_t r = ::read(conn_.get(), buf_.data() + tail_, buf_.size() - tail_);
    if (r <= 0) return false;
    tail_ += static_cast<size_t>(r);
    return true;
}

// Decodes the next header and skips its payload; the payload is only
// counted, as a server that forwards output would do no less.
bool AgentServer::next_frame(Header &h) {
    while (tail_ - head_ < cli_protocol::header_len)
        if (!fill()) return false;
    cli_protocol::header wire;
    if (cli_protocol::decode_header(reinterpret_cast<const uint8_t *>(buf_.data() + head_), wire) !=
        cli_protocol::header_status::ok)
        return false;
    h.type = wire.type;
    h.req_id = wire.req_id;
    h.len = wire.len;
    head_ += cli_protocol::header_len;
    size_t left = h.len;
    while (left > 0) {
        if (head_ == tail_ && !fill()) return false;
        size_t take = std::min(left, tail_ - head_);
        head_ += take;
        left -= take;
    }
    return true;
}

uint64_t AgentServer::run(const std::string &line, uint64_t *output_bytes) {
    uint32_t req = next_req_++;
    uint64_t out = 0;
    uint64_t t0 = now_ns();
    send_frame(CLI_FRAME_COMMAND, req, line);
    for (;;) {
        Header h;
        if (!next_frame(h)) fail("reading the agent's reply to '" + line + "'");
        if (h.req_id != req) fail("a frame for another command");
        if (h.type == CLI_FRAME_DONE) break;
        if (h.type == CLI_FRAME_OUTPUT) out += h.len;
        if (h.type == CLI_FRAME_PROMPT) send_frame(CLI_FRAME_INPUT, req, "y");
    }
    uint64_t t = now_ns() - t0;
    if (output_bytes != nullptr) *output_bytes = out;
    return t;
}

ThreadCpuClock AgentServer::cpu_clock() {
    (void)agent_cpu();
    return ThreadCpuClock::of(g_agent_thread);
}

StackUse AgentServer::measure_stack() {
    g_stack_done.store(false);
    (void)run("stck");
    if (!g_stack_done.load()) fail("stack probe");
    return g_stack;
}

double AgentServer::allocations_per_command(int commands) {
    static const std::array<std::string, 4> mix{empty_command(), line_command(),
                                                print_buffer_command(1), send_buffer_command(1)};
    (void)run("allc");
    uint64_t probe = g_alloc_mark.load();
    (void)run("heap");
    (void)run("allc");
    if (g_alloc_mark.load() == probe) fail("counting allocations on the agent thread");

    uint64_t before = g_alloc_mark.load();
    for (int i = 0; i < commands; ++i)
        (void)run(mix[static_cast<size_t>(i) % mix.size()]);
    (void)run("allc");
    uint64_t after = g_alloc_mark.load();
    // Between the two marks lie the commands in between plus the tail of the
    // first mark command and the head of the second: one more command.
    return static_cast<double>(after - before) / (commands + 1);
}

} // namespace bench
