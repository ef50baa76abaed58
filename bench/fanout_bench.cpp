// fanout_bench: one command on every agent at once. N agents in this process
// (bench/agent_swarm.h: one thread answers them all, at once) behind a
// resident server and behind a standalone cli-server; the client is a real
// `cli-server --all --json -c status`, timed as a whole process from its
// start to its exit, its output read from a pipe and checked (one JSON
// object per agent). For each N: the wall time, the CPU time of the daemon
// per agent and command, of the client per JSON object, of the standalone
// server per agent, and the daemon's resident memory. Both servers listen on
// free loopback ports and the daemon's socket is in a temporary directory,
// so it needs no namespace and meets no other server.
#include "agent_swarm.h"
#include "bench_util.h"
#include "server_driver.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace bench;

namespace {

constexpr double kTargetWallMs = 200;        // resident, at the largest N
constexpr double kTargetDaemonUs = 10;       // per agent and command
constexpr double kTargetClientUs = 5;        // per JSON object
constexpr double kTargetStandaloneRatio = 1; // standalone fan-out / resident fan-out
const char kReply[] = "ok\n";

struct Options {
    std::vector<size_t> sizes{100, 1000, 10000};
    size_t rounds = 5; // per N and side
    bool strict = false;
    std::string server = CLI_SERVER_PATH;
};

// Counts separated by commas ("100,1000"); empty if any of them is not one.
std::vector<size_t> parse_sizes(std::string_view text) {
    std::vector<size_t> sizes;
    for (;;) {
        const size_t comma = text.find(',');
        size_t n = 0;
        if (!parse_count(text.substr(0, comma), n)) return {};
        sizes.push_back(n);
        if (comma == std::string_view::npos) return sizes;
        text.remove_prefix(comma + 1);
    }
}

Options parse_options(int argc, char **argv) {
    Options o;
    Option sizes{"--sizes", "N,N,...", "numbers of agents, one run each (default 100,1000,10000)",
                 "whole numbers from 1 to " + std::to_string(kMaxCount) + " separated by commas",
                 [&o](const char *text) {
                     std::vector<size_t> s = parse_sizes(text);
                     if (s.empty()) return false;
                     o.sizes = std::move(s);
                     return true;
                 }};
    parse_command_line(
        "fanout_bench", argc, argv,
        {flag_option("--quick", "100 and 1000 agents, 2 rounds",
                     [&o] {
                         o.sizes = {100, 1000};
                         o.rounds = 2;
                     }),
         std::move(sizes), count_option("--rounds", "rounds per N and side (default 5)", o.rounds),
         text_option("--server", "PATH", "the cli-server to measure (default: this build's)",
                     o.server),
         flag_option("--strict", "exit with status 1 when a target is missed", o.strict)});
    std::sort(o.sizes.begin(), o.sizes.end());
    return o;
}

// One client run, nanoseconds.
struct Sample {
    uint64_t wall = 0;       // the client process from its start to its exit
    uint64_t fanout = 0;     // from the first COMMAND an agent received to the exit
    uint64_t client_cpu = 0; // the client process (standalone: the whole server)
    uint64_t daemon_cpu = 0; // the resident server during the run
};

// Reads the client's output to its end; fails unless it is exactly n lines,
// each one JSON object of a command that ended `done`.
void read_results(int fd, size_t n) {
    std::string all;
    char chunk[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) fail("the client wrote nothing for 60 s");
        const ssize_t r = read(fd, chunk, sizeof chunk);
        if (r < 0) fail("reading the client's output");
        if (r == 0) break;
        all.append(chunk, static_cast<size_t>(r));
    }
    size_t lines = 0;
    for (size_t at = 0; at < all.size(); ++lines) {
        const size_t nl = all.find('\n', at);
        if (nl == std::string::npos) fail("the client's output ends inside a line");
        const std::string_view line(all.data() + at, nl - at);
        if (line.rfind("{\"host\":", 0) != 0 || line.back() != '}' ||
            line.find("\"status\":\"done\"") == std::string_view::npos)
            fail("not a result of a finished command: " + std::string(line.substr(0, 200)));
        at = nl + 1;
    }
    if (lines != n)
        fail("the client printed " + std::to_string(lines) + " results for " + std::to_string(n) +
             " agents");
}

// The client's output ended: reaps it and completes the sample.
void finish(Child &client, AgentSwarm &swarm, size_t n, uint64_t start, Sample &s) {
    read_results(client.out, n);
    const int status = client.wait_exit(&s.client_cpu);
    const uint64_t end = now_ns();
    if (status != 0) fail("the client exited with status " + std::to_string(status));
    if (swarm.answered() != n) fail("the swarm did not answer every agent's command once");
    s.wall = end - start;
    s.fanout = end - swarm.first_command_ns();
}

// A resident server with its swarm of answering agents, for one N.
class Resident {
  public:
    Resident(const Options &o, const std::string &dir, size_t n)
        : o_(o), n_(n), socket_(dir + "/operators.sock"), port_(free_port()),
          daemon_({o.server, "--daemon", "--port", std::to_string(port_), "--socket", socket_},
                  false),
          swarm_(port_) {
        wait_for_socket(socket_);
        rss_before_kib = process_status_kib(daemon_.pid, "VmRSS");
        swarm_.connect(n, "fan");
    }

    Sample once() {
        swarm_.start_answering(kReply);
        Sample s;
        const uint64_t daemon0 = process_cpu_ns(daemon_.pid);
        const uint64_t start = now_ns();
        Child client(
            {o_.server, "--client", "--socket", socket_, "--all", "--json", "-c", "status"}, true);
        finish(client, swarm_, n_, start, s);
        s.daemon_cpu = process_cpu_ns(daemon_.pid) - daemon0;
        swarm_.stop_answering();
        return s;
    }

    uint64_t kib(const char *field) const { return process_status_kib(daemon_.pid, field); }

    uint64_t rss_before_kib = 0;

  private:
    const Options &o_;
    size_t n_;
    std::string socket_;
    uint16_t port_;
    Child daemon_;
    AgentSwarm swarm_;
};

// A standalone cli-server gathers agents for a while before the command
// runs: long enough for the swarm to connect, the fan-out timed from the
// first COMMAND an agent received.
Sample standalone_once(const Options &o, size_t n) {
    const double gather_s = 1.5 + static_cast<double>(n) * 0.0006;
    const uint16_t port = free_port();
    const uint64_t start = now_ns();
    char gather[32];
    std::snprintf(gather, sizeof gather, "%.1f", gather_s);
    Child alone({o.server, "--standalone", "--port", std::to_string(port), "--all", "--json",
                 "--gather", gather, "-c", "status"},
                true);
    wait_for_port(port);
    AgentSwarm swarm(port);
    swarm.connect(n, "fan");
    swarm.start_answering(kReply);
    const uint64_t cpu0 = process_cpu_ns(alone.pid);
    // The answering thread watches every agent before the gathering ends, so
    // that no COMMAND waits in a socket unseen.
    if (now_ns() - start > static_cast<uint64_t>((gather_s - 0.3) * 1e9))
        fail("the swarm connected too late for the standalone server's --gather");
    Sample s;
    finish(alone, swarm, n, start, s);
    s.client_cpu -= cpu0;
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Medians over the rounds of one side at one N: milliseconds of wall time,
// microseconds of CPU per agent.
struct Figures {
    double wall_ms = 0, fanout_ms = 0, client_us = 0, daemon_us = 0;
};

Figures summarise(const std::vector<Sample> &samples, size_t n) {
    std::vector<double> wall, fanout, client, daemon;
    const double per = 1e3 * static_cast<double>(n);
    for (const Sample &s : samples) {
        wall.push_back(static_cast<double>(s.wall) / 1e6);
        fanout.push_back(static_cast<double>(s.fanout) / 1e6);
        client.push_back(static_cast<double>(s.client_cpu) / per);
        daemon.push_back(static_cast<double>(s.daemon_cpu) / per);
    }
    return {median(wall), median(fanout), median(client), median(daemon)};
}

struct Result {
    size_t n = 0;
    Figures resident, standalone;
    uint64_t rss_kib = 0, hwm_kib = 0, rss_before_kib = 0;
};

Result measure(const Options &o, const std::string &dir, size_t n) {
    Result r;
    r.n = n;
    std::vector<Sample> through, alone;
    {
        Resident resident(o, dir, n);
        r.rss_before_kib = resident.rss_before_kib;
        resident.once(); // pages in what a fan-out touches, in the daemon and the client
        for (size_t i = 0; i < o.rounds; ++i)
            through.push_back(resident.once());
        r.rss_kib = resident.kib("VmRSS");
        r.hwm_kib = resident.kib("VmHWM");
    }
    // One swarm at a time: two of 10,000 would pass the descriptor limit.
    for (size_t i = 0; i < o.rounds; ++i)
        alone.push_back(standalone_once(o, n));
    r.resident = summarise(through, n);
    r.standalone = summarise(alone, n);
    return r;
}

std::string load_average() {
    std::ifstream f("/proc/loadavg");
    std::string one, five, fifteen;
    f >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void print_results(const Options &o, const std::vector<Result> &results) {
    std::printf("\n%8s  %-10s %9s %11s %14s %14s\n", "agents", "server", "wall ms", "fan-out ms",
                "daemon us/ag", "client us/obj");
    for (const Result &r : results) {
        std::printf("%8zu  %-10s %9.1f %11.1f %14.2f %14.2f\n", r.n, "resident", r.resident.wall_ms,
                    r.resident.fanout_ms, r.resident.daemon_us, r.resident.client_us);
        std::printf("%8zu  %-10s %9s %11.1f %14s %14.2f\n", r.n, "standalone", "-",
                    r.standalone.fanout_ms, "-", r.standalone.client_us);
    }
    std::printf("(medians of %zu rounds; wall: the client process from start to exit; fan-out: "
                "from the first COMMAND an agent received to the client's exit; CPU per agent, "
                "kernel time included; standalone: its one process in the client column)\n",
                o.rounds);
    std::printf("\n%8s %12s %12s %14s %16s\n", "agents", "VmRSS KiB", "VmHWM KiB", "idle RSS KiB",
                "KiB per agent");
    for (const Result &r : results)
        std::printf("%8zu %12llu %12llu %14llu %16.2f\n", r.n,
                    static_cast<unsigned long long>(r.rss_kib),
                    static_cast<unsigned long long>(r.hwm_kib),
                    static_cast<unsigned long long>(r.rss_before_kib),
                    static_cast<double>(r.rss_kib - std::min(r.rss_kib, r.rss_before_kib)) /
                        static_cast<double>(r.n));
    std::printf("(the daemon after the fan-outs; idle RSS: before any agent connected)\n");
}

// Prints each target at the largest N with its ratio; whether all were met.
// The client's CPU per object is also given beyond its start-up: the slope
// between the smallest and the largest N.
bool print_targets(const Result &r, const Result &smallest) {
    std::printf("\ntargets at %zu agents (ratio = figure / target)\n", r.n);
    bool all = true;
    auto row = [&all](const char *what, double v, const char *unit, double target) {
        const bool ok = v <= target;
        all = all && ok;
        std::printf("  %-46s %9.2f %-3s <= %6.2f %-3s ratio %5.2f  %s\n", what, v, unit, target,
                    unit, v / target, ok ? "met" : "MISSED");
    };
    row("resident fan-out, client wall time", r.resident.wall_ms, "ms", kTargetWallMs);
    row("daemon CPU per agent and command", r.resident.daemon_us, "us", kTargetDaemonUs);
    row("client CPU per JSON object", r.resident.client_us, "us", kTargetClientUs);
    if (smallest.n < r.n) {
        const double slope = (r.resident.client_us * static_cast<double>(r.n) -
                              smallest.resident.client_us * static_cast<double>(smallest.n)) /
                             static_cast<double>(r.n - smallest.n);
        std::printf("  %-46s %9.2f us  (start-up left out: the slope from %zu to %zu agents)\n",
                    "client CPU per JSON object, marginal", slope, smallest.n, r.n);
    }
    row("standalone fan-out / resident fan-out", r.standalone.fanout_ms / r.resident.fanout_ms, "x",
        kTargetStandaloneRatio);
    return all;
}

} // namespace

int main(int argc, char **argv) {
    const Options o = parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    const size_t largest = o.sizes.back();
    // The servers inherit the limit.
    raise_descriptor_limit(largest + 256);
    char templ[] = "/tmp/fanout_bench_XXXXXX";
    if (!mkdtemp(templ)) fail("mkdtemp");
    const std::string dir = templ;

    std::printf("fan-out of `status` to N agents answering at once: cli-server --all --json "
                "-c status, %zu rounds per N and side\nload average before: %s\n",
                o.rounds, load_average().c_str());
    std::fflush(stdout);
    std::vector<Result> results;
    for (size_t n : o.sizes) {
        results.push_back(measure(o, dir, n));
        std::filesystem::remove(dir + "/operators.sock");
    }
    std::filesystem::remove_all(dir);
    std::printf("load average after: %s\n", load_average().c_str());
    print_results(o, results);
    const bool ok = print_targets(results.back(), results.front());
    return o.strict && !ok ? 1 : 0;
}
