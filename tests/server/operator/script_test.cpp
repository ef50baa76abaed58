// Scripting mode end to end: the example host and cli-server as real
// processes on 127.0.0.1:7002.
#include "server_fixture.h"
#include "test_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>

using namespace clitest;

class ServerScript : public ServerTest {};

TEST_F(ServerScript, RunsCommandsInOrderAndExitsZero) {
    auto host = start_host();
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", "echo hi  there", "-c",
                         "config -g level", "-c", "dump -n 4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hi there\n"
                     "level = 3\n"
                     "00000000: 01 08 0f 16 \n");
    EXPECT_EQ(r.err, "");
}

// A handler's result reaches the script: every command completes, so the
// output is all there, but one that failed makes the exit status 6; the
// JSON result carries the number. An unknown command is 127.
TEST_F(ServerScript, AFailedCommandMakesTheExitStatusSix) {
    SpawnOptions quiet;
    quiet.pipe_stdout = false;
    quiet.pipe_stderr = false;
    Process host({RESULT_HOST_PATH, "5", "res"}, quiet);
    struct Case {
        std::vector<std::string> commands;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"result 0"}, 0, "result 0\n"},
        {{"result 3", "result 0"}, 6, "result 3\nresult 0\n"},
        {{"result -1"}, 6, "result -1\n"},
        {{"nosuch"}, 6, "Unknown command: nosuch\nTry `help`.\n"},
        {{"help"}, 0, ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"--agent", "res", "--wait", "10"};
        for (const std::string &line : c.commands)
            args.insert(args.end(), {"-c", line});
        auto r = run_server(args);
        EXPECT_EQ(r.status, c.status) << c.commands[0] << ": " << r.err;
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out) << c.commands[0];
        }
        EXPECT_EQ(r.err, "") << c.commands[0];
    }
    const std::pair<std::string, std::string> json[] = {
        {"result 3", R"("status":"done","result":3,)"},
        {"nosuch", R"("status":"done","result":127,)"},
        {"result 0", R"("status":"done","result":0,)"},
    };
    for (const auto &[line, field] : json) {
        auto r = run_server({"--agent", "res", "--wait", "10", "--json", "-c", line});
        EXPECT_EQ(r.status, line == "result 0" ? 0 : 6) << line << ": " << r.err;
        EXPECT_NE(r.out.find(field), std::string::npos) << r.out;
    }
}

// A prompt answered empty because standard input ended is a failure too.
TEST_F(ServerScript, APromptLeftWithoutAReplyMakesTheExitStatusSix) {
    auto host = start_host();
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", "wipe"});
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_EQ(r.out, "Wipe the device buffer? Type yes to confirm: \nNot wiped.\n");
    EXPECT_NE(r.err.find("answering the prompt with an empty line"), std::string::npos) << r.err;
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
    EXPECT_EQ(r.err,
              "cli-server: agent ghost did not connect within 1 s" + standalone_note() + "\n");
    EXPECT_LT(took, 5s);
}

// --client never takes the port: without a resident server it ends at
// once, naming where it looked; with one it is an ordinary client.
TEST_F(ServerScript, ClientOnlyNeverHoldsThePort) {
    if (through_daemon()) {
        auto host = start_host();
        auto r = run_server({"--client", "--agent", "demo", "--wait", "10", "-c", "echo hi"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "hi\n");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    auto r = run_server({"--client", "--agent", "demo", "-c", "echo hi"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("cli-server: no resident server answers on ") +
                         std::getenv("CLI_SERVER_SOCKET") + " (--client)\n");
    clitest::TestServer after; // the port was never taken
    EXPECT_TRUE(after.listening());
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

// --timeout: a command still running when its time is up is abandoned (its
// late output dropped), the script goes on with the next line, which
// queues behind it, and the exit status says a command did not complete.
TEST_F(ServerScript, ACommandOverItsTimeoutIsAbandonedAndTheScriptGoesOn) {
    auto host = start_host();
    const auto start = std::chrono::steady_clock::now();
    auto r = run_server({"--agent", "demo", "--wait", "10", "--timeout", "1", "-c",
                         "ticks -n 15 -i 100", "-c", "echo after"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("tick 1/15\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("tick 15/15"), std::string::npos) << r.out;
    ASSERT_GE(r.out.size(), 6u);
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "after\n") << r.out;
    EXPECT_EQ(r.err, "cli-server: the command did not end within 1 s (--timeout)\n");
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
        // A set is chosen on the command line; a script's line cannot attach to one.
        {{"-c", "attach db-*"}, 1, "", "attach PATTERN is for the console", 1},
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

// Output that cannot be written is an error, whatever the mode: one line on
// standard error and exit status 5, not 0 with nothing written. One row a
// way of writing: a command's output and ls to one agent, a fan-out's
// labelled lines and its JSON results.
struct UnwritableOutput {
    const char *mode;
    std::vector<std::string> args;
};

// Named by its mode in the test list, not by its bytes.
void PrintTo(const UnwritableOutput &row, std::ostream *os) {
    *os << row.mode;
}

class StandardOutputFull : public ServerTest,
                           public ::testing::WithParamInterface<UnwritableOutput> {};

TEST_P(StandardOutputFull, ExitsFive) {
    auto host = start_host();
    auto r = run_server_into_full_disk(GetParam().args);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, kStdoutFullError);
}

INSTANTIATE_TEST_SUITE_P(
    EveryMode, StandardOutputFull,
    ::testing::Values(
        UnwritableOutput{"command", {"--agent", "demo", "--wait", "10", "-c", "echo hi"}},
        UnwritableOutput{"ls", {"--agent", "demo", "--wait", "10", "-c", "ls"}},
        UnwritableOutput{"fanout", {"--all", "--wait", "10", "--gather", "1", "-c", "echo hi"}},
        UnwritableOutput{"json",
                         {"--all", "--wait", "10", "--json", "--gather", "1", "-c", "echo hi"}}),
    [](const ::testing::TestParamInfo<UnwritableOutput> &row) { return row.param.mode; });

// Standard output shared with other writers (a pipe a shell hands to a
// whole pipeline) keeps its flags: it is never made non-blocking under them.
TEST_F(ServerScript, LeavesTheFlagsOfASharedStandardOutputAlone) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const int before = fcntl(p[1], F_GETFL);
    SpawnOptions o;
    o.pipe_stdin = true;
    o.stdout_fd = p[1];
    Process server(server_argv({"--wait", "10"}), o);
    server.write_in("ls\n");
    std::string out;
    ASSERT_TRUE(read_until(p[0], "no agents connected\n", &out));
    EXPECT_EQ(fcntl(p[1], F_GETFL), before) << "while it runs";
    server.close_in();
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(fcntl(p[1], F_GETFL), before) << "after it ran";
    close(p[0]);
    close(p[1]);
}
