#include "agent_fixture.h"

#include <cstring>

namespace clitest {

void AgentTest::SetUp() {
    ASSERT_TRUE(server_.listening()) << "port 7002 is busy";
    ASSERT_EQ(cli_agent_init(kAgentId, "test-agent"), 0);
    conn_ = server_.accept();
    ASSERT_TRUE(conn_.valid()) << "the agent did not connect";
    auto hello = conn_.handshake(kReadTimeout, ack_payload_);
    ASSERT_TRUE(hello.has_value()) << "no HELLO from the agent";
    hello_ = *hello;
}

void AgentTest::TearDown() {
    cli_agent_destroy(kAgentId);
    for (const auto &name : registered_) {
        cli_command cmd{};
        std::strncpy(cmd.name, name.c_str(), sizeof cmd.name - 1);
        cli_unregister_command(&cmd);
    }
    registered_.clear();
}

bool AgentTest::register_command(const cli_command &cmd) {
    if (cli_register_command(&cmd) != 0) return false;
    registered_.emplace_back(cmd.name, strnlen(cmd.name, sizeof cmd.name));
    return true;
}

bool AgentTest::add_command(const char *name, cli_cmd_handler handler, const char *desc,
                            cli_cmd_usage usage) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    std::strncpy(cmd.desc, desc, sizeof cmd.desc - 1);
    cmd.handler = handler;
    cmd.usage = usage;
    if (register_command(cmd)) return true;
    ADD_FAILURE() << "the command table refused '" << name << "'";
    return false;
}

} // namespace clitest
