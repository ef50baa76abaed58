// The resident server's metrics end to end: counts after commands of each
// outcome the daemon sees, agents of two users, the file replaced
// atomically under a reader, a version-1 client served as before, and
// Debian's node exporter serving the file.
#include "daemon_clients.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

using namespace clitest;

namespace {

constexpr uid_t kDaemonUser = 1; // Debian's "daemon": not a user of --agent-users here
const char *const kNodeExporter = "/usr/bin/prometheus-node-exporter";
const std::string kLastLine = "cli_server_metrics_file_write_failures_total 0\n";

std::string contents(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value of the sample written exactly as `series`, or -1.
long long sample(const std::string &text, const std::string &series) {
    for (const std::string &line : lines_of(text))
        if (line.rfind(series + " ", 0) == 0) return std::stoll(line.substr(series.size() + 1));
    return -1;
}

// GET path from 127.0.0.1:port, the whole answer within the time-out.
std::optional<std::string> http_get(uint16_t port, const std::string &path, ms timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return std::nullopt;
    }
    const std::string request =
        "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[8192];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            close(fd);
            return answer;
        }
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return std::nullopt;
}

// Polls until the node exporter answers.
std::optional<std::string> scrape(uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto got = http_get(port, "/metrics")) return got;
        usleep(50'000); // it has not bound its port yet
    }
    return std::nullopt;
}

struct Fixture {
    TempDir dir;
    std::string prom_dir = dir.path() + "/textfile";
    std::string prom = prom_dir + "/cli-server.prom";
};

} // namespace

// Agents of root and nobody, a refused agent of a third user, and one
// command of each outcome the daemon sees, each waited for by the test;
// --metrics then counts them all.
TEST(ResidentMetrics, CountAgentsClientsAndEveryOutcome) {
    if (getuid() != 0) GTEST_SKIP() << "agents of other users need root";
    Fixture f;
    ASSERT_EQ(mkdir(f.prom_dir.c_str(), 0755), 0);
    Daemon d(f.dir.path(), {"--agent-users", "nobody", "--metrics-file", f.prom});
    ASSERT_TRUE(d.ready()) << d.error();
    auto alpha = start_host("1", "alpha");
    auto gamma = start_host("3", "gamma");
    auto beta = start_host_as(kNobody, kNobody, "2", "beta");
    auto stranger = start_host_as(kDaemonUser, kDaemonUser, "4", "stranger");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
    ASSERT_TRUE(d.journal_until("beta (id 2) connected"));
    ASSERT_TRUE(d.journal_until("gamma (id 3) connected"));
    ASSERT_TRUE(d.journal_until("refused agent stranger (id 4)"));
    // Refused, its library would try again and be refused again: stopped
    // here, the count below cannot depend on how slow the run is.
    stranger->kill(SIGKILL);
    EXPECT_TRUE(stranger->wait());
    { // a connection that opens with another frame than HELLO
        clitest::Conn rogue = connect_agent();
        ASSERT_TRUE(rogue.valid());
        ASSERT_TRUE(rogue.send_frame(CLI_FRAME_OUTPUT, 1, "x"));
        EXPECT_TRUE(rogue.wait_closed());
    }

    // done, twice
    for (const char *agent : {"alpha", "beta"}) {
        auto r = run_client(d, {"--agent", agent, "--wait", "5", "-c", "echo hi"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    { // prompt-refused: a fan-out without --answer answers the prompt empty
        auto r = run_client(d, {"--agent", "al*", "-c", "wipe"});
        EXPECT_NE(r.err.find("answered empty"), std::string::npos) << r.out << r.err;
    }
    { // interrupted: ABANDON after SENT; the LIST behind it proves it was handled
        ASSERT_TRUE(abandon_once_sent(d, "alpha", "ticks -n 20 -i 10"));
    }
    { // client-left: killed at the prompt; the next command runs once it is counted
        auto c = start_client(d, {"--agent", "beta", "--wait", "5", "-c", "wipe"});
        std::string out;
        ASSERT_TRUE(read_until(c->out(), "Type yes to confirm", &out));
        c->kill(SIGKILL);
        c->wait();
        auto r = run_client(d, {"--agent", "beta", "--wait", "5", "-c", "echo after"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    RawClient late;
    ASSERT_TRUE(late.connect(d.socket()));
    ASSERT_TRUE(late.greet());
    const uint64_t gamma_serial = late.serial_of("gamma");
    { // agent-disconnected
        auto c = start_client(d, {"--agent", "gamma", "--wait", "5", "-c", "ticks -n 1000 -i 10"});
        std::string out;
        ASSERT_TRUE(read_until(c->out(), "tick 2/1000", &out));
        gamma->kill(SIGKILL);
        EXPECT_EQ(c->wait(), 3);
    }
    // not-connected: a client that has not yet heard that gamma is gone
    ASSERT_TRUE(late.send(wire::submit(9, gamma_serial, "echo too late")));
    ASSERT_TRUE(late.list());
    late.close();

    // The sessions of the clients that have exited may still be ending;
    // then only the asking client is left.
    RunResult m;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    do {
        m = run_client(d, {"--metrics"});
        ASSERT_EQ(m.status, 0) << m.err;
    } while (sample(m.out, "cli_server_clients{user=\"root\"}") != 1 &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(m.err, "");
    const std::string &t = m.out;
    EXPECT_EQ(sample(t, "cli_server_clients{user=\"root\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_agents{user=\"root\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_agents{user=\"nobody\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"done\"}"), 3) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"prompt-refused\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"interrupted\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"client-left\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"agent-disconnected\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_commands_total{outcome=\"not-connected\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_command_duration_seconds_count"), 7) << t;
    EXPECT_EQ(sample(t, "cli_server_command_duration_seconds_bucket{le=\"+Inf\"}"), 7) << t;
    EXPECT_EQ(sample(t, "cli_server_queued_commands"), 0) << t;
    // One refusal, or two if its retry was quicker than the kill.
    const auto not_allowed =
        sample(t, "cli_server_agent_connections_refused_total{reason=\"not-allowed-user\"}");
    EXPECT_GE(not_allowed, 1) << t;
    EXPECT_LE(not_allowed, 2) << t;
    EXPECT_EQ(sample(t, "cli_server_agent_connections_refused_total{reason=\"no-hello\"}"), 1) << t;
    EXPECT_EQ(sample(t, "cli_server_audit_log_ok"), 1) << t;
    EXPECT_EQ(t.find("alpha"), std::string::npos) << "no agent's name in a label";

    // The file says the same once rewritten; it goes with the daemon.
    struct stat st {};
    ASSERT_EQ(lstat(f.prom.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(d.stop(), 0);
    EXPECT_NE(lstat(f.prom.c_str(), &st), 0) << "the metrics file outlived the daemon";
}

// A reader in a loop sees the whole text every time, while the file is
// replaced under it; the node exporter serves the series from it.
TEST(ResidentMetrics, TheFileIsReplacedWholeAndTheNodeExporterServesIt) {
    Fixture f;
    ASSERT_EQ(mkdir(f.prom_dir.c_str(), 0755), 0);
    Daemon d(f.dir.path(), {"--metrics-file", f.prom, "--metrics-interval", "1"});
    ASSERT_TRUE(d.ready()) << d.error();
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));

    struct stat st {};
    std::set<ino_t> seen;
    unsigned reads = 0;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (seen.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        const std::string text = contents(f.prom);
        ++reads;
        ASSERT_EQ(text.rfind("# HELP cli_server_info", 0), 0u) << text;
        ASSERT_GE(text.size(), kLastLine.size());
        ASSERT_EQ(text.substr(text.size() - kLastLine.size()), kLastLine) << text;
        if (lstat(f.prom.c_str(), &st) == 0) seen.insert(st.st_ino);
    }
    EXPECT_GE(seen.size(), 3u) << "the file was not replaced every second (" << reads << " reads)";

    if (access(kNodeExporter, X_OK) != 0)
        GTEST_SKIP() << kNodeExporter << " is missing (Debian's prometheus-node-exporter)";
    constexpr uint16_t kPort = 9100; // the test's own network namespace
    SpawnOptions o;
    o.pipe_stdout = false;
    o.pipe_stderr = false;
    o.stderr_file = f.dir.path() + "/node-exporter.log";
    Process exporter({kNodeExporter, "--web.listen-address=127.0.0.1:" + std::to_string(kPort),
                      "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + f.prom_dir},
                     o);
    auto got = scrape(kPort);
    exporter.kill(SIGTERM);
    exporter.wait();
    ASSERT_TRUE(got) << contents(o.stderr_file);
    EXPECT_NE(got->find("\ncli_server_agents{user=\"root\"} 1\n"), std::string::npos) << *got;
    EXPECT_NE(got->find("\ncli_server_command_duration_seconds_bucket{le=\"+Inf\"} 0\n"),
              std::string::npos)
        << *got;
    EXPECT_NE(got->find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << *got;
    EXPECT_NE(got->find("node_textfile_mtime_seconds{file="), std::string::npos) << *got;
    EXPECT_EQ(d.stop(), 0);
}

// A client of the previous protocol version is served as before: WELCOME
// names version 1, and the metrics request, which version 1 did not have,
// ends its connection as any unknown message did.
TEST(ResidentMetrics, AVersionOneClientIsServedAsBefore) {
    ResidentWithAlpha resident;
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string metrics = wire::message(0x0a, "");

    RawClient v1;
    ASSERT_TRUE(v1.connect(d.socket()));
    ASSERT_TRUE(v1.send(wire::hello(1)));
    auto welcome = v1.read_type(wire::kWelcome);
    ASSERT_TRUE(welcome);
    EXPECT_EQ(wire::read_be(welcome->payload, 0, 2), 1u);
    ASSERT_TRUE(v1.read_type(wire::kReady));
    auto rows = v1.list();
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), 1u);
    ASSERT_TRUE(v1.send(metrics));
    EXPECT_TRUE(v1.wait_closed());
    EXPECT_TRUE(d.journal_until("not a client message"));

    RawClient v2;
    ASSERT_TRUE(v2.connect(d.socket()));
    ASSERT_TRUE(v2.send(wire::hello(2)));
    welcome = v2.read_type(wire::kWelcome);
    ASSERT_TRUE(welcome);
    EXPECT_EQ(wire::read_be(welcome->payload, 0, 2), 2u);
    ASSERT_TRUE(v2.send(metrics));
    auto text = v2.read_type(0x9a);
    ASSERT_TRUE(text);
    EXPECT_EQ(sample(text->payload, "cli_server_agents{user=\"root\"}"), 1) << text->payload;
    EXPECT_TRUE(v2.read_type(0x9b));
    EXPECT_EQ(d.stop(), 0);
}
