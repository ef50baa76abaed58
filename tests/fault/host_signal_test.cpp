// The agent inside a host that changes process-wide settings after starting
// it. Each host is a forked child, so that a fatal signal ends the child and
// not the test.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace
