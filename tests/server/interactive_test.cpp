// An operator's session on a pseudo-terminal: completion, a command, a
// prompt, Ctrl-C during a long command, and history kept across sessions.
#include "server_fixture.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace servertest;

namespace {

class Session {
  public:
    explicit Session(const std::string &home, std::vector<std::string> extra_env = {}) {
        SpawnOptions o;
        o.pty = true;
        o.env = {"HOME=" + home, "TERM=xterm"};
        o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
        proc_ = std::make_unique<Process>(server_argv({}), o);
    }

    void type(const std::string &keys) { ASSERT_TRUE(proc_->write_in(keys)); }

    // Waits until `needle` shows on the screen (colours and cursor motion
    // removed) after what earlier calls consumed; returns the text up to it.
    std::string expect(const std::string &needle) {
        auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (;;) {
            std::string text = strip_terminal(raw_);
            size_t at = text.find(needle, seen_);
            if (at != std::string::npos) {
                std::string upto = text.substr(seen_, at + needle.size() - seen_);
                seen_ = at + needle.size();
                return upto;
            }
            if (!read_some(deadline)) {
                ADD_FAILURE() << "waiting for '" << needle << "'; screen so far:\n"
                              << text.substr(seen_);
                return {};
            }
        }
    }

    Process &proc() { return *proc_; }
    const std::string &raw() const { return raw_; }

  private:
    bool read_some(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        pollfd p{proc_->out(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        ssize_t r = read(proc_->out(), chunk, sizeof chunk);
        if (r <= 0) return false;
        raw_.append(chunk, static_cast<size_t>(r));
        return true;
    }

    std::unique_ptr<Process> proc_;
    std::string raw_;
    size_t seen_ = 0;
};

// A private HOME, so the history file of a test never touches the user's.
struct TempHome {
    TempHome() {
        char templ[] = "/tmp/cli_server_home_XXXXXX";
        const char *dir = mkdtemp(templ);
        path = dir ? dir : "";
    }
    ~TempHome() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
};

} // namespace

class ServerInteractive : public ServerTest {};

TEST_F(ServerInteractive, OperatorSession) {
    TempHome tmp;
    const std::string &home = tmp.path;
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

    // A prompt from the agent takes the next line as the reply.
    s.type("wipe\r");
    s.expect("Type yes to confirm: ");
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
    TempHome tmp;
    auto host = start_host();
    // Once this script has run a command on it, the agent is the daemon's.
    auto r = run_server({"--agent", "demo", "--wait", "10", "-c", "echo ready"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, "ready\n");
    Session s(tmp.path);
    EXPECT_NE(s.expect("demo (id 7) connected").find("type help for the commands"),
              std::string::npos);
    EXPECT_EQ(s.expect("cli> "), "\ncli> ");
    s.type("attach demo\r");
    s.expect("attached to demo (id 7)");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
}

TEST_F(ServerInteractive, ColourOnlyWithoutNoColor) {
    TempHome tmp;
    const std::string &home = tmp.path;
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
