// cli-server with thousands of agents connected: fake agents speaking the
// protocol from this process (one socket each) next to the real example
// host. Nothing here measures time; the benchmark does that.
#include "server_fixture.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

using namespace clitest;
using clitest::Conn;

namespace {

constexpr int kAgents = 2000;

std::string agent_name(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "swarm%04d", i);
    return name;
}

// Connects all agents first and greets them afterwards, so the server has
// thousands of half-open connections at once, not one at a time.
std::vector<Conn> connect_swarm() {
    std::vector<Conn> swarm;
    for (int i = 0; i < kAgents; ++i) {
        swarm.push_back(connect_agent());
        if (!swarm.back().valid()) {
            ADD_FAILURE() << "connecting agent " << i << ": " << std::strerror(errno);
            return {};
        }
    }
    for (int i = 0; i < kAgents; ++i)
        if (!send_hello(swarm[i], agent_name(i), static_cast<uint32_t>(i + 100))) {
            ADD_FAILURE() << "HELLO of agent " << i;
            return {};
        }
    for (int i = 0; i < kAgents; ++i) {
        if (!read_ack(swarm[i])) {
            ADD_FAILURE() << agent_name(i) << " was not acknowledged";
            return {};
        }
    }
    return swarm;
}

// Answers the one COMMAND the agent must have received with its line as output.
void serve_one_command(Conn &agent, uint32_t id) {
    auto cmd = agent.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    ASSERT_TRUE(agent.send_frame(CLI_FRAME_OUTPUT, cmd->req_id, "ran " + cmd->payload + "\n", id));
    ASSERT_TRUE(agent.send_frame(CLI_FRAME_DONE, cmd->req_id, "", id));
}

} // namespace

TEST(ServerScale, TwoThousandAgentsStayServedWhenOneDropsMidFrame) {
    if (!raise_own_descriptor_limit(kAgents + 256)) GTEST_SKIP() << "descriptor hard limit too low";
    auto host = start_host("7", "demo");
    SpawnOptions o;
    o.pipe_stdin = true;
    o.max_files = 256; // the server has to raise its own limit
    Process server(server_argv({"--wait", "10"}), o);
    std::string out;
    server.write_in("ls\n");
    ASSERT_TRUE(read_until(server.out(), "\n", &out));

    std::vector<Conn> swarm = connect_swarm();
    ASSERT_EQ(swarm.size(), static_cast<size_t>(kAgents));

    // One agent in the middle starts an OUTPUT frame and vanishes.
    constexpr int kDropped = kAgents / 2;
    const std::string frame = clitest::encode_frame(CLI_FRAME_OUTPUT, 1, kDropped + 100, "partial");
    ASSERT_TRUE(swarm[kDropped].send_raw(frame.substr(0, 11)));
    swarm[kDropped].close();

    // A fake agent on either side of it, then the real host, run commands.
    out.clear();
    server.write_in("attach " + agent_name(kDropped - 1) + "\nfirst\n");
    serve_one_command(swarm[kDropped - 1], kDropped - 1 + 100);
    ASSERT_TRUE(read_until(server.out(), "ran first\n", &out)) << out;
    server.write_in("attach " + agent_name(kDropped + 1) + "\nsecond\n");
    serve_one_command(swarm[kDropped + 1], kDropped + 1 + 100);
    ASSERT_TRUE(read_until(server.out(), "ran second\n", &out)) << out;
    server.write_in("attach demo\necho through the crowd\nls\nquit\n");
    auto rest = read_all(server.out(), 30s);
    ASSERT_TRUE(rest);
    out += *rest;
    EXPECT_NE(out.find("through the crowd\n"), std::string::npos);

    // ls names every agent still connected, and the dropped one no more.
    std::set<std::string> listed;
    for (size_t at = out.find(" swarm"); at != std::string::npos; at = out.find(" swarm", at + 1))
        listed.insert(out.substr(at + 1, 9));
    EXPECT_EQ(listed.size(), static_cast<size_t>(kAgents - 1));
    EXPECT_EQ(listed.count(agent_name(kDropped)), 0u);
    EXPECT_NE(out.find(" demo "), std::string::npos);

    EXPECT_EQ(server.wait(30s), 0);
    auto err = read_all(server.err());
    ASSERT_TRUE(err);
    EXPECT_EQ(*err, "");

    // Every other agent saw nothing between its ACK and the goodbye.
    for (int i = 0; i < kAgents; ++i) {
        if (i == kDropped || i == kDropped - 1 || i == kDropped + 1) continue;
        auto bye = swarm[i].read_frame();
        ASSERT_TRUE(bye) << agent_name(i);
        ASSERT_EQ(bye->type, CLI_FRAME_BYE) << agent_name(i);
    }
}
