// What one user's clients can make the resident server hold: a member of
// its group opens many clients that queue long lines on agents that never
// finish a command. The daemon refuses the clients and the commands past
// that user's bounds, naming the bound, its memory stays small, and root's
// monitoring still gets in.
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"
#include "fault_probe.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

using namespace clitest;

namespace {

// A system group nobody is not a member of: nobody with it as primary gid
// is the group member.
constexpr const char *kGroup = "daemon";

// Agents of the test's own, "stuck-1"..., that take commands and never
// answer them: all connected and greeted first, then all acknowledged, so
// the daemon looks their owners up together.
std::vector<clitest::Conn> stuck_agents(int n) {
    std::vector<clitest::Conn> agents;
    for (int i = 1; i <= n; ++i) {
        agents.push_back(connect_agent());
        EXPECT_TRUE(agents.back().valid());
        EXPECT_TRUE(
            send_hello(agents.back(), "stuck-" + std::to_string(i), static_cast<uint32_t>(i)));
    }
    for (clitest::Conn &c : agents)
        EXPECT_TRUE(read_ack(c));
    return agents;
}

// The daemon's peak resident memory (VmHWM), in KiB.
long peak_rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

struct Flood {
    int clients = 12;
    int lines = 31;     // per client and agent
    size_t size = 4000; // bytes of each line
};

// In a child of the test as uid:gid: opens the clients, each queuing its
// lines on every agent, and writes one line per client to report: "held",
// or "refused: ..." with the daemon's line. Then "ready", and the clients
// stay open until `hold` is closed.
void flood_as(uid_t uid, gid_t gid, const std::string &socket, const Flood &f, int report,
              int hold) {
    auto say = [&](const std::string &line) {
        const std::string l = line + "\n";
        (void)!write(report, l.data(), l.size());
    };
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        say("cannot become the user");
        _exit(1);
    }
    std::vector<std::unique_ptr<RawClient>> clients;
    uint64_t request = 1;
    for (int k = 0; k < f.clients; ++k) {
        auto c = std::make_unique<RawClient>();
        if (!c->connect(socket)) {
            say("cannot connect");
            continue;
        }
        // A client refused at once is closed before its HELLO is read: the
        // send may fail, the refusal is there to read all the same.
        (void)c->send(wire::hello());
        auto welcome = c->read();
        if (!welcome || welcome->type != wire::kWelcome) {
            say("refused: " + (welcome ? welcome->payload : std::string("nothing")));
            continue;
        }
        std::vector<uint64_t> serials;
        for (;;) {
            auto m = c->read();
            if (!m || m->type == wire::kReady) break;
            if (m->type == wire::kAgentUp) serials.push_back(wire::read_be(m->payload, 0, 8));
        }
        std::string burst;
        for (int i = 0; i < f.lines; ++i)
            for (uint64_t serial : serials)
                burst += wire::submit(request++, serial, std::string(f.size, 'x'));
        (void)c->send(burst); // fails once the daemon has refused and closed
        auto refused = c->read_type(wire::kRefused, 1000ms);
        say(refused ? "refused: " + refused->payload : "held");
        clients.push_back(std::move(c));
    }
    say("ready");
    char b;
    while (read(hold, &b, 1) > 0) {
    }
    _exit(0);
}

// Runs flood_as in a child as nobody with gid, and returns its report once
// the clients are open; close *hold to let them go, then reap *child.
std::string start_flood(const Daemon &d, gid_t gid, const Flood &f, int *hold, pid_t *child) {
    int report[2], held[2];
    if (pipe(report) != 0 || pipe(held) != 0) return "no pipe";
    *child = fork();
    if (*child == 0) {
        close(report[0]);
        close(held[1]);
        flood_as(kNobody, gid, d.socket(), f, report[1], held[0]);
    }
    close(report[1]);
    close(held[0]);
    *hold = held[1];
    std::string lines;
    EXPECT_TRUE(read_until(report[0], "ready\n", &lines, 30000ms)) << lines;
    close(report[0]);
    return lines;
}

size_t count_lines(const std::string &lines, const std::string &needle) {
    size_t n = 0;
    for (const std::string &l : lines_of(lines))
        if (l.find(needle) != std::string::npos) ++n;
    return n;
}

} // namespace

// Twelve clients of a group member, each queuing 31 lines of 3,000 bytes
// on each of 128 agents that never finish a command: what passes the
// member's 16 MiB is refused, naming the bound, the daemon's memory stays
// far below what the lines would take, and root's monitoring still runs.
TEST(ResidentServerBounds, AGroupMembersQueuedCommandsStayWithinTheirBound) {
    group *g = getgrnam(kGroup);
    if (getuid() != 0 || !g) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup});
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    std::vector<clitest::Conn> agents = stuck_agents(128); // greeted once acknowledged

    int hold = -1;
    pid_t child = -1;
    const std::string lines = start_flood(d, g->gr_gid, Flood{12, 31, 3000}, &hold, &child);
    ASSERT_GT(child, 0);
    EXPECT_EQ(count_lines(lines, "held"), 1u) << lines;
    EXPECT_EQ(count_lines(lines, "is the bound per user (--max-queued)"), 11u) << lines;
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    const long peak = peak_rss_kib(d.pid());
    std::cout << "daemon's peak resident memory: " << peak / 1024 << " MiB\n";
    // Under the sanitizers the daemon's memory follows their quarantine and
    // shadow, not its queues; there the eleven refusals prove the bound.
    if (!CLITEST_SANITIZED) {
        EXPECT_LT(peak, 128 * 1024) << "KiB";
    }
    EXPECT_TRUE(d.journal_until("--max-queued")) << d.journal();
    close(hold);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(d.stop(), 0);
}

// --max-clients 4: the member's fifth and sixth clients are refused with a
// line naming the bound, root's client is not (root's bound is its own),
// and once the member's clients leave their places are free again.
TEST(ResidentServerBounds, AGroupMembersClientsStayWithinTheirBoundAndRootGetsIn) {
    group *g = getgrnam(kGroup);
    if (getuid() != 0 || !g) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup, "--max-clients", "4"});
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    std::vector<clitest::Conn> agents = stuck_agents(1);

    int hold = -1;
    pid_t child = -1;
    const std::string lines = start_flood(d, g->gr_gid, Flood{6, 2, 100}, &hold, &child);
    ASSERT_GT(child, 0);
    EXPECT_EQ(count_lines(lines, "held"), 4u) << lines;
    EXPECT_EQ(count_lines(lines, "refused: user nobody already has 4 clients of the resident "
                                 "server (the bound per user, --max-clients)"),
              2u)
        << lines;
    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    auto refused = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, g->gr_gid));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("--max-clients"), std::string::npos) << refused.err;

    close(hold);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    // The daemon hears of the clients' leaving in its own time.
    RunResult again;
    for (int attempt = 0; attempt < 50; ++attempt) {
        again = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, g->gr_gid));
        if (again.status == 0) break;
    }
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(d.stop(), 0);
}
