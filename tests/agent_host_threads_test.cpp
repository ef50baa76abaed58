// What host threads may rely on while the agent thread is stuck on the
// network or has been copied by fork: registration and destroy never wait
// for a server that stopped reading, a forked child gets an agent of its own
// without disturbing the parent's connection, and an agent thread ended by
// its handler comes back only after the reconnect pause.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "agent_fixture.h"
#include "fault_probe.h"

using namespace clitest;
using steady = std::chrono::steady_clock;

namespace {

constexpr ms kHostCallBound = 100ms;

std::atomic<pid_t> g_flood_tid{0};
std::atomic<int> g_flood_pieces{0};
std::atomic<bool> g_flood_done{false};

// ThreadSanitizer cannot follow a process that starts threads after forking
// a multi-threaded one (its child dies on the first new thread).
#if defined(__SANITIZE_THREAD__)
constexpr bool kForkUnsupported = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kForkUnsupported = true;
#else
constexpr bool kForkUnsupported = false;
#endif
#else
constexpr bool kForkUnsupported = false;
#endif

// Sends 64 KiB pieces until the connection fails; against a server that
// does not read, it soon blocks inside a frame write.
int flood_handler(int, char **) {
    g_flood_tid = static_cast<pid_t>(syscall(SYS_gettid));
    static char piece[65536];
    std::memset(piece, 'x', sizeof piece);
    for (int i = 0; i < 4096; ++i) {
        g_flood_pieces.fetch_add(1);
        cli_send_buffer(piece, sizeof piece);
    }
    g_flood_done = true;
    return 0;
}

int pid_handler(int, char **) {
    cli_print("%d\n", static_cast<int>(getpid()));
    return 0;
}

// The scheduler state of one of this process's threads ('R', 'S', ...).
char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close_paren = line.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= line.size()
               ? '?'
               : line[close_paren + 2];
}

// Waits until the flood handler sleeps in the kernel with pieces still to
// send: its only blocking call is the frame write.
[[nodiscard]] bool wait_until_flood_blocks(ms timeout = kReadTimeout) {
    auto deadline = steady::now() + timeout;
    while (steady::now() < deadline) {
        pid_t tid = g_flood_tid.load();
        if (tid != 0 && g_flood_pieces.load() > 0 && thread_state(tid) == 'S') return true;
        std::this_thread::yield();
    }
    return false;
}

template <class F> ms time_call(F &&f) {
    auto start = steady::now();
    f();
    return std::chrono::duration_cast<ms>(steady::now() - start);
}

cli_command command_named(const char *name, cli_cmd_handler handler) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    std::strncpy(cmd.desc, "test command", sizeof cmd.desc - 1);
    cmd.handler = handler;
    return cmd;
}

class HostThreadsTest : public AgentTest {
  protected:
    void SetUp() override {
        g_flood_tid = 0;
        g_flood_pieces = 0;
        g_flood_done = false;
        AgentTest::SetUp();
    }
    void TearDown() override {
        AgentTest::TearDown();
        for (const char *name : {"flood", "pid", "late", "forker"}) {
            cli_command cmd = command_named(name, pid_handler);
            cli_unregister_command(&cmd);
        }
    }

    // The server sends the flood command and then never reads.
    void start_flood() {
        ASSERT_TRUE(add_command("flood", flood_handler));
        ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "flood"));
        ASSERT_TRUE(wait_until_flood_blocks()) << "the flood never filled the connection";
    }
};

// A child process that runs body and never returns into the test framework;
// it is killed at the end of the test, and alarm() ends it should the test
// itself fail first.
class Child {
  public:
    template <class F> explicit Child(F &&body) {
        pid_ = fork();
        if (pid_ == 0) {
            alarm(20);
            body();
            for (;;)
                pause();
        }
    }
    ~Child() { stop(); }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

// The agent of a freshly forked child: accepted, greeted, named.
[[nodiscard]] bool accept_named(TestServer &server, Conn &conn, const std::string &name) {
    conn = server.accept();
    if (!conn.valid()) return false;
    auto hello = conn.handshake();
    return hello.has_value() && hello->payload == name;
}

} // namespace

TEST_F(HostThreadsTest, RegistrationDoesNotWaitForAServerThatStoppedReading) {
    ASSERT_NO_FATAL_FAILURE(start_flood());
    cli_command late = command_named("late", pid_handler);
    int rc = -1;
    ms took = time_call([&] { rc = cli_register_command(&late); });
    EXPECT_EQ(rc, 0);
    EXPECT_LT(took, kHostCallBound) << "registration waited for the stalled connection";
    took = time_call([&] { cli_unregister_command(&late); });
    EXPECT_LT(took, kHostCallBound) << "unregistration waited for the stalled connection";
}

// Destroy sends no BYE while a frame is being written; its shutdown ends the
// connection and wakes the blocked writer, whose remaining output fails at
// once, so the handler finishes and the connection closes.
TEST_F(HostThreadsTest, DestroyDoesNotWaitForAServerThatStoppedReading) {
    ASSERT_NO_FATAL_FAILURE(start_flood());
    ms took = time_call([] { EXPECT_EQ(cli_agent_destroy(kAgentId), 0); });
    EXPECT_LT(took, kHostCallBound) << "destroy waited for the stalled connection";
    EXPECT_TRUE(conn_.wait_closed()) << "the connection was not ended";
    auto deadline = steady::now() + kReadTimeout;
    while (!g_flood_done.load() && steady::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE(g_flood_done.load()) << "the writer stayed blocked after destroy";
}

// After destroy and a new init the same agent comes back on a new
// connection, although the old one ended mid-frame.
TEST_F(HostThreadsTest, TheAgentComesBackAfterADestroyDuringAStalledWrite) {
    ASSERT_NO_FATAL_FAILURE(start_flood());
    ASSERT_EQ(cli_agent_destroy(kAgentId), 0);
    ASSERT_EQ(cli_agent_init(kAgentId, "test-agent"), 0);
    Conn next;
    ASSERT_TRUE(accept_named(server_, next, "test-agent"));
    ASSERT_TRUE(add_command("pid", pid_handler));
    auto r = next.command("pid", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::to_string(getpid()) + "\n");
}

// A daemon that initialises the agent and then forks keeps a CLI in both
// processes; the child's copy of the parent's connection is closed in the
// child only, so the parent's connection outlives the child.
TEST_F(HostThreadsTest, ParentAndForkedChildAreBothReachable) {
    if (kForkUnsupported) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    ASSERT_TRUE(add_command("pid", pid_handler));
    Child child([] { (void)cli_agent_init(2, "child"); });
    ASSERT_GT(child.pid(), 0);
    Conn child_conn;
    ASSERT_TRUE(accept_named(server_, child_conn, "child")) << "the child's agent never connected";
    auto r = child_conn.command("pid", 1);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::to_string(child.pid()) + "\n") << "registrations are inherited";

    r = conn_.command("pid", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::to_string(getpid()) + "\n");
    child.stop();
    EXPECT_TRUE(child_conn.wait_closed());
    r = conn_.command("pid", 3);
    ASSERT_TRUE(r.done) << "the parent's connection did not survive the child's exit";
    EXPECT_EQ(r.output(), std::to_string(getpid()) + "\n");
}

// The agent thread holds the send lock inside a blocked write at the moment
// of the fork; the child, which has no such thread, must still be able to
// register, start its agent and send.
TEST_F(HostThreadsTest, AForkDuringAStalledWriteLeavesTheChildWorking) {
    if (kForkUnsupported) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    ASSERT_TRUE(add_command("pid", pid_handler));
    ASSERT_NO_FATAL_FAILURE(start_flood());
    Child child([] {
        cli_command late = command_named("late", pid_handler);
        if (cli_register_command(&late) != 0) _exit(3);
        if (cli_agent_init(3, "child") != 0) _exit(4);
    });
    ASSERT_GT(child.pid(), 0);
    Conn child_conn;
    ASSERT_TRUE(accept_named(server_, child_conn, "child")) << "the child's agent never connected";
    auto r = child_conn.command("late", 1);
    ASSERT_TRUE(r.done) << "the child's agent could not send";
    EXPECT_EQ(r.output(), std::to_string(child.pid()) + "\n");
}

int g_forker_status = -1;
bool g_forker_reaped = false;

// Forks inside a handler, as a command that starts a helper process would;
// the child returns from the handler like the parent does.
int forker_handler(int, char **) {
    pid_t pid = fork();
    if (pid == 0) {
        cli_print("from the child\n");
        return 0;
    }
    int status = 0;
    g_forker_reaped = waitpid(pid, &status, 0) == pid;
    g_forker_status = status;
    cli_print("from the parent\n");
    return 0;
}

// The child's copy of the agent thread finishes the command with its output
// dropped and ends; it never writes to the parent's connection.
TEST_F(HostThreadsTest, AChildForkedInAHandlerNeverWritesToTheConnection) {
    if (kForkUnsupported) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    ASSERT_TRUE(add_command("forker", forker_handler));
    ASSERT_TRUE(add_command("pid", pid_handler));
    auto r = conn_.command("forker", 1, 10000ms);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "from the parent\n");
    EXPECT_TRUE(g_forker_reaped) << "the child did not end by itself";
    // A sanitizer's leak check fails the child's exit: its parent's objects
    // on the test thread's stack are gone there.
    bool clean_exit = WIFEXITED(g_forker_status) && WEXITSTATUS(g_forker_status) == 0;
    EXPECT_TRUE(clean_exit || CLITEST_SANITIZED) << "status " << g_forker_status;
    r = conn_.command("pid", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::to_string(getpid()) + "\n") << "frames of the child in the stream";
}

int exiting_handler(int, char **) {
    pthread_exit(nullptr);
}

// Every ended connection is followed by the reconnect pause, also the one
// whose thread a handler ended.
TEST_F(HostThreadsTest, AReplacementThreadWaitsThePauseBeforeReconnecting) {
    ASSERT_TRUE(add_command("exit_thread", exiting_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "exit_thread"));
    ASSERT_TRUE(conn_.wait_closed());
    auto closed = steady::now();
    Conn next;
    ASSERT_TRUE(accept_named(server_, next, "test-agent"));
    EXPECT_GE(steady::now() - closed, 850ms) << "reconnected without the pause";
}

// A child forked in a handler that starts an agent of its own: either it
// returns from the handler, leaving its copy of the agent thread to carry on
// (which must never read the parent's connection), or it stays inside.
bool g_child_returns = true;
int init_in_child_handler(int, char **) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        if (cli_agent_init(3, "child") != 0) _exit(4);
        if (g_child_returns) return 0;
        for (;;)
            pause();
    }
    cli_print("%d\n", static_cast<int>(pid));
    return 0;
}

class ForkInHandlerTest : public HostThreadsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ForkInHandlerTest, TheChildsInitStartsItsOwnAgentAndLeavesTheParentsConnection) {
    if (kForkUnsupported) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    g_child_returns = GetParam();
    ASSERT_TRUE(add_command("forkinit", init_in_child_handler));
    ASSERT_TRUE(add_command("pid", pid_handler));
    auto r = conn_.command("forkinit", 1);
    ASSERT_TRUE(r.done);
    pid_t child = static_cast<pid_t>(std::stoi(r.output()));
    ASSERT_GT(child, 0);
    Conn child_conn;
    bool child_connected = accept_named(server_, child_conn, "child");
    // Several commands: a reader in the child would take some of them.
    for (uint32_t i = 2; i < 6; ++i) {
        auto p = conn_.command("pid", i);
        ASSERT_TRUE(p.done) << "command " << i << " lost";
        EXPECT_EQ(p.output(), std::to_string(getpid()) + "\n");
    }
    EXPECT_TRUE(child_connected) << "the child's agent never connected";
    if (child_connected) {
        auto c = child_conn.command("pid", 1);
        ASSERT_TRUE(c.done);
        EXPECT_EQ(c.output(), std::to_string(child) + "\n");
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(ChildReturnsOrStays, ForkInHandlerTest, ::testing::Bool(),
                         [](const auto &info) {
                             return info.param ? std::string("Returns") : std::string("Stays");
                         });
