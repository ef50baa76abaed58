// An agent is its name and its owner: another user's agent that copies a
// name or an id, or names itself like a number, never receives the
// operator's commands or prompt replies unless the operator names its owner
// (NAME@USER, PATTERN@USER) or its process (pid:N). The other user is
// `nobody`: its raw agents' sockets are made under its uid, its example host
// runs as it. Standalone and through a resident server alike.
#include "server_fixture.h"
#include "temp_dir.h"
#include "terminal_session.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

using namespace clitest;

namespace {

constexpr uid_t kNobody = 65534;

#define SKIP_UNLESS_ROOT()                                                                         \
    do {                                                                                           \
        if (geteuid() != 0) GTEST_SKIP() << "agents of another user need root to make";            \
    } while (0)

// Answers the one command it expects with `output`; "" when none came.
std::string serve_one(Conn &agent, const std::string &output) {
    auto cmd = agent.read_frame();
    if (!cmd || cmd->type != CLI_FRAME_COMMAND) return "";
    if (!output.empty()) {
        EXPECT_TRUE(agent.send_frame(CLI_FRAME_OUTPUT, cmd->req_id, output, 0));
    }
    EXPECT_TRUE(agent.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 0));
    return cmd->payload;
}

// What reached an agent that must have been left alone: every command line
// already in its socket (called once the operator is done).
std::vector<std::string> commands_received(Conn &agent) {
    std::vector<std::string> lines;
    while (auto f = agent.read_frame(200ms))
        if (f->type == CLI_FRAME_COMMAND) lines.push_back(f->payload);
    return lines;
}

// Polls until the server under test listens (nothing else to wait on), then
// greets as name/id under uid.
Conn greeted_when_listening(const std::string &name, uint32_t id, uid_t uid) {
    if (!connect_agent_when_listening().valid()) return Conn();
    return greeted_agent(name, id, uid);
}

// cli-server in scripting mode, its script fed through a pipe.
std::unique_ptr<Process> start_script(std::vector<std::string> args) {
    SpawnOptions o;
    o.pipe_stdin = true;
    return std::make_unique<Process>(server_argv(std::move(args)), o);
}

// Lists the agents until a listing shows `needle` (a script prints no
// notice of agents coming and going, only ls shows them).
bool ls_until(Process &server, const std::string &needle) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    std::string out;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!server.write_in("ls\n")) return false;
        if (read_until(server.out(), needle, &out, 300ms)) return true;
    }
    return false;
}

size_t count_lines(const std::string &s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

} // namespace

class ServerIdentity : public ServerTest {};

// nobody's agent named "1" does not shadow the agent whose id is 1.
TEST_F(ServerIdentity, AnAllDigitWordIsTheIdNeverAName) {
    SKIP_UNLESS_ROOT();
    auto server = start_scripted_server();
    Conn root = greeted_agent("demo", 1);
    Conn stranger = greeted_agent("1", 9, kNobody);
    ASSERT_TRUE(ls_until(*server, " nobody ")); // this client knows both
    server->write_in("attach 1\nwipe\n");
    EXPECT_EQ(serve_one(root, "Wiped.\n"), "wipe");
    server->close_in();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_TRUE(commands_received(stranger).empty());
}

// While root's demo is down, nobody's demo is not taken for it: the wait
// ends as for an absent agent, and the operator reads how to reach the copy.
TEST_F(ServerIdentity, APlainNameDoesNotReachAnotherOwnersCopy) {
    SKIP_UNLESS_ROOT();
    auto server = start_script({"--agent", "demo", "--wait", "2"});
    Conn copy = greeted_when_listening("demo", 1, kNobody);
    server->write_in("wipe\nyes\n");
    server->close_in();
    auto err = read_all(server->err());
    EXPECT_EQ(server->wait(), 2);
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("only another user's agent matches 'demo': demo (id 1, user nobody"),
              std::string::npos)
        << *err;
    EXPECT_NE(err->find("--agent demo@nobody reaches it"), std::string::npos) << *err;
    EXPECT_TRUE(commands_received(copy).empty());
}

// A pattern with --answer runs on root's db-1 only; nobody's db-9 gets
// neither the command nor the answer, has no JSON object, and is summed up
// in one line on standard error without changing the exit status.
TEST_F(ServerIdentity, AFanOutLeavesOtherOwnersAgentsOutInOneLine) {
    SKIP_UNLESS_ROOT();
    SpawnOptions o;
    o.pipe_stdin = true;
    std::vector<std::string> args{"--agent", "db-*", "--answer", "yes", "--json", "--wait", "10"};
    Conn mine, theirs;
    if (daemon()) { // both there before the client, which selects among them at once
        mine = greeted_agent("db-1", 1, 0);
        theirs = greeted_agent("db-9", 9, kNobody);
        args.insert(args.end(), {"-c", "wipe"});
    }
    Process server(server_argv(args), o);
    if (!daemon()) { // standalone: they come while it gathers, before its script ends
        mine = greeted_when_listening("db-1", 1, 0);
        theirs = greeted_when_listening("db-9", 9, kNobody);
        server.write_in("wipe\n");
    }
    ASSERT_TRUE(mine.valid() && theirs.valid());
    server.close_in();
    EXPECT_EQ(serve_one(mine, "Wiped.\n"), "wipe");
    auto out = read_all(server.out());
    auto err = read_all(server.err());
    EXPECT_EQ(server.wait(), 0);
    ASSERT_TRUE(out && err);
    EXPECT_EQ(count_lines(*out), 1u) << *out;
    EXPECT_EQ(out->find("db-9"), std::string::npos) << *out;
    EXPECT_EQ(count_lines(*err), 1u) << *err;
    EXPECT_NE(err->find("left out 1 agent of user nobody"), std::string::npos) << *err;
    EXPECT_NE(err->find("--agent 'db-*@nobody' includes"), std::string::npos) << *err;
    EXPECT_TRUE(commands_received(theirs).empty());
}

// nobody's copy of root's demo, name and id alike: demo@root and demo@nobody
// each reach exactly one, a plain demo root's; ls marks the shared name.
TEST_F(ServerIdentity, OwnerSelectorsTellACopyOfNameAndIdApart) {
    SKIP_UNLESS_ROOT();
    auto server = start_scripted_server();
    Conn root = greeted_agent("demo", 1);
    Conn copy = greeted_agent("demo", 1, kNobody);
    ASSERT_TRUE(ls_until(*server, " nobody "));
    server->write_in("attach demo@root\necho a\n");
    EXPECT_EQ(serve_one(root, "a\n"), "echo a");
    server->write_in("attach demo@nobody\necho b\n");
    EXPECT_EQ(serve_one(copy, "b\n"), "echo b");
    server->write_in("attach demo\necho c\n");
    EXPECT_EQ(serve_one(root, "c\n"), "echo c");
    server->write_in("attach 1@65534\necho d\nls\n");
    EXPECT_EQ(serve_one(copy, "d\n"), "echo d");
    server->close_in();
    auto out = read_all(server->out());
    EXPECT_EQ(server->wait(), 0);
    ASSERT_TRUE(out);
    const size_t echoed = out->find("a\nb\nc\nd\n");
    ASSERT_NE(echoed, std::string::npos) << *out;
    // ls_until asks again when a listing is slow: only the last ls counts.
    size_t marks = 0;
    for (size_t at = echoed;
         (at = out->find("(name shared by other users' agents)", at)) != std::string::npos; ++at)
        ++marks;
    EXPECT_EQ(marks, 2u) << *out;
}

// pid:N reaches the agent in that process, whoever owns it; the connect
// notice names an owner that is neither root nor the operator.
TEST_F(ServerIdentity, PidSelectsTheAgentsProcessAndNoticesNameItsOwner) {
    SKIP_UNLESS_ROOT();
    auto server = start_scripted_server();
    SpawnOptions as_nobody;
    as_nobody.uid = kNobody;
    as_nobody.gid = kNobody;
    auto host = start_host("1", "demo", as_nobody);
    ASSERT_TRUE(ls_until(*server, " nobody "));
    server->write_in("attach pid:" + std::to_string(host->pid()) + "\necho hi\n");
    server->close_in();
    auto out = read_all(server->out());
    EXPECT_EQ(server->wait(), 0);
    ASSERT_TRUE(out);
    EXPECT_NE(out->find("hi\n"), std::string::npos) << *out;
    if (!daemon()) return; // standalone, the host is between two servers now
    // A fan-out by pid: the resident server names the processes first.
    auto json = run_server({"--agent", "pid:" + std::to_string(host->pid()), "--json", "--wait",
                            "5", "-c", "echo there"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"pid\":" + std::to_string(host->pid())), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("there"), std::string::npos) << json.out;
}

// Zero-width and bidi characters are escapes in ls, and a name that looks
// like another owner's is marked on both rows.
TEST_F(ServerIdentity, LookAlikeNamesAreEscapedAndMarked) {
    SKIP_UNLESS_ROOT();
    auto server = start_scripted_server();
    Conn root = greeted_agent("demo", 1);
    Conn zw = greeted_agent("de\u200bmo", 2, kNobody);
    Conn rlo = greeted_agent("\u202eDemo ", 3, kNobody);
    server->write_in("ls\n");
    server->close_in();
    auto out = read_all(server->out());
    EXPECT_EQ(server->wait(), 0);
    ASSERT_TRUE(out);
    EXPECT_NE(out->find(" de\\u200bmo "), std::string::npos) << *out;
    EXPECT_NE(out->find(" \\u202eDemo "), std::string::npos) << *out;
    EXPECT_EQ(out->find("\u202e"), std::string::npos) << *out;
    EXPECT_EQ(out->find("\u200b"), std::string::npos) << *out;
    size_t marks = 0;
    for (size_t at = 0;
         (at = out->find("(name shared by other users' agents)", at)) != std::string::npos; ++at)
        ++marks;
    EXPECT_EQ(marks, 3u) << *out;
}

// A script attached to root's demo, which restarts: nobody's agent saying
// HELLO as demo with id 1 in between is not attached (one line names both
// users); the waiting line goes to root's demo when it is back.
TEST_F(ServerIdentity, AScriptsWaitDoesNotReattachToAnotherOwnersAgent) {
    SKIP_UNLESS_ROOT();
    auto server = start_script({"--agent", "demo", "--wait", "10"});
    std::optional<Conn> root(greeted_when_listening("demo", 1, 0));
    server->write_in("echo a\n");
    EXPECT_EQ(serve_one(*root, "a\n"), "echo a");
    root.reset();
    ASSERT_TRUE(ls_until(*server, "no agents connected\n"));
    std::string err;
    Conn impostor = greeted_agent("demo", 1, kNobody);
    ASSERT_TRUE(read_until(server->err(), "not attaching to demo (id 1, user nobody", &err)) << err;
    ASSERT_TRUE(read_until(server->err(), "demo was root's agent, this one is nobody's\n", &err))
        << err;
    server->write_in("echo b\n");
    Conn back = greeted_agent("demo", 1);
    EXPECT_EQ(serve_one(back, "b\n"), "echo b");
    server->close_in();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_TRUE(commands_received(impostor).empty());
}

// The same for the console, on a terminal: it says so and stays detached.
TEST_F(ServerIdentity, AConsoleDoesNotReattachToAnotherOwnersAgent) {
    SKIP_UNLESS_ROOT();
    clitest::TempDir home("cli_server_home");
    TerminalSession s(home.path(), {"NO_COLOR=1"}, {"--agent", "demo"});
    s.expect("(demo)> ");
    std::optional<Conn> root(greeted_agent("demo", 1));
    s.expect("attached to demo (id 1)");
    EXPECT_EQ(serve_one(*root, ""), "help"); // the console learns its commands
    s.expect("demo> ");
    root.reset();
    s.expect("will attach again when demo reconnects");
    Conn impostor = greeted_agent("demo", 1, kNobody);
    s.expect("not attaching to demo (id 1, user nobody");
    s.expect("demo was root's agent, this one is nobody's");
    s.type("wipe\r");
    s.expect("the line was not sent");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
    EXPECT_TRUE(commands_received(impostor).empty());
}
