// Fixture for tests that drive the agent over 127.0.0.1:7002: a test server
// listens before the agent starts, and the agent's connection has finished
// its handshake when the test body begins.
#pragma once

#include <gtest/gtest.h>

#include "cli_agent.h"
#include "test_server.h"

namespace clitest {

class AgentTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kAgentId = 7;

    void SetUp() override;
    void TearDown() override;

    // Registers a command with the given handler (and optional usage).
    static void add_command(const char *name, cli_cmd_handler handler,
                            const char *desc = "test command", cli_cmd_usage usage = nullptr);

    TestServer server_;
    Conn conn_;
    WireFrame hello_;
};

} // namespace clitest
