// The C++ example of the guide, built from its page (doc/guide/embedding-cpp.md;
// the build extracts the page's code blocks into guide_cpp_example.cpp) and
// run as written. The one
// function it leaves to the host, run_the_service, plays the CLI server: it
// checks the example's command and returns while one more runs, so main's
// shutdown overlaps a command, which must not touch the dead store (the
// sanitizer builds catch it if it does).
#include "guide_cpp_example.cpp"

#include <cstdio>
#include <cstdlib>

#include "test_server.h"

namespace {

// Listening before main starts the agent, so its first attempt connects.
clitest::TestServer server;

[[noreturn]] void fail(const char *what, const std::string &got) {
    std::fprintf(stderr, "guide example: %s (got '%s')\n", what, got.c_str());
    std::exit(1);
}

} // namespace

void run_the_service() {
    clitest::Conn conn = server.accept();
    if (!conn.valid()) fail("the agent did not connect", "");
    auto hello = conn.handshake();
    if (!hello) fail("no HELLO", "");
    if (hello->agent_id != 1) fail("agent id", std::to_string(hello->agent_id));
    auto usage = conn.command("get", 1);
    if (!usage.done || usage.output() != "usage: get KEY\n")
        fail("get without a key", usage.output());
    auto value = conn.command("get colour", 2);
    if (!value.done || value.output() != "\n") fail("get colour", value.output());
    if (!conn.send_frame(CLI_FRAME_COMMAND, 3, "get colour")) fail("sending the last command", "");
}
