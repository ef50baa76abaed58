// The agent refuses a server owned by another unprivileged user: it must
// not even learn the agent's name.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "agent_fixture.h"

using namespace clitest;

namespace {

constexpr uid_t kNobody = 65534;

// Runs a server as another user in a child process. It reports, through the
// pipe, 'L' once it listens, then 'H' if a HELLO arrived or 'N' if the agent
// connected but sent nothing, or 'A' if no agent connected at all.
[[noreturn]] void squatter(int report) {
    if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)
        _exit(2);
    char result = 'A';
    {
        TestServer server;
        if (!server.listening()) _exit(3);
        (void)!write(report, "L", 1);
        Conn conn = server.accept(std::chrono::milliseconds(5000));
        if (conn.valid()) result = conn.read_frame(std::chrono::milliseconds(1500)) ? 'H' : 'N';
    }
    (void)!write(report, &result, 1);
    _exit(0);
}

char read_report(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c = '?';
    if (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) != 1) c = '?';
    return c;
}

} // namespace

TEST(AgentTrust, RefusesAServerOfAnotherUserAndFindsTheRealOneAfterwards) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        squatter(pipefd[1]);
    }
    close(pipefd[1]);
    ASSERT_EQ(read_report(pipefd[0]), 'L');
    ASSERT_EQ(cli_agent_init(21, "secret-name"), 0);
    EXPECT_EQ(read_report(pipefd[0]), 'N') << "the agent talked to a foreign server";
    close(pipefd[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    TestServer server;
    ASSERT_TRUE(server.listening());
    auto start = std::chrono::steady_clock::now();
    Conn conn = server.accept(std::chrono::milliseconds(2500));
    ASSERT_TRUE(conn.valid());
    auto hello = conn.read_frame();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->payload, "secret-name");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    cli_agent_destroy(21);
}
