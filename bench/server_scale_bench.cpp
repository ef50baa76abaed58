// server_scale_bench: what idle agents cost cli-server. A real host (the
// example host) and a swarm of fake idle agents connect to cli-server; this
// driver times one-line commands through the server's standard input and
// output with 0, 1,000 and 10,000 idle agents in one run, the connect and
// greeting of 10,000, `ls` with 10,000, the server's resident memory per
// idle agent and its CPU time while idle, and one-line commands while
// another agent floods output. Run it in a private network namespace
// (scripts/bench.sh --scale does) so that it meets no other server.
#include "agent_swarm.h"
#include "bench_util.h"
#include "server_driver.h"

#include "protocol.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace bench;

namespace {

struct Options {
    size_t commands = 2000; // timed per phase, over all rounds
    size_t rounds = 4;      // the phases take turns, so all see the same moments of the machine
    size_t warmup = 50;     // per phase and round
    size_t large = 10000;
    size_t medium = 1000;
    std::string server = CLI_SERVER_PATH;
    std::string host = EXAMPLE_HOST_PATH;
};

Options parse_options(int argc, char **argv) {
    Options o;
    parse_command_line(
        "server_scale_bench", argc, argv,
        timed_rounds_options("--commands", "commands per phase", o.commands, 500, o.rounds));
    return o;
}

// User plus system CPU time of a process, in clock ticks.
uint64_t cpu_ticks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return utime + stime;
}

struct Phase {
    double median = 0, p99 = 0;
};

const char *verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit(o.large + 256);
    const uint16_t port = cli_protocol::agent_port;

    Child server({o.server, "--wait", "30"}, true);
    Driver drive(server);
    Child host({o.host, "7", "host"}, false);
    drive.attach("host");

    Latency none, medium, large, flooded;
    double connect_s = 0, ls_ms = 0, per_agent_kib = 0, idle_cpu_ms = 0, flood_gib = 0;
    const size_t per_block = std::max<size_t>(1, o.commands / o.rounds);
    for (size_t round = 0; round < o.rounds; ++round) {
        drive.time_commands(none, o.warmup, per_block);
        const uint64_t rss0 = process_status_kib(server.pid, "VmRSS");

        AgentSwarm swarm(port);
        swarm.connect(o.medium, "idle");
        drive.time_commands(medium, o.warmup, per_block);
        swarm.close_all();
        drive.wait_for_agents(1);

        AgentSwarm big(port);
        const double connect = big.connect(o.large, "swarm") / 1e9;
        drive.time_commands(large, o.warmup, per_block);
        if (round == 0) {
            connect_s = connect;
            const uint64_t rss = process_status_kib(server.pid, "VmRSS");
            if (rss > rss0)
                per_agent_kib = static_cast<double>(rss - rss0) / static_cast<double>(o.large);
            // `ls` once to page in what it touches, then timed: the server
            // writes it into a pipe, so no terminal is counted.
            if (drive.listed_agents() != o.large + 1) fail("ls does not list every agent");
            uint64_t t0 = now_ns();
            drive.send("ls\n");
            drive.read_lines(o.large + 2); // header, the host, the swarm
            ls_ms = (now_ns() - t0) / 1e6;
            const uint64_t ticks0 = cpu_ticks(server.pid);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            idle_cpu_ms = static_cast<double>(cpu_ticks(server.pid) - ticks0) * 1000.0 /
                          static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        big.close_all();
        drive.wait_for_agents(1);

        OutputFlooder flood(port);
        const uint64_t f0 = now_ns();
        drive.time_commands(flooded, o.warmup, per_block);
        flood_gib += flood.bytes_sent() / ((now_ns() - f0) / 1e9) / (1u << 30) / o.rounds;
    }

    std::printf("cli-server with idle agents: %zu rounds of %zu one-line commands per phase\n",
                o.rounds, per_block);
    auto show = [](const char *name, Latency &l) {
        std::printf("  %-28s median %8.1f us   p99 %8.1f us\n", name, l.median_us(), l.p99_us());
    };
    show("0 idle agents", none);
    show("1,000 idle agents", medium);
    show("10,000 idle agents", large);
    show("0 idle, 1 flooding agent", flooded);
    const Phase base{none.median_us(), none.p99_us()}, mid{medium.median_us(), medium.p99_us()},
        big{large.median_us(), large.p99_us()}, flood{flooded.median_us(), flooded.p99_us()};
    std::printf("\n  %-44s %10s %10s\n", "figure", "value", "target");
    auto row = [](const char *what, double v, const char *unit, double target, bool ok) {
        std::printf("  %-44s %8.2f %-3s <= %-6.2f %s\n", what, v, unit, target, verdict(ok));
    };
    auto info = [](const char *what, double v, const char *unit) {
        std::printf("  %-44s %8.2f %-3s\n", what, v, unit);
    };
    info("median, 1,000 idle / 0", mid.median / base.median, "x");
    info("p99, 1,000 idle / 0", mid.p99 / base.p99, "x");
    row("median, 10,000 idle / 0", big.median / base.median, "x", 1.2,
        big.median <= 1.2 * base.median);
    row("p99, 10,000 idle / 0", big.p99 / base.p99, "x", 2, big.p99 <= 2 * base.p99);
    row("connect and greet 10,000 agents", connect_s, "s", 2, connect_s < 2);
    row("ls with 10,000 agents", ls_ms, "ms", 100, ls_ms < 100);
    row("resident memory per idle agent", per_agent_kib, "KiB", 4, per_agent_kib <= 4);
    row("CPU while idle with 10,000 agents (2 s)", idle_cpu_ms, "ms", 0, idle_cpu_ms == 0);
    row("median with a flooding agent / without", flood.median / base.median, "x", 2,
        flood.median <= 2 * base.median);
    std::printf("  (the flooding agent sent %.2f GiB/s of output the server read and dropped)\n",
                flood_gib);
    drive.send("quit\n");
    return 0;
}
