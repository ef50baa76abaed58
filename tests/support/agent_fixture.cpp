#include "agent_fixture.h"

#include <cstring>

namespace clitest {

void AgentTest::SetUp() {
    ASSERT_TRUE(server_.listening()) << "port 7002 is busy";
    ASSERT_EQ(cli_agent_init(kAgentId, "test-agent"), 0);
    conn_ = server_.accept();
    ASSERT_TRUE(conn_.valid()) << "the agent did not connect";
    auto hello = conn_.handshake();
    ASSERT_TRUE(hello.has_value()) << "no HELLO from the agent";
    hello_ = *hello;
}

void AgentTest::TearDown() {
    cli_agent_destroy(kAgentId);
}

void AgentTest::add_command(const char *name, cli_cmd_handler handler, const char *desc,
                            cli_cmd_usage usage) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    std::strncpy(cmd.desc, desc, sizeof cmd.desc - 1);
    cmd.handler = handler;
    cmd.usage = usage;
    ASSERT_EQ(cli_register_command(&cmd), 0) << name;
}

} // namespace clitest
