// Faults around the resident server: clients that die, stop reading or
// speak garbage, and the daemon itself killed under its clients.
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"

#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

using namespace clitest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

} // namespace

// The agent waits at the prompt of a client that is SIGKILLed: the daemon
// answers it empty, so the handler finishes ("Not wiped": the buffer is
// intact) and the next client's command runs.
TEST(ResidentServerFaults, AKilledClientsPromptIsAnsweredAndTheQueueMovesOn) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;

    auto c1 = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
    std::string out;
    ASSERT_TRUE(read_until(c1->out(), kWipePrompt, &out));
    RawClient watcher;
    ASSERT_TRUE(watcher.connect(d.socket()));
    ASSERT_TRUE(watcher.greet());
    auto c2 = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "dump -n 4"});
    ASSERT_TRUE(watcher.wait_row("alpha", [](const RawRow &r) { return r.queued == 1; }));

    c1->kill(SIGKILL);
    EXPECT_EQ(c1->wait(), 128 + SIGKILL);
    c2->close_in();
    EXPECT_EQ(read_all(c2->out()), "00000000: 01 08 0f 16 \n");
    EXPECT_EQ(c2->wait(), 0);
    ASSERT_TRUE(watcher.wait_row("alpha", [](const RawRow &r) { return !r.busy; }));
}

// A client killed while its command runs leaves the agent busy with an
// abandoned command; ls then shows the agent busy with nobody's command and
// the daemon carries on.
TEST(ResidentServerFaults, LsShowsAnAgentStillRunningTheCommandOfAKilledClient) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    auto host = start_host();
    auto client = start_client(d, {"--agent", "demo", "--wait", "10", "-c", "ticks -n 1000 -i 20"});
    std::string out;
    ASSERT_TRUE(read_until(client->out(), "tick 2/1000", &out));
    const std::string killed = "pid " + std::to_string(client->pid()) + ")";
    client->kill(SIGKILL);
    ASSERT_TRUE(client->wait().has_value());

    // Until the daemon has noticed, ls may still name the killed client.
    RunResult ls;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    do {
        ls = run_client(d, {"-c", "ls"});
        ASSERT_EQ(ls.status, 0) << ls.err;
    } while (ls.out.find(killed) != std::string::npos &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(ls.out.find(killed), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("busy"), std::string::npos) << ls.out;
    EXPECT_EQ(run_client(d, {"-c", "ls"}).status, 0);
    EXPECT_EQ(d.stop(), 0);
}

// SIGKILL leaves the socket file behind: the client of the moment says so
// and fails, the next daemon replaces the stale file, and the agents are
// back within their reconnect pause.
TEST(ResidentServerFaults, AKilledDaemonIsReplacedAndTheAgentsReconnect) {
    TempDir dir;
    auto d = std::make_unique<Daemon>(dir.path());
    ASSERT_TRUE(d->ready());
    const std::string socket = d->socket();
    auto alpha = start_host("1", "alpha");
    auto beta = start_host("2", "beta");
    ASSERT_TRUE(d->journal_until("alpha (id 1) connected"));
    ASSERT_TRUE(d->journal_until("beta (id 2) connected"));
    auto c = start_client(*d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
    std::string out;
    ASSERT_TRUE(read_until(c->out(), kWipePrompt, &out));

    EXPECT_EQ(d->stop(SIGKILL), 128 + SIGKILL);
    auto err = read_all(c->err());
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("cli-server: lost the resident server at " + socket + ": "),
              std::string::npos)
        << *err;
    EXPECT_EQ(c->wait(), 3); // its command was cut off
    struct stat st {};
    ASSERT_EQ(lstat(socket.c_str(), &st), 0);
    ASSERT_TRUE(S_ISSOCK(st.st_mode));

    d = std::make_unique<Daemon>(dir.path());
    ASSERT_TRUE(d->ready()) << d->journal();
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(d->journal_until("alpha (id 1) connected", 5000ms)) << d->journal();
    ASSERT_TRUE(d->journal_until("beta (id 2) connected", 5000ms)) << d->journal();
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, 3000ms);
    auto r = run_client(*d, {"--agent", "alpha", "--wait", "5", "-c", "echo back"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "back\n");
}

// A client that asks for a flood and never reads holds only its own
// agent: the daemon stops reading that agent instead of buffering the
// flood, other agents serve other clients, and nothing is lost once the
// reader comes back.
TEST(ResidentServerFaults, AClientThatStopsReadingHoldsOnlyItsOwnAgent) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    auto beta = start_connected_host(d, "2", "beta");
    ASSERT_TRUE(beta) << d.journal();
    auto warm = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "status"});
    ASSERT_EQ(warm.status, 0) << warm.err;
    const long baseline = d.rss_kib();
    ASSERT_GT(baseline, 0);

    constexpr size_t kMib = 32;
    RawClient sink;
    ASSERT_TRUE(sink.connect(d.socket()));
    ASSERT_TRUE(sink.greet());
    ASSERT_TRUE(
        sink.send(wire::submit(7, sink.serial_of("beta"), "stream " + std::to_string(kMib))));
    RawClient watcher;
    ASSERT_TRUE(watcher.connect(d.socket()));
    ASSERT_TRUE(watcher.greet());
    ASSERT_TRUE(watcher.wait_row("beta", [](const RawRow &r) { return r.busy; }));

    long peak = baseline;
    for (int i = 0; i < 5; ++i) {
        const std::string word = "still-here-" + std::to_string(i);
        auto r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo " + word});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, word + "\n");
        peak = std::max(peak, d.rss_kib());
    }
    int pending = 0;
    ASSERT_EQ(ioctl(sink.fd(), FIONREAD, &pending), 0);
    EXPECT_GT(pending, 0); // the flood did start
    // Unthrottled, the daemon would hold megabytes of it by now. Under the
    // sanitizers the daemon's memory follows their quarantine and shadow,
    // not its buffers; there the whole flood arriving below still proves the
    // throttle (unthrottled, 16 MiB of backlog would have dropped the sink).
    if (!kSanitized) {
        EXPECT_LT(peak - baseline, 8 * 1024)
            << "VmRSS grew from " << baseline << " to " << peak << " KiB";
    }
    ASSERT_TRUE(watcher.wait_row("beta", [](const RawRow &r) { return r.busy; }));

    // The reader comes back: every byte arrives, then DONE.
    size_t got = 0;
    for (;;) {
        auto m = sink.read();
        ASSERT_TRUE(m) << "after " << got << " bytes";
        if (m->type == wire::kOutput) got += m->payload.size() - 8;
        if (m->type == wire::kDone) break;
    }
    EXPECT_EQ(got, kMib << 20);
}

// Garbage, a wrong version, a half message or silence end only the
// connection that sent them; everybody else carries on.
TEST(ResidentServerFaults, GarbageClientsAreClosedAndOthersAreUnaffected) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    RawClient good;
    ASSERT_TRUE(good.connect(d.socket()));
    ASSERT_TRUE(good.greet());

    RawClient half, silent;
    ASSERT_TRUE(half.connect(d.socket()));
    ASSERT_TRUE(half.send(wire::hello().substr(0, 3)));
    ASSERT_TRUE(silent.connect(d.socket()));
    const auto stalled_at = std::chrono::steady_clock::now();

    std::mt19937 rng(20261208);
    for (int round = 0; round < 8; ++round) {
        std::string noise(256, '\0');
        for (char &c : noise)
            c = static_cast<char>(rng());
        RawClient garbage;
        ASSERT_TRUE(garbage.connect(d.socket()));
        garbage.send(noise);
        EXPECT_TRUE(garbage.wait_closed(3000ms)) << "round " << round;
    }

    RawClient old;
    ASSERT_TRUE(old.connect(d.socket()));
    ASSERT_TRUE(old.send(wire::hello(99)));
    auto refused = old.read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, wire::kRefused);
    EXPECT_EQ(refused->payload, "cli-server: this server speaks operator protocol version 1 to 3, "
                                "not 99");
    EXPECT_TRUE(old.wait_closed(3000ms));

    // A message only the daemon may send, after a proper greeting.
    RawClient impostor;
    ASSERT_TRUE(impostor.connect(d.socket()));
    ASSERT_TRUE(impostor.greet());
    ASSERT_TRUE(impostor.send(wire::message(wire::kDone, wire::be(1, 8))));
    EXPECT_TRUE(impostor.wait_closed(3000ms));

    auto r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo fine"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "fine\n");

    // The half message and the silence are given their time, then closed.
    EXPECT_TRUE(half.wait_closed(15000ms));
    EXPECT_TRUE(silent.wait_closed(5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - stalled_at, 9000ms);

    auto text = good.run(3, good.serial_of("alpha"), "echo still");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "still\n");
}

namespace {

std::string my_user_name() {
    const passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : std::to_string(getuid());
}

} // namespace

// Hundreds of connections to the agents' port that never say HELLO, against
// a daemon with few descriptors: operators are still answered, a real agent
// still gets in, and the silent ones are closed and journalled.
TEST(ResidentServerFaults, SilentAgentConnectionsStarveNeitherOperatorsNorAgents) {
    constexpr unsigned long kDaemonFiles = 160;
    constexpr int kSilent = 400;
    raise_own_descriptor_limit(kSilent + 128);
    TempDir dir;
    Daemon d(dir.path(), {}, {}, kDaemonFiles);
    ASSERT_TRUE(d.ready());
    std::vector<clitest::Conn> silent;
    for (int i = 0; i < kSilent; ++i) {
        silent.push_back(connect_agent());
        ASSERT_TRUE(silent.back().valid()) << i;
    }
    const auto start = std::chrono::steady_clock::now();
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(ls.out, "no agents connected\n");
    clitest::Conn real = greeted_agent("real", 9);
    ASSERT_FALSE(HasFailure()) << "journal:\n" << d.journal();
    auto ls2 = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls2.status, 0) << ls2.err;
    EXPECT_NE(ls2.out.find(" real "), std::string::npos) << ls2.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_TRUE(d.journal_until("a connection that never said HELLO closed before HELLO"));
    EXPECT_EQ(d.stop(), 0) << d.journal();
}

// A connection that stays silent is closed after the HELLO time-out, and
// the journal says who held it, so a service whose agent never appears can
// be found.
TEST(ResidentServerFaults, AConnectionWithoutHelloIsClosedAndJournalledWithItsProcess) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    clitest::Conn silent = connect_agent();
    ASSERT_TRUE(silent.valid());
    EXPECT_TRUE(silent.wait_closed(15000ms));
    EXPECT_TRUE(d.journal_until("a connection that never said HELLO closed: no HELLO within 5 s "
                                "(from user " +
                                my_user_name() + ", pid " + std::to_string(getpid()) + ")"))
        << d.journal();
    EXPECT_EQ(d.stop(), 0) << d.journal();
}

// One client cannot make the daemon hold its commands without bound: past
// the bound it is refused and closed, and what it had queued is gone at once.
TEST(ResidentServerFaults, AClientQueueingWithoutBoundIsRefused) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    clitest::Conn busy = greeted_agent("busy", 3);
    ASSERT_TRUE(d.journal_until("busy (id 3) connected"));
    RawClient greedy;
    ASSERT_TRUE(greedy.connect(d.socket()));
    ASSERT_TRUE(greedy.greet());
    const uint64_t serial = greedy.serial_of("busy");
    std::string burst;
    for (uint64_t i = 1; i <= 200; ++i)
        burst += wire::submit(i, serial, "hold " + std::to_string(i));
    ASSERT_TRUE(greedy.send(burst));
    auto refused = greedy.read_type(wire::kRefused);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->payload.find("refused: this client already has 32 commands waiting for "
                                    "busy (id 3)"),
              std::string::npos)
        << refused->payload;
    EXPECT_TRUE(greedy.wait_closed());
    // The running command is abandoned, the queued ones withdrawn.
    RawClient watcher;
    ASSERT_TRUE(watcher.connect(d.socket()));
    ASSERT_TRUE(watcher.greet());
    EXPECT_TRUE(watcher.wait_row(
        "busy", [](const RawRow &r) { return r.queued == 0; }, 2000ms));
    auto cmd = busy.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    EXPECT_EQ(cmd->payload, "hold 1");
    ASSERT_TRUE(busy.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 3));
    EXPECT_EQ(d.stop(), 0) << d.journal();
}

// Two agents share a name: --agent NAME cannot choose, so the client says so
// at once, naming each with its id and user, instead of waiting.
TEST(ResidentServerFaults, AnAmbiguousAgentNameFailsAtOnceNamingTheCandidates) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    clitest::Conn first = greeted_agent("dup", 5);
    clitest::Conn second = greeted_agent("dup", 6);
    ASSERT_TRUE(d.journal_until("dup (id 6) connected"));
    const auto start = std::chrono::steady_clock::now();
    auto r = run_client(d, {"--agent", "dup", "--wait", "5", "-c", "status"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(r.status, 1);
    const std::string user = my_user_name();
    EXPECT_EQ(r.err, "cli-server: several agents match 'dup': dup (id 5, user " + user + ") as 5@" +
                         user + ", dup (id 6, user " + user + ") as 6@" + user +
                         "; name one as shown\n");
    EXPECT_EQ(r.out, "");
}

// Control characters in an agent's name (C0, and C1 as UTF-8) reach the
// journal and ls visible, not as terminal controls.
TEST(ResidentServerFaults, ControlCharactersInAgentNamesAreShownVisibly) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    clitest::Conn evil = greeted_agent("ev\x1b]0;t\x07il\xc2\x9b"
                                       "2J",
                                       4);
    EXPECT_TRUE(d.journal_until("ev\\x1b]0;t\\x07il\\xc2\\x9b2J (id 4) connected")) << d.journal();
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find(" ev\\x1b]0;t\\x07il\\xc2\\x9b2J "), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(ls.out.find("\xc2\x9b"), std::string::npos);
}

// A client of operator protocol version 1 (a console started before an
// upgrade) is served as before: a WELCOME of the version alone, then the
// agents, its command and its end. A version-2 client is told the owners it
// reaches without @USER: root, the daemon's user and its own. A refusal
// names the program to clients of versions 1 and 2 and to any client not
// yet welcomed; a client of version 3 reads the bare reason.
TEST(ResidentServerFaults, AVersionOneClientIsServedAsBefore) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    clitest::Conn agent = greeted_agent("alpha", 3);
    ASSERT_TRUE(d.journal_until("alpha (id 3) connected"));

    RawClient v1;
    ASSERT_TRUE(v1.connect(d.socket()));
    ASSERT_TRUE(v1.send(wire::hello(1)));
    auto welcome = v1.read();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->type, wire::kWelcome);
    EXPECT_EQ(welcome->payload, std::string("\x00\x01", 2));
    std::vector<Msg> before_ready;
    ASSERT_TRUE(v1.read_type(wire::kReady, kTimeout, &before_ready));
    ASSERT_EQ(before_ready.size(), 1u);
    ASSERT_EQ(before_ready[0].type, wire::kAgentUp);
    const uint64_t serial = wire::read_be(before_ready[0].payload, 0, 8);
    ASSERT_TRUE(v1.send(wire::submit(1, serial, "status")));
    auto cmd = agent.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    EXPECT_EQ(cmd->payload, "status");
    ASSERT_TRUE(agent.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 3));
    auto done = v1.read_type(wire::kDone);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->payload, wire::be(1, 8));

    RawClient v2;
    ASSERT_TRUE(v2.connect(d.socket()));
    ASSERT_TRUE(v2.send(wire::hello(2)));
    welcome = v2.read();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->type, wire::kWelcome);
    ASSERT_EQ(welcome->payload.substr(0, 2), std::string("\x00\x02", 2));
    std::vector<uint64_t> owners;
    for (size_t at = 2; at + 4 <= welcome->payload.size(); at += 4)
        owners.push_back(wire::read_be(welcome->payload, at, 4));
    EXPECT_EQ((welcome->payload.size() - 2) % 4, 0u);
    EXPECT_NE(std::find(owners.begin(), owners.end(), uint64_t{getuid()}), owners.end());

    const std::string why = "refused: this client already has 32 commands waiting for alpha "
                            "(id 3); the connection is closed";
    for (uint16_t version : {1, 2, 3}) {
        RawClient greedy;
        ASSERT_TRUE(greedy.connect(d.socket()));
        ASSERT_TRUE(greedy.greet(version));
        std::string burst;
        for (uint64_t i = 1; i <= 33; ++i)
            burst += wire::submit(i, serial, "hold");
        ASSERT_TRUE(greedy.send(burst));
        auto refused = greedy.read_type(wire::kRefused);
        ASSERT_TRUE(refused) << "version " << version;
        EXPECT_EQ(refused->payload, (version < 3 ? "cli-server: " : "") + why);
        EXPECT_TRUE(greedy.wait_closed());
    }
    RawClient early;
    ASSERT_TRUE(early.connect(d.socket()));
    ASSERT_TRUE(early.send(wire::message(wire::kList, "")));
    auto refused = early.read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, wire::kRefused);
    EXPECT_EQ(refused->payload, "cli-server: a client must open with HELLO");
}
