// A frame write that fails part-way with an error the connection survives
// (ENOBUFS, say) leaves the stream out of step: whatever followed would be
// read from the middle of the cut frame. The agent ends the connection
// instead. The hooked copy of the library makes the kernel's short write
// and the error happen on demand.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "agent_fixture.h"
#include "hook_gate.h"

using namespace clitest;

namespace {

int print_twice(int, char **) {
    static const std::string text(1000, 'a');
    cli_print("%s", text.c_str());
    cli_print("%s", text.c_str());
    return 0;
}

// Everything the peer sends until it closes or the time-out passes;
// *closed tells which.
std::string read_until_closed(int fd, std::chrono::milliseconds timeout, bool *closed) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    *closed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return got;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return got;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            *closed = true;
            return got;
        }
        got.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

TEST_F(AgentTest, AFrameCutByAWriteErrorIsTheLastOnTheConnection) {
    ASSERT_TRUE(add_command("twice", print_twice));
    HookGate gate;
    // The first write of the next frame takes 10 bytes, the second fails.
    gate.answer(HookGate::point::frame_write_limit, {10});
    gate.answer(HookGate::point::frame_write_error, {0, ENOBUFS});
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "twice"));
    bool closed = false;
    std::string got = read_until_closed(conn_.fd(), std::chrono::seconds(3), &closed);
    EXPECT_EQ(got.size(), 10u) << "bytes after the cut frame: " << hex(got.substr(0, 64));
    EXPECT_TRUE(closed) << "the connection went on after a cut frame";
    Conn next = server_.accept();
    ASSERT_TRUE(next.valid()) << "the agent did not come back";
    ASSERT_TRUE(next.handshake().has_value());
    auto r = next.command("twice", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), std::string(2000, 'a'));
}
