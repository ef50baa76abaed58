// An operator's session on a pseudo-terminal: completion, a command, a
// prompt, Ctrl-C during a long command, and history kept across sessions.
#include "server_fixture.h"
#include "temp_dir.h"
#include "terminal_session.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace clitest;

namespace {

using Session = TerminalSession;

} // namespace

class ServerInteractive : public ServerTest {};

TEST_F(ServerInteractive, ClientSession) {
    TempDir tmp; // a private HOME: no history file of the user's is touched
    const std::string &home = tmp.path();
    ASSERT_FALSE(home.empty());
    auto host = start_host();
    Session s(home);
    s.expect("demo (id 7) connected");
    s.expect("cli> ");

    // Tab completes the server command, then the agent name.
    s.type("att\t");
    s.expect("attach ");
    s.type("de\t\r");
    s.expect("attached to demo (id 7)");
    s.expect("demo> ");

    // The agent's own commands complete too, learned from its help.
    s.type("ec\t");
    s.expect("echo ");
    s.type("hello   world\r");
    EXPECT_NE(s.expect("demo> ").find("hello world\n"), std::string::npos);

    // A prompt from the agent takes the next line as the reply; it is
    // marked as the agent's, so it cannot pass for the console's own.
    s.type("wipe\r");
    s.expect("[demo] Wipe the device buffer? Type yes to confirm: ");
    s.type("no\r");
    EXPECT_NE(s.expect("demo> ").find("Not wiped."), std::string::npos);

    // Ctrl-C gives the prompt back at once; the rest of the long command's
    // output is dropped and the next command shows only its own.
    s.type("ticks -n 40 -i 50\r");
    s.expect("tick 2/40");
    s.type("\x03");
    s.expect("stopped waiting");
    s.expect("demo> ");
    s.type("echo after\r");
    s.expect("echo after\n"); // the typed line
    std::string shown = s.expect("demo> ");
    EXPECT_NE(shown.find("after\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("tick"), std::string::npos) << shown;

    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);

    // Command lines are kept for the next session; prompt replies are not.
    std::ifstream history(home + "/.cli_server_history");
    std::vector<std::string> lines;
    for (std::string line; std::getline(history, line);)
        lines.push_back(line);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "wipe"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "no"), lines.end());
}

// The console reads the same whether the agent came before it or after.
TEST_F(ServerInteractive, AnAgentThereBeforeTheConsoleIsAnnouncedAlike) {
    if (!through_daemon())
        GTEST_SKIP() << "a standalone console opens the agents' port: no agent is there before it";
    TempDir tmp; // a private HOME: no history file of the user's is touched
    auto host = start_host();
    // Once this script has run a command on it, the agent is the daemon's.
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", "echo ready"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, "ready\n");
    Session s(tmp.path());
    EXPECT_NE(s.expect("demo (id 7) connected").find("type help for the commands"),
              std::string::npos);
    EXPECT_EQ(s.expect("cli> "), "\ncli> ");
    s.type("attach demo\r");
    s.expect("attached to demo (id 7)");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
}

TEST_F(ServerInteractive, ColourOnlyWithoutNoColor) {
    TempDir tmp; // a private HOME: no history file of the user's is touched
    const std::string &home = tmp.path();
    {
        Session s(home);
        s.expect("cli> ");
        EXPECT_NE(s.raw().find("\x1b[1m"), std::string::npos);
        s.type("quit\r");
        EXPECT_EQ(s.proc().wait(), 0);
    }
    {
        Session s(home, {"NO_COLOR=1"});
        s.expect("cli> ");
        EXPECT_EQ(s.raw().find("\x1b[1m"), std::string::npos);
        s.type("\x04"); // end of input leaves like quit
        EXPECT_EQ(s.proc().wait(), 0);
    }
}

// A command that failed says so after its output, in one dim line; one
// that succeeded shows its output alone.
TEST_F(ServerInteractive, AFailedCommandsResultFollowsItsOutput) {
    TempDir tmp; // a private HOME: no history file of the user's is touched
    auto host = start_host();
    Session s(tmp.path(), {}, {"--agent", "demo"});
    s.expect("attached to demo (id 7)");
    s.expect("demo> ");
    s.type("nosuch\r");
    std::string shown = s.expect("demo> ");
    EXPECT_NE(shown.find("Try `help`.\nresult 127\n"), std::string::npos) << shown;
    EXPECT_NE(s.raw().find("\x1b[2mresult 127\x1b[0m"), std::string::npos) << "dim";
    s.type("echo fine\r");
    shown = s.expect("demo> ");
    EXPECT_NE(shown.find("fine\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("result"), std::string::npos) << shown;
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
}

TEST_F(ServerInteractive, AttachToAPatternSendsEachLineToTheSet) {
    TempDir tmp; // a private HOME: no history file of the user's is touched
    auto db1 = start_host("1", "db-1");
    auto db2 = start_host("2", "db-2");
    auto web = start_host("3", "web");
    Session s(tmp.path(), {"NO_COLOR=1"});
    // Connections arrive in any order, before the console or after it (a
    // resident server may have them already); each is announced, and the
    // prompt follows the last.
    for (int i = 0; i < 3; ++i)
        s.expect(") connected");
    s.expect("cli> ");
    s.type("attach db-*\r");
    s.expect("attached to the agents matching 'db-*' (now 2: ");
    s.expect("db-*> ");

    s.type("echo hi there\r");
    s.expect("echo hi there\n"); // the typed line
    std::string shown = s.expect("db-*> ");
    EXPECT_NE(shown.find("db-1: hi there\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("db-2: hi there\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("web"), std::string::npos) << shown;

    // Nobody can answer a prompt for the whole set: each is refused.
    s.type("wipe\r");
    shown = s.expect("db-*> ");
    EXPECT_NE(shown.find("db-1: Not wiped."), std::string::npos) << shown;
    EXPECT_NE(shown.find("db-2: Not wiped."), std::string::npos) << shown;
    EXPECT_NE(shown.find("answered empty"), std::string::npos) << shown;

    s.type("ticks -n 40 -i 50\r");
    s.expect(": tick 2/40");
    s.type("\x03");
    s.expect("stopped waiting");
    s.expect("db-*> ");

    s.type("attach\r");
    s.expect("detached from the agents matching 'db-*'");
    s.expect("cli> ");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
}

// An agent's prompt and output reach the operator's terminal with their
// control characters shown, every line of the prompt included: nothing it
// sends can set the window title or clear the screen.
TEST_F(ServerInteractive, AnAgentCannotDriveTheTerminal) {
    TempDir tmp; // a private HOME: no history file of the user's is touched
    ASSERT_FALSE(tmp.path().empty());
    Session s(tmp.path());
    s.expect("cli> ");
    Conn evil = greeted_agent("evil", 3);
    ASSERT_TRUE(evil.valid());
    s.expect("evil (id 3) connected");
    s.type("attach evil\r");
    auto help = evil.read_frame();
    ASSERT_TRUE(help && help->type == CLI_FRAME_COMMAND);
    ASSERT_TRUE(evil.send_frame(CLI_FRAME_OUTPUT, help->req_id,
                                "Commands:\n  go    do it\n  \x1b[2Jgone  never offered\n", 3));
    ASSERT_TRUE(evil.send_frame(CLI_FRAME_DONE, help->req_id, "", 3));
    s.expect("evil> ");
    s.type("\t\t"); // lists what completes: the word with ESC in it is not among them
    s.expect("quit");
    s.type("\x15go\r"); // Ctrl-U: the line starts over
    auto cmd = evil.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    EXPECT_EQ(cmd->payload, "go");
    ASSERT_TRUE(evil.send_frame(CLI_FRAME_OUTPUT, cmd->req_id,
                                "out\x1b[2Jput\r\xc2\x9b"
                                "1m\n",
                                3));
    ASSERT_TRUE(evil.send_frame(CLI_FRAME_PROMPT, cmd->req_id,
                                "\x1b]0;pwned\x07"
                                "first\n\x1b[2Jsecond\nask\x1b[8m: ",
                                3));
    s.expect("ask\\x1b[8m: ");
    s.type("yes\r");
    auto in = evil.read_frame();
    ASSERT_TRUE(in && in->type == CLI_FRAME_INPUT);
    EXPECT_EQ(in->payload, "yes");
    ASSERT_TRUE(evil.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 3));
    s.expect("evil> ");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
    const std::string &raw = s.raw();
    EXPECT_EQ(raw.find("\x1b]0;"), std::string::npos);
    EXPECT_EQ(raw.find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(raw.find("\x1b[8m"), std::string::npos);
    EXPECT_EQ(raw.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(raw.find("out\\x1b[2Jput\\x0d\\xc2\\x9b1m"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\\x1b]0;pwned\\x07first"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\\x1b[2Jsecond"), std::string::npos) << raw;
}
