// The resident server's journal end to end: its lines about clients coming
// and going, and the rate limit that keeps a flood from silencing them.
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

using namespace clitest;

// Who came, and why each session ended, with its uid and pid.
TEST(ResidentServerJournal, ClientsComingAndGoingWithUidPidAndWhy) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    auto c = start_client(d, {"-c", "ls"});
    c->close_in();
    EXPECT_EQ(c->wait(), 0);
    const std::string who = "client uid " + std::to_string(getuid()) + " (" +
                            (getuid() == 0 ? std::string("root") : std::to_string(getuid())) +
                            ") pid " + std::to_string(c->pid());
    EXPECT_TRUE(d.journal_until("<6>cli-server: " + who + " connected\n")) << d.journal();
    EXPECT_TRUE(d.journal_until("<6>cli-server: session of " + who +
                                " ended: the client closed the connection\n"))
        << d.journal();

    RawClient garbage;
    ASSERT_TRUE(garbage.connect(d.socket()));
    ASSERT_TRUE(garbage.send(std::string(16, '\xff')));
    EXPECT_TRUE(garbage.wait_closed(3000ms));
    EXPECT_TRUE(d.journal_until("<4>cli-server: session of client uid " + std::to_string(getuid())))
        << d.journal();
    EXPECT_TRUE(d.journal_until(" ended: bad message")) << d.journal();
}

// A flood of agent connections that never say HELLO: a few lines, then
// the count of the rest, all from the one allowance of the agents of the
// test's user (or of owners not known), so every connection is accounted
// for either in a line or in a count.
TEST(ResidentServerJournal, RepeatedLinesAreRateLimitedWithACount) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    constexpr int kFlood = 60;
    for (int i = 0; i < kFlood; ++i) {
        auto conn = connect_agent();
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.send_raw("GARBAGE GARBAGE GARBAGE!"));
        EXPECT_TRUE(conn.wait_closed());
    }
    const std::string count_end =
        " suppressed in 10 s; the last: a connection that never said HELLO";
    ASSERT_TRUE(d.journal_until(count_end, 20000ms)) << d.journal();
    const std::string line_start =
        "<4>cli-server: a connection that never said HELLO sent a malformed";
    size_t shown = 0, suppressed = 0, counts = 0;
    for (const auto &line : lines_of(d.journal())) {
        if (line.find(line_start) == 0) ++shown;
        if (line.find("<4>cli-server: ") == 0 && line.find(count_end) != std::string::npos &&
            line.find(" lines about agent") != std::string::npos) {
            suppressed += std::stoul(line.substr(15));
            ++counts;
        }
    }
    EXPECT_LE(shown, 2 * 20u) << d.journal();
    EXPECT_GE(shown, 20u) << d.journal();
    EXPECT_LE(counts, 2u) << d.journal();
    EXPECT_EQ(shown + suppressed, static_cast<size_t>(kFlood)) << d.journal();
}

// nobody floods the agents' port of a daemon that takes only root's agents,
// each connection under a name of letters never seen before. The journal
// still has every line about root's clients, the flood costs only nobody's
// allowance and a line counts what it suppressed; the scripts that run
// meanwhile show a few of the refusals on standard error, not hundreds.
TEST(ResidentServerJournal, AFloodOfRefusedAgentsSilencesNeitherClientsNorScripts) {
    if (getuid() != 0) GTEST_SKIP() << "an agent of nobody's needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--agent-users", "root"});
    ASSERT_TRUE(d.ready());
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    const pid_t flood = fork();
    ASSERT_GE(flood, 0);
    if (flood == 0) {
        close(stop[1]);
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        char b;
        for (uint64_t i = 0; read(stop[0], &b, 1) < 0; ++i) {
            std::string name;
            for (uint64_t n = i; n > 0 || name.empty(); n /= 26)
                name += static_cast<char>('a' + n % 26);
            clitest::Conn c = connect_agent();
            send_hello(c, "x" + name, 2);
            // A thousand a second: a flood for the journal and the
            // scripts, which this is about, not for the daemon's loop.
            usleep(1000);
        }
        _exit(0);
    }
    close(stop[0]);
    ASSERT_TRUE(d.journal_until("refused agent x")) << d.journal();
    std::vector<pid_t> clients;
    for (int i = 0; i < 6; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto c = start_client(d, {"-c", "ls"});
        c->close_in();
        clients.push_back(c->pid());
        auto err = read_all(c->err());
        EXPECT_EQ(c->wait(), 0);
        ASSERT_TRUE(err);
        // Three refusals, then a count at most once a second and at the end.
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        EXPECT_LE(std::count(err->begin(), err->end(), '\n'), 4 + seconds) << *err;
    }
    close(stop[1]);
    EXPECT_EQ(waitpid(flood, nullptr, 0), flood);
    // Their owner is found, or under load not yet: either way one count.
    EXPECT_TRUE(d.journal_until(" suppressed in 10 s; the last: refused agent x", 20000ms))
        << d.journal().substr(0, 4000);
    EXPECT_TRUE(d.journal().find("lines about agents of uid 65534 (nobody) suppressed") !=
                    std::string::npos ||
                d.journal().find("lines about agent connections of unknown owners suppressed") !=
                    std::string::npos)
        << d.journal().substr(0, 4000);
    const std::string j = d.journal();
    for (pid_t pid : clients) {
        const std::string who = "client uid 0 (root) pid " + std::to_string(pid);
        EXPECT_NE(j.find(who + " connected"), std::string::npos) << who;
        EXPECT_NE(j.find("session of " + who + " ended"), std::string::npos) << who;
    }
    EXPECT_EQ(d.stop(), 0);
}
