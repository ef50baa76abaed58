// The agent's lifecycle and connection loop with the real one-second pause:
// handshake failures, BYE, reconnecting, destroy and re-initialisation.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

#include "agent_fixture.h"
#include "fault_probe.h"
#include "mailbox.h"

using namespace clitest;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr auto kPause = std::chrono::milliseconds(1000);
// The pause is measured from the moment the test sees the connection end,
// which can lag the agent's close by a little.
constexpr auto kPauseMin = std::chrono::milliseconds(850);
constexpr auto kReconnectWithin = std::chrono::milliseconds(2500);

sighandler_t sigpipe_disposition() {
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    return sa.sa_handler;
}

// Waits for the next connection and its HELLO; returns how long it took.
std::chrono::milliseconds reconnect(TestServer &server, Conn &conn, WireFrame &hello,
                                    bool ack = true) {
    auto start = clock_type::now();
    conn = server.accept(kReconnectWithin);
    EXPECT_TRUE(conn.valid()) << "no new connection";
    if (!conn.valid()) return {};
    auto f = ack ? conn.handshake() : conn.read_frame();
    EXPECT_TRUE(f.has_value() && f->type == CLI_FRAME_HELLO);
    if (f) hello = *f;
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
}

// A handler the test can hold inside its body.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;

    void enter_and_wait() {
        std::unique_lock lk(m);
        entered = true;
        cv.notify_all();
        cv.wait_for(lk, std::chrono::seconds(10), [&] { return released; });
    }
    bool wait_entered() {
        std::unique_lock lk(m);
        return cv.wait_for(lk, std::chrono::seconds(5), [&] { return entered; });
    }
    void release() {
        std::lock_guard lk(m);
        released = true;
        cv.notify_all();
    }
};
Gate g_gate;

int held_handler(int, char **) {
    g_gate.enter_and_wait();
    cli_print("lost output\n");
    return 0;
}

std::atomic<int> g_reinit_result{-2};
int destroy_and_reinit(int, char **) {
    cli_agent_destroy(7);
    g_reinit_result = cli_agent_init(9, "reborn");
    return 0;
}

Mailbox<pid_t> g_agent_tid;
int report_tid(int, char **) {
    g_agent_tid.put(static_cast<pid_t>(syscall(SYS_gettid)));
    return 0;
}

} // namespace

TEST(AgentLifecycle, InvalidInitChangesNothing) {
    signal(SIGPIPE, SIG_DFL);
    TestServer server;
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(cli_agent_init(0, "x"), -1);
    EXPECT_EQ(cli_agent_init(1, nullptr), -1);
    EXPECT_EQ(sigpipe_disposition(), SIG_DFL);
    EXPECT_FALSE(server.accept(std::chrono::milliseconds(1500)).valid());
}

TEST(AgentLifecycle, LongNameIsCutAndEmptyNameAccepted) {
    for (const std::string &name : {std::string(100, 'n'), std::string()}) {
        TestServer server;
        ASSERT_TRUE(server.listening());
        ASSERT_EQ(cli_agent_init(3, name.c_str()), 0);
        Conn c = server.accept();
        ASSERT_TRUE(c.valid());
        auto hello = c.read_frame();
        ASSERT_TRUE(hello.has_value());
        EXPECT_EQ(hello->payload, name.substr(0, 63));
        cli_agent_destroy(3);
        EXPECT_TRUE(c.wait_closed());
        // Re-initialising right away re-arms the thread that is still in
        // its pause; the next name is announced on its next connection.
    }
}

TEST_F(AgentTest, SecondInitKeepsTheFirstIdentityAndByeReconnectsAfterThePause) {
    EXPECT_EQ(cli_agent_init(8, "other"), 0);
    EXPECT_EQ(sigpipe_disposition(), SIG_IGN);
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_BYE, 0));
    ASSERT_TRUE(conn_.wait_closed());
    WireFrame hello;
    auto took = reconnect(server_, conn_, hello);
    EXPECT_GE(took, kPauseMin);
    EXPECT_EQ(hello.payload, "test-agent");
    EXPECT_EQ(hello.agent_id, kAgentId);
    EXPECT_TRUE(conn_.command("help").done);
}

TEST(AgentLifecycle, AnyReplyButAckEndsTheConnection) {
    std::string bad_magic = encode_frame(CLI_FRAME_ACK, 0, 0, "");
    bad_magic[3] = 'X';
    const std::string replies[] = {encode_frame(CLI_FRAME_OUTPUT, 0, 0, "no"),
                                   encode_frame(CLI_FRAME_COMMAND, 1, 0, "help"), bad_magic};
    TestServer server;
    ASSERT_TRUE(server.listening());
    ASSERT_EQ(cli_agent_init(5, "picky"), 0);
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.read_frame().has_value());
    for (const auto &reply : replies) {
        ASSERT_TRUE(conn.send_raw(reply));
        int frames_before_close = -1;
        ASSERT_TRUE(conn.wait_closed(kReadTimeout, &frames_before_close)) << hex(reply);
        EXPECT_EQ(frames_before_close, 0) << "the agent answered " << hex(reply);
        WireFrame hello;
        EXPECT_GE(reconnect(server, conn, hello, false), kPauseMin);
        EXPECT_EQ(hello.payload, "picky");
    }
    cli_agent_destroy(5);
}

TEST(AgentLifecycle, RetriesUntilAServerListensAndStopsWhenDestroyed) {
    ASSERT_EQ(cli_agent_init(4, "patient"), 0);
    // Let a few attempts fail first: this measures the retry itself.
    std::this_thread::sleep_for(kPause + kPause / 2);
    {
        TestServer server;
        ASSERT_TRUE(server.listening());
        Conn conn = server.accept(kReconnectWithin);
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.handshake().has_value());
        cli_agent_destroy(4);
        EXPECT_TRUE(conn.wait_closed());
    }
    TestServer server;
    ASSERT_TRUE(server.listening());
    EXPECT_FALSE(server.accept(kReconnectWithin).valid());
}

// BYE goes out only when no frame is being written, and the agent thread
// still holds its send lock for a moment after the peer has the DONE; the
// destroy waits until the thread is back in its read.
TEST_F(AgentTest, DestroySendsByeThenEndOfStream) {
    ASSERT_TRUE(add_command("tid", report_tid));
    EXPECT_EQ(cli_agent_destroy(kAgentId + 1), 0);
    cli_agent_sync_status();
    EXPECT_TRUE(conn_.command("tid").done);
    auto tid = g_agent_tid.take(kReadTimeout);
    ASSERT_TRUE(tid.has_value());
    ASSERT_TRUE(wait_until_blocked_in_read(*tid, kReadTimeout));
    EXPECT_EQ(cli_agent_destroy(kAgentId), 0);
    auto bye = conn_.read_frame();
    ASSERT_TRUE(bye.has_value());
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    EXPECT_EQ(bye->req_id, 0u);
    EXPECT_EQ(bye->agent_id, kAgentId);
    EXPECT_TRUE(bye->payload.empty());
    EXPECT_TRUE(conn_.wait_closed());
    EXPECT_FALSE(server_.accept(kReconnectWithin).valid());
}

TEST_F(AgentTest, ReinitAfterDestroyReconnectsOnceWithTheNewIdentity) {
    cli_agent_destroy(kAgentId);
    auto start = clock_type::now();
    ASSERT_EQ(cli_agent_init(9, "again"), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(100));
    EXPECT_TRUE(conn_.wait_closed());
    WireFrame hello;
    reconnect(server_, conn_, hello);
    EXPECT_EQ(hello.agent_id, 9u);
    EXPECT_EQ(hello.payload, "again");
    EXPECT_TRUE(conn_.command("help").done);
    EXPECT_FALSE(server_.accept(std::chrono::milliseconds(1500)).valid())
        << "a second agent connection";
    cli_agent_destroy(9);
}

TEST_F(AgentTest, DestroyWhileAHandlerRunsLosesItsOutputAndDone) {
    ASSERT_TRUE(add_command("held", held_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 3, "held"));
    ASSERT_TRUE(g_gate.wait_entered());
    cli_agent_destroy(kAgentId);
    g_gate.release();
    auto bye = conn_.read_frame();
    ASSERT_TRUE(bye.has_value());
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    int more = -1;
    EXPECT_TRUE(conn_.wait_closed(kReadTimeout, &more));
    EXPECT_EQ(more, 0) << "output or DONE after BYE";
    EXPECT_FALSE(server_.accept(kReconnectWithin).valid());
}

std::atomic<int> g_side_effects{0};
int side_effect(int, char **) {
    ++g_side_effects;
    return 0;
}

TEST_F(AgentTest, CommandsQueuedOnADestroyedConnectionNeverRun) {
    ASSERT_TRUE(add_command("held", held_handler));
    ASSERT_TRUE(add_command("side", side_effect));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 3, "held"));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 4, "side"));
    ASSERT_TRUE(g_gate.wait_entered());
    cli_agent_destroy(kAgentId);
    ASSERT_EQ(cli_agent_init(kAgentId, "test-agent"), 0);
    g_gate.release();
    EXPECT_TRUE(conn_.wait_closed());
    WireFrame hello;
    reconnect(server_, conn_, hello);
    EXPECT_EQ(g_side_effects.load(), 0) << "a command of the destroyed connection ran";
    EXPECT_TRUE(conn_.command("side", 5).done);
    EXPECT_EQ(g_side_effects.load(), 1);
}

TEST_F(AgentTest, InitFromAHandlerAfterDestroyCarriesOnAsTheNewAgent) {
    ASSERT_TRUE(add_command("reborn", destroy_and_reinit));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 3, "reborn"));
    auto bye = conn_.read_frame();
    ASSERT_TRUE(bye.has_value());
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    EXPECT_TRUE(conn_.wait_closed());
    WireFrame hello;
    reconnect(server_, conn_, hello);
    EXPECT_EQ(g_reinit_result.load(), 0);
    EXPECT_EQ(hello.agent_id, 9u);
    EXPECT_EQ(hello.payload, "reborn");
    EXPECT_TRUE(conn_.command("help").done);
    EXPECT_FALSE(server_.accept(std::chrono::milliseconds(1500)).valid())
        << "a second agent connection";
    cli_agent_destroy(9);
}

namespace {

std::string comm_of(const std::string &task_dir) {
    std::ifstream in(task_dir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Prints the name of the thread it runs on.
int print_thread_name(int, char **) {
    cli_print_buffer("%s\n", comm_of("/proc/thread-self").c_str());
    return 0;
}

} // namespace

// top -H, ps -L and debuggers tell the agent's thread from the host's: it
// is the one thread of the process named cli_agent, and handlers run on it.
TEST_F(AgentTest, TheAgentThreadIsNamedCliAgent) {
    ASSERT_TRUE(add_command("thread_name", print_thread_name));
    EXPECT_EQ(conn_.command("thread_name").output(), "cli_agent\n");
    int named = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        if (comm_of(task.path()) == "cli_agent") ++named;
    EXPECT_EQ(named, 1);
    EXPECT_NE(comm_of("/proc/thread-self"), "cli_agent") << "the host's thread keeps its name";
}
