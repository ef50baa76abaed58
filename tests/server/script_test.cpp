// Scripting mode end to end: the example host and cli-server as real
// processes on 127.0.0.1:7002.
#include "server_fixture.h"
#include "test_server.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

using namespace servertest;

class ServerScript : public ServerTest {};

TEST_F(ServerScript, RunsCommandsInOrderAndExitsZero) {
    auto host = start_host();
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", "echo hi  there", "-c",
                         "config -g level", "-c", "dump -n 4", "-c", "nosuch"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hi there\n"
                     "level = 3\n"
                     "00000000: 01 08 0f 16 \n"
                     "Unknown command: nosuch\nTry `help`.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(ServerScript, AnswersPromptsFromStandardInput) {
    auto host = start_host("9", "demo");
    // With -c, standard input only answers prompts.
    auto r = run_server({"--agent", "9", "--wait", "10", "-c", "wipe", "-c", "dump -n 4"}, "yes\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Wipe the device buffer? Type yes to confirm: \n"
                     "Wiped 256 bytes.\n"
                     "00000000: 00 00 00 00 \n");

    // Without -c, standard input carries both the commands and the replies;
    // comments are skipped and quit ends the script.
    r = run_server({"--wait", "10"}, "attach demo\n# a comment\nwipe\nno\necho done\nquit\n"
                                     "echo never\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Wipe the device buffer? Type yes to confirm: \nNot wiped.\ndone\n");
}

TEST_F(ServerScript, ExitsTwoWhenTheAgentNeverConnects) {
    auto start = std::chrono::steady_clock::now();
    auto r = run_server({"--agent", "ghost", "--wait", "1", "-c", "status"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cli-server: agent ghost did not connect within 1 s\n");
    EXPECT_LT(took, 5s);
}

TEST_F(ServerScript, ExitsThreeWhenTheHostDiesMidCommand) {
    auto host = start_host();
    Process server(server_argv({"--agent", "demo", "--wait", "10", "-c", "ticks -n 1000 -i 20"}));
    std::string out;
    ASSERT_TRUE(read_until(server.out(), "tick 2/1000", &out));
    host->kill(SIGKILL);
    EXPECT_EQ(server.wait(), 3);
    auto err = read_all(server.err());
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("demo (id 7) disconnected in the middle of a command"), std::string::npos)
        << *err;
}

TEST_F(ServerScript, CannotListenWhereThePortIsTaken) {
    SKIP_THROUGH_DAEMON("a client of the resident server does not listen on the agents' port");
    clitest::TestServer squatter; // holds 127.0.0.1:7002
    ASSERT_TRUE(squatter.listening());
    auto r = run_server({"-c", "ls"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:7002: the port is already in use"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(ServerScript, UsageErrorsExitOne) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out;
        const char *err;
        long err_lines;
    } cases[] = {
        {{"--port", "0"}, 1, "", "invalid port '0'", 2},
        {{"--bogus"}, 1, "", "unknown option '--bogus'", 2},
        {{"--version"}, 0, "cli-server " CLI_SERVER_VERSION "\n", "", 0},
        {{"--help"}, 0, "Exit status:", "", 0},
    };
    for (auto &c : cases) {
        auto r = run_server(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[0] << ": " << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.err_lines) << r.err;
    }
}

TEST_F(ServerScript, RefusesAnOverlongLineInsteadOfCuttingIt) {
    auto host = start_host();
    const std::string longest = "echo " + std::string(4090, 'x'); // 4095 bytes: the limit
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", longest, "-c", longest + "y",
                         "-c", "echo after"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(4090, 'x') + "\n");
    EXPECT_NE(r.err.find("4096 bytes is too long"), std::string::npos) << r.err;
}
