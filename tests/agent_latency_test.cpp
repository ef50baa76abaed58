// Guards against the agent's small frames waiting for delayed ACKs (Nagle's
// algorithm on a connection without TCP_NODELAY, or a frame written in more
// than one piece): such a stall costs about 40 ms per round trip on Linux.
// Several round trips run on one connection because Linux acknowledges the
// first segments of a connection at once, which hides a stall there.
#include <chrono>
#include <ostream>
#include <string>

#include "agent_fixture.h"

using namespace clitest;

namespace {

// Far above a loopback round trip (tens of microseconds), far below a
// delayed ACK (40 ms), so a loaded machine does not make the test flaky.
constexpr auto kStallLimit = std::chrono::milliseconds(20);
constexpr uint32_t kRoundTrips = 8;

int print_one_line(int, char **) {
    cli_print("one line\n");
    return 0;
}

int buffer_one_line(int, char **) {
    cli_print_buffer("one line\n");
    return 0;
}

struct LatencyCase {
    const char *command;
    cli_cmd_handler handler;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const LatencyCase &c, std::ostream *os) {
    *os << c.command;
}

class AgentLatencyTest : public AgentTest, public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(AgentLatencyTest, NoRoundTripWaitsForADelayedAck) {
    const LatencyCase &c = GetParam();
    ASSERT_TRUE(add_command(c.command, c.handler));
    for (uint32_t req = 1; req <= kRoundTrips; ++req) {
        auto start = std::chrono::steady_clock::now();
        Conn::Result r = conn_.command(c.command, req);
        auto took = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(r.done) << "round trip " << req;
        EXPECT_EQ(r.output(), "one line\n");
        EXPECT_LT(took, kStallLimit)
            << "round trip " << req << " took "
            << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << " us";
    }
}

INSTANTIATE_TEST_SUITE_P(Output, AgentLatencyTest,
                         ::testing::Values(LatencyCase{"printed", print_one_line},
                                           LatencyCase{"buffered", buffer_one_line}),
                         [](const ::testing::TestParamInfo<LatencyCase> &info) {
                             return std::string(info.param.command);
                         });

} // namespace
