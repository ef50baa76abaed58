// Fixture for tests that drive the agent over 127.0.0.1:7002: a test server
// listens before the agent starts, and the agent's connection has finished
// its handshake when the test body begins. TearDown destroys the agent and
// unregisters every command registered through the fixture, so the tests of
// one program can also run one after another in a single process.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_agent.h"
#include "test_server.h"

namespace clitest {

class AgentTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kAgentId = 7;

    void SetUp() override;
    void TearDown() override;

    // Registers a command with the given handler (and optional usage); false
    // (with a recorded failure) if the table refused it.
    [[nodiscard]] bool add_command(const char *name, cli_cmd_handler handler,
                                   const char *desc = "test command",
                                   cli_cmd_usage usage = nullptr);
    // cli_register_command, remembering the name for TearDown when accepted;
    // true when it returned 0.
    [[nodiscard]] bool register_command(const cli_command &cmd);

    // What the fixture's ACK carries (set before SetUp): none by default,
    // as a server that predates results sends it.
    std::string ack_payload_;
    TestServer server_;
    Conn conn_;
    WireFrame hello_;

  private:
    std::vector<std::string> registered_;
};

} // namespace clitest
