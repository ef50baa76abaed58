#include "agent_fixture.h"

using namespace clitest;

namespace {
int say_hi(int, char **) {
    cli_print_buffer("hi\n");
    return 0;
}
} // namespace

TEST_F(AgentTest, SmokeRunsACommand) {
    add_command("hi", say_hi);
    auto r = conn_.command("hi", 11);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "hi\n");
    EXPECT_EQ(hello_.payload, "test-agent");
}
