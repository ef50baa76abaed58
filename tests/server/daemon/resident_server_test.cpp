// The resident server end to end: several clients sharing its agents, and
// its life from start to SIGTERM.
#include "daemon_clients.h"
#include "terminal_session.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

namespace {

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

// Client 1 holds alpha at a prompt; client 2's command on beta is not held
// up by it; client 3 and a raw client queue on alpha in arrival order and
// run once client 1 answers. Each sees exactly its own output.
TEST(ResidentServer, ClientsShareAgentsAndEachSeesOnlyItsOwnOutput) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    auto beta = start_connected_host(d, "2", "beta");
    ASSERT_TRUE(beta) << d.journal();

    auto c1 = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
    std::string out1;
    ASSERT_TRUE(read_until(c1->out(), kWipePrompt, &out1));

    auto r2 = run_client(d, {"--agent", "beta", "--wait", "5", "-c", "echo from-two"});
    EXPECT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(r2.out, "from-two\n");
    EXPECT_EQ(r2.err, "");

    RawClient watcher;
    ASSERT_TRUE(watcher.connect(d.socket()));
    ASSERT_TRUE(watcher.greet());
    auto c3 = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo from-three"});
    ASSERT_TRUE(watcher.wait_row("alpha", [](const RawRow &r) { return r.queued == 1; }));

    // A raw client's command queues behind both; QUEUED is what an
    // interactive client turns into its busy notice.
    RawClient raw;
    ASSERT_TRUE(raw.connect(d.socket()));
    ASSERT_TRUE(raw.greet());
    ASSERT_NE(raw.serial_of("alpha"), 0u);
    ASSERT_TRUE(raw.send(wire::submit(41, raw.serial_of("alpha"), "echo from-raw")));
    auto queued = raw.read_type(wire::kQueued);
    ASSERT_TRUE(queued);
    ASSERT_EQ(queued->payload.size(), 12u);
    EXPECT_EQ(wire::read_be(queued->payload, 0, 8), 41u);
    EXPECT_EQ(wire::read_be(queued->payload, 8, 4), 2u); // client 1's and client 3's

    // ls through the daemon names the client whose command runs.
    auto rows = watcher.list();
    ASSERT_TRUE(rows);
    bool seen = false;
    for (const RawRow &r : *rows) {
        if (r.name != "alpha") continue;
        seen = true;
        EXPECT_TRUE(r.busy);
        EXPECT_EQ(r.queued, 2u);
        EXPECT_EQ(r.runner_uid, static_cast<int64_t>(getuid()));
        EXPECT_EQ(r.runner_pid, c1->pid());
    }
    EXPECT_TRUE(seen);
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_NE(ls.out.find("busy (root pid " + std::to_string(c1->pid()) + ")"), std::string::npos)
        << ls.out;

    // Client 3 waits: nothing of its command has run yet.
    pollfd p{c3->out(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);

    ASSERT_TRUE(c1->write_in("yes\n"));
    c1->close_in();
    auto rest1 = read_all(c1->out());
    ASSERT_TRUE(rest1);
    EXPECT_EQ(out1 + *rest1, kWipePrompt + "\nWiped 256 bytes.\n");
    EXPECT_EQ(c1->wait(), 0);

    c3->close_in();
    EXPECT_EQ(read_all(c3->out()), "from-three\n");
    EXPECT_EQ(read_all(c3->err()), "");
    EXPECT_EQ(c3->wait(), 0);

    std::vector<Msg> before;
    auto done = raw.read_type(wire::kDone, kTimeout, &before);
    ASSERT_TRUE(done);
    EXPECT_EQ(wire::read_be(done->payload, 0, 8), 41u);
    std::string raw_out;
    bool sent = false;
    for (const Msg &m : before) {
        if (m.type == wire::kSent) sent = wire::read_be(m.payload, 0, 8) == 41u;
        if (m.type == wire::kOutput) {
            EXPECT_EQ(wire::read_be(m.payload, 0, 8), 41u);
            raw_out += m.payload.substr(8);
        }
        EXPECT_NE(m.type, wire::kPrompt);
    }
    EXPECT_TRUE(sent);
    EXPECT_EQ(raw_out, "from-raw\n");
}

// At a terminal, a command that has to wait for another client's says so,
// counting only the commands really ahead of it.
// A client of protocol version 1 (a console started before an upgrade of
// the package) is served exactly as before: its DONE is the request alone.
// A client of version 2 has the agent's result after it.
TEST(ResidentServer, ServesClientsOfTheOldProtocolVersionAsBefore) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const struct {
        uint16_t version;
        const char *line;
        std::string done_after_request;
    } cases[] = {
        {1, "nosuch", ""},
        {1, "echo x", ""},
        {2, "nosuch", std::string("\0\0\0\x7f", 4)},
        {2, "echo x", std::string("\0\0\0\0", 4)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + ": " + c.line);
        RawClient raw;
        ASSERT_TRUE(raw.connect(d.socket()));
        ASSERT_TRUE(raw.greet(c.version));
        ASSERT_TRUE(raw.send(wire::submit(5, raw.serial_of("alpha"), c.line)));
        auto done = raw.read_type(wire::kDone);
        ASSERT_TRUE(done);
        EXPECT_EQ(done->payload, wire::be(5, 8) + c.done_after_request);
    }
}

TEST(ResidentServer, AnInteractiveClientIsToldWhenItsAgentIsBusy) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    TempDir &dir = resident.dir;
    auto c1 = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
    std::string out1;
    ASSERT_TRUE(read_until(c1->out(), kWipePrompt, &out1));

    TerminalSession s(dir.path(), {}, {"--socket", d.socket(), "--agent", "alpha"});
    s.expect("attached to alpha (id 1)");
    s.expect("alpha> ");
    s.type("echo from-terminal\r");
    s.expect("alpha is busy: 1 command ahead (Ctrl-C cancels yours)");

    ASSERT_TRUE(c1->write_in("yes\n"));
    c1->close_in();
    EXPECT_EQ(c1->wait(), 0);
    s.expect("from-terminal");
    s.expect("alpha> ");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
}

// systemctl restart: the console says so, connects again and, once its
// agent is back on the new daemon, is attached to it again.
TEST(ResidentServer, AConsoleSurvivesARestartOfTheResidentServer) {
    TempDir dir;
    auto d = std::make_unique<Daemon>(dir.path());
    ASSERT_TRUE(d->ready());
    const std::string socket = d->socket();
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d->journal_until("alpha (id 1) connected"));
    TerminalSession s(dir.path(), {}, {"--socket", socket, "--agent", "alpha"});
    s.expect("attached to alpha (id 1)");
    s.expect("alpha> ");
    EXPECT_EQ(d->stop(), 0);
    s.expect("lost the resident server at " + socket);
    d = std::make_unique<Daemon>(dir.path());
    ASSERT_TRUE(d->ready()) << d->error();
    s.expect("reconnected to the resident server at " + socket);
    // Attached again (while reconnecting, or when alpha is back, whichever
    // comes last): the prompt names the agent again, not "(alpha)".
    s.expect("alpha> ");
    s.type("echo again\r");
    s.expect("again\n");
    s.expect("alpha> ");
    s.type("quit\r");
    EXPECT_EQ(s.proc().wait(), 0);
    size_t attached = 0;
    for (size_t at = 0; (at = s.raw().find("attached to alpha (id 1)", at)) != std::string::npos;
         ++at)
        ++attached;
    EXPECT_EQ(attached, 2u) << s.raw();
}

// A second daemon on the socket of a live one gives up; the live one goes on.
TEST(ResidentServer, ASecondDaemonOnTheSameSocketExitsOne) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    SpawnOptions o;
    Process second(server_argv({"--daemon", "--socket", d.socket()}), o);
    auto err = read_all(second.err());
    EXPECT_EQ(second.wait(), 1);
    ASSERT_TRUE(err);
    EXPECT_EQ(*err,
              "<3>cli-server: another cli-server is already listening on " + d.socket() + "\n");
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(ls.out, "no agents connected\n");
}

// A daemon that cannot take the agents' port says so as an error, so that
// `journalctl -p err` shows why the service did not start.
TEST(ResidentServer, ADaemonWithoutTheAgentsPortJournalsAnError) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    TempDir other;
    SpawnOptions o;
    Process second(server_argv({"--daemon", "--socket", other.path() + "/sock"}), o);
    auto err = read_all(second.err());
    EXPECT_EQ(second.wait(), 1);
    ASSERT_TRUE(err);
    EXPECT_EQ(*err, "<3>cli-server: cannot listen on 127.0.0.1:7002: the port is already in use "
                    "(is another cli-server running?)\n");
}

// SIGTERM: STOPPING=1, a goodbye to every agent, a message to every client,
// the socket file removed and exit status 0.
TEST(ResidentServer, SigtermSaysGoodbyeToAgentsAndClientsAndRemovesTheSocket) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    ASSERT_TRUE(exists(d.socket()));
    Conn fake = greeted_agent("fake", 5);
    ASSERT_FALSE(::testing::Test::HasFailure());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));

    auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
    std::string out;
    ASSERT_TRUE(read_until(c->out(), kWipePrompt, &out));

    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_TRUE(d.notify().wait_for("STOPPING=1"));
    EXPECT_FALSE(exists(d.socket()));
    EXPECT_NE(d.journal().find("<6>cli-server: stopping on Terminated\n"), std::string::npos)
        << d.journal();
    auto bye = fake.read_frame();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    EXPECT_TRUE(fake.wait_closed());

    auto err = read_all(c->err());
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("the resident server is shutting down"), std::string::npos) << *err;
    const auto status = c->wait();
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);

    // The example host was told too: it is back at once with the next server.
    Daemon next(dir.path());
    ASSERT_TRUE(next.ready());
    EXPECT_TRUE(next.journal_until("alpha (id 1) connected", 5000ms)) << next.journal();
}
