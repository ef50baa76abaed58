// The agent inside a host that changes process-wide settings after starting
// it. Each host is a forked child, so that a fatal signal ends the child and
// not the test.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "agent_fixture.h"

using namespace clitest;

namespace {

int flood_handler(int, char **) {
    static char block[65536];
    std::memset(block, 'f', sizeof block - 1);
    for (int i = 0; i < 256; ++i)
        cli_print("%s", block);
    return 0;
}

// The agent's host in the child: starts the agent, then puts SIGPIPE back to
// its default action, as a host that resets signals after its start-up may.
[[noreturn]] void run_host_restoring_sigpipe() {
    cli_command cmd{};
    std::strcpy(cmd.name, "flood");
    cmd.handler = flood_handler;
    cli_register_command(&cmd);
    cli_agent_init(21, "sigpipe-host");
    signal(SIGPIPE, SIG_DFL);
    poll(nullptr, 0, 30000);
    _exit(0);
}

// A server that goes away while a handler writes must cost the host only the
// output, whatever the host did to SIGPIPE after cli_agent_init: socket
// writes refuse the signal themselves (MSG_NOSIGNAL) instead of relying on
// the SIG_IGN disposition set by cli_agent_init.
TEST(HostSettings, ServerGoneDuringOutputDoesNotKillAHostThatRestoredSigpipe) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) run_host_restoring_sigpipe();

    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 1, "flood"));
    ASSERT_TRUE(conn.read_frame().has_value());
    conn.close(); // unread output: the agent's next write meets a reset

    Conn again = server.accept();
    EXPECT_TRUE(again.valid()) << "the host did not come back";
    kill(host, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "the host died of SIGPIPE";
}

std::atomic<pid_t> g_handler_tid{0};
void destroying_handler(int) {
    g_handler_tid = static_cast<pid_t>(syscall(SYS_gettid));
    cli_agent_destroy(41);
}

// A host whose own threads block SIGUSR1 leaves the process-directed signal
// pending until the host takes it: the agent thread must never take it,
// since it may hold a lock that the handler's cli_agent_destroy then waits
// for forever.
TEST(HostSettings, AProcessSignalIsNeverHandledOnTheAgentThread) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    struct sigaction sa {};
    sa.sa_handler = destroying_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    // The agent thread starts from a thread that does not block the signal.
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr), 0);
    ASSERT_EQ(cli_agent_init(41, "signalled"), 0);
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);

    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    // A command makes the agent thread return from its read: a signal it
    // does not block is handled there by the time DONE arrives.
    EXPECT_TRUE(conn.command("help").done);
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGUSR1), 1) << "the agent thread took the signal";
    EXPECT_EQ(g_handler_tid.load(), 0);

    // Taken on the test's own thread, the handler stops the agent.
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr), 0);
    EXPECT_EQ(g_handler_tid.load(), static_cast<pid_t>(syscall(SYS_gettid)));
    auto bye = conn.read_frame();
    ASSERT_TRUE(bye.has_value());
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    EXPECT_TRUE(conn.wait_closed());
    signal(SIGUSR1, SIG_DFL);
}

} // namespace
