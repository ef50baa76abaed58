// A host started under `ulimit -s 256` (so new threads default to a 256 KiB
// stack) runs the commands that take the agent thread deepest: the agent
// thread must have a stack of its own size, and the host must survive.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "agent_fixture.h"

using namespace clitest;

namespace {

// The host process, started through the shell so that the limit is set the
// way an operator would set it; killed if the test ends early.
class SmallStackHost {
  public:
    SmallStackHost() {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", "ulimit -s 256 && exec \"$0\"", SMALL_STACK_HOST, nullptr);
            _exit(127);
        }
    }
    ~SmallStackHost() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    SmallStackHost(const SmallStackHost &) = delete;
    SmallStackHost &operator=(const SmallStackHost &) = delete;

    bool started() const { return pid_ > 0; }

    // Exit status within the time-out, or -1.
    int wait_exit(ms timeout) {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd < 0) return -1;
        pollfd p{pidfd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(timeout.count()));
        close(pidfd);
        int status = 0;
        if (ready != 1 || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
};

TEST(SmallStack, HostUnderUlimit256RunsTheDeepestCommands) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    SmallStackHost host;
    ASSERT_TRUE(host.started());
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid()) << "the host's agent did not connect";
    auto hello = conn.handshake();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->payload, "small-stack");

    auto r = conn.command("limit", 1);
    ASSERT_TRUE(r.done);
    ASSERT_EQ(r.output(), "262144\n") << "the host did not run under the small limit";

    r = conn.command("fill", 2);
    ASSERT_TRUE(r.done) << "the agent thread died filling the print buffer";
    EXPECT_EQ(r.output(), std::string(70 * 8191, 'c'));

    r = conn.command("shout", 3);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::string(65535, 'B'));

    ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 4, "ask"));
    auto out = conn.read_frame();
    auto prompt = conn.read_frame();
    ASSERT_TRUE(out && prompt);
    EXPECT_EQ(prompt->type, CLI_FRAME_PROMPT);
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_INPUT, 4, "deep"));
    r = conn.collect(4);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "got deep\n");

    // The host stops its agent at once, so DONE may or may not come first.
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 5, "stop"));
    EXPECT_TRUE(conn.wait_closed());
    int status = host.wait_exit(ms(10000));
    ASSERT_NE(status, -1) << "the host did not exit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "host ended with status " << status;
}

} // namespace
