// The agent must not touch the heap: its thread connects, handshakes, serves
// commands that use every output and input function, reconnects, and stops,
// and no malloc, calloc or realloc may be called on it. This executable
// interposes those three functions and counts the calls made by any thread
// other than the test's own; the agent thread is the only other one.
//
// The sanitizers own malloc, so under them there is nothing to interpose
// and the test is skipped.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "agent_fixture.h"
#include "fault_probe.h"

using namespace clitest;

#if !CLITEST_SANITIZED

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
std::atomic<bool> g_counting{false};
std::atomic<pthread_t> g_test_thread{};
std::atomic<int> g_foreign_allocations{0};

void note_allocation() {
    if (g_counting.load(std::memory_order_relaxed) &&
        pthread_equal(pthread_self(), g_test_thread.load(std::memory_order_relaxed)) == 0)
        g_foreign_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" void *malloc(size_t n) {
    note_allocation();
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
    note_allocation();
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
    note_allocation();
    return __libc_realloc(p, n);
}

namespace {

void show_usage(const cli_command *cmd, int) {
    cli_print_buffer("usage: %s [-a] [-b N] [-p ADDR] [-n N] [word]\n", cmd->name);
    cli_print("see also: help\n");
}

// Uses every output and input function and every parser once or more.
int everything_handler(int argc, char **argv) {
    // Static, not std::string: the handler itself must not allocate either.
    static char big[70001];
    static unsigned char bytes[300];
    if (big[0] == '\0') std::memset(big, 'b', sizeof big - 1);
    cli_option_state st{};
    uint32_t seen = 0;
    for (int opt; (opt = cli_get_option(argc, argv, "ab:p:n:", &st)) != -1;) {
        cli_set_option(&seen, opt);
        uint64_t u64 = 0;
        uint32_t u32 = 0;
        void *ptr = nullptr;
        if (opt == 'b' && cli_get_param_u64(st.optarg, &u64) == 0)
            cli_print_buffer("b=%llu\n", (unsigned long long)u64);
        if (opt == 'p' && cli_get_param_pointer(st.optarg, &ptr) == 0)
            cli_print_buffer("p=%p\n", ptr);
        if (opt == 'n' && cli_get_param_u32(st.optarg, &u32) == 0) cli_print_buffer("n=%u\n", u32);
        if (opt == 1) cli_print_buffer("word=%s\n", st.optarg);
    }
    cli_print("a=%d\n", cli_test_option(seen, 'a'));
    cli_print("%s", big);        // cut to 65535
    for (int i = 0; i < 70; ++i) // across the 512 KiB print buffer
        cli_print_buffer("%.*s", 8000, big);
    cli_print_memory(bytes, sizeof bytes);
    cli_send_buffer(big, 70000);
    cli_show_usage_and_error("bad value: %d", 42);
    char reply[64];
    if (cli_get_input("name? ", reply, sizeof reply) == 0) cli_print("hello %s\n", reply);
    return 0;
}

// Proves the counter sees threads other than the test's.
int allocating_handler(int, char **) {
    void *(*volatile alloc)(size_t) = std::malloc;
    std::free(alloc(32));
    return 0;
}

void run_commands(Conn &conn) {
    ASSERT_TRUE(
        conn.send_frame(CLI_FRAME_COMMAND, 1, "everything -a -b 0x10 -p 0x1000 -n 7 word -x"));
    std::optional<WireFrame> f;
    while ((f = conn.read_frame()) && f->type == CLI_FRAME_OUTPUT) {
    }
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(f->type, CLI_FRAME_PROMPT);
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_INPUT, 1, "agent"));
    auto r = conn.collect(1);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "hello agent\n");
    for (const char *line : {"help", "nosuch command", "", "ls"})
        ASSERT_TRUE(conn.command(line, 2).done) << line;
}

TEST(AgentAllocation, NoHeapUseOnTheAgentThread) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    for (auto [name, handler] :
         {std::pair<const char *, cli_cmd_handler>{"everything", everything_handler},
          {"allocating", allocating_handler}}) {
        cli_command cmd{};
        std::strncpy(cmd.name, name, sizeof cmd.name - 1);
        cmd.handler = handler;
        cmd.usage = show_usage;
        ASSERT_EQ(cli_register_command(&cmd), 0);
    }
    g_test_thread = pthread_self();
    g_counting = true;
    ASSERT_EQ(cli_agent_init(7, "alloc-agent"), 0);
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());

    ASSERT_TRUE(conn.command("allocating", 9).done);
    ASSERT_GE(g_foreign_allocations.load(), 1) << "the counter does not see the agent thread";
    g_foreign_allocations = 0;

    run_commands(conn);
    // Through a reconnection (the real one-second pause) and once more.
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_BYE, 0));
    conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    run_commands(conn);
    cli_agent_destroy(7);
    EXPECT_TRUE(conn.wait_closed());
    g_counting = false;
    EXPECT_EQ(g_foreign_allocations.load(), 0) << "heap allocations on the agent thread";
}

} // namespace

#else

TEST(AgentAllocation, NoHeapUseOnTheAgentThread) {
    GTEST_SKIP() << "the sanitizer owns malloc";
}

#endif
