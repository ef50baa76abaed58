// daemon_bench: one command's round trip through the resident server
// (client process -> Unix socket -> daemon -> agent -> back) against the
// same command through a standalone cli-server, side by side in one run,
// and once more through a resident server that writes --metrics-file every
// second, to show what keeping the metrics costs the command path.
// Each side is a long-lived cli-server reading command lines on its standard
// input, so process start-up is not measured, only the line's way through:
// the driver times `echo ping` from the write of the line to the last byte
// of `ping` on the client's standard output. Both agents are the same echo
// agent (bench/agent_swarm.h), each connected to its own server's port.
#include "agent_swarm.h"
#include "bench_util.h"
#include "server_driver.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

constexpr double kTargetRatio = 1.5;

struct Options {
    size_t round_trips = 10000; // timed per side, over all rounds
    size_t rounds = 5;          // fresh processes each
    size_t warmup = 200;        // per side and round, before the timed ones
    bool strict = false;
    int cpu = -1; // pin the benchmark and every child to this CPU
    std::string server = CLI_SERVER_PATH;
};

Options parse_options(int argc, char **argv) {
    Options o;
    std::vector<Option> options = timed_rounds_options("--round-trips", "round trips per side",
                                                       o.round_trips, 2000, o.rounds);
    options.push_back(flag_option("--one-cpu",
                                  "pin the benchmark and every process it starts to CPU 0",
                                  [&o] { o.cpu = 0; }));
    options.push_back(
        flag_option("--strict", "exit with status 1 when the target is missed", o.strict));
    parse_command_line("daemon_bench", argc, argv, options);
    return o;
}

// Both sides of one round, started afresh: where the scheduler puts a
// chain of processes stays put for a while, and fresh processes each round
// keep one lucky or unlucky placement from deciding the whole run.
struct Round {
    double alone_median = 0, through_median = 0, metrics_median = 0;
    uint64_t alone_cpu = 0, client_cpu = 0, daemon_cpu = 0; // ns over the timed round trips
    uint64_t metrics_cpu = 0;                               // client and daemon with --metrics-file
};

Round run_round(const Options &o, const std::string &dir, size_t round, size_t n,
                Latency &all_alone, Latency &all_through, Latency &all_metrics) {
    // Standalone: the script's own process holds the agents' port.
    const uint16_t standalone_port = free_port();
    Child standalone(
        {o.server, "--standalone", "--port", std::to_string(standalone_port), "--wait", "30"},
        true);
    Driver alone(standalone);
    EchoAgent alone_agent(standalone_port, "bench");
    alone.send("attach bench\necho ready\n");
    alone.read_until_tail("ready\n");

    // Through the resident server: the client only has the socket.
    const std::string tag = std::to_string(round);
    ResidentSide plain(o.server, dir + "/operators" + tag + ".sock", {});
    ResidentSide metered(
        o.server, dir + "/metered" + tag + ".sock",
        {"--metrics-file", dir + "/metrics" + tag + ".prom", "--metrics-interval", "1"});
    Driver &through = *plain.driver;
    Child &daemon = plain.daemon;
    Child &client = *plain.client;

    for (size_t i = 0; i < o.warmup; ++i) {
        alone.round_trip();
        through.round_trip();
        metered.driver->round_trip();
    }
    Latency l_alone, l_through, l_metrics;
    const uint64_t alone0 = process_cpu_ns(standalone.pid), client0 = process_cpu_ns(client.pid),
                   daemon0 = process_cpu_ns(daemon.pid),
                   metered0 =
                       process_cpu_ns(metered.client->pid) + process_cpu_ns(metered.daemon.pid);
    // One round trip of each in turn, the side that goes first alternating,
    // so that both meet the same moments of a shared machine.
    for (size_t i = 0; i < n; ++i) {
        if (i % 2) {
            l_metrics.add(metered.driver->round_trip());
            l_through.add(through.round_trip());
            l_alone.add(alone.round_trip());
        } else {
            l_alone.add(alone.round_trip());
            l_through.add(through.round_trip());
            l_metrics.add(metered.driver->round_trip());
        }
    }
    Round r;
    r.alone_cpu = process_cpu_ns(standalone.pid) - alone0;
    r.client_cpu = process_cpu_ns(client.pid) - client0;
    r.daemon_cpu = process_cpu_ns(daemon.pid) - daemon0;
    r.metrics_cpu =
        process_cpu_ns(metered.client->pid) + process_cpu_ns(metered.daemon.pid) - metered0;
    r.alone_median = l_alone.median_us();
    r.through_median = l_through.median_us();
    r.metrics_median = l_metrics.median_us();
    for (uint64_t ns : l_alone.samples)
        all_alone.add(ns);
    for (uint64_t ns : l_through.samples)
        all_through.add(ns);
    for (uint64_t ns : l_metrics.samples)
        all_metrics.add(ns);
    alone.send("quit\n");
    through.send("quit\n");
    metered.driver->send("quit\n");
    return r;
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // On one CPU nothing runs in parallel: a round trip costs the sum of
    // what every process on its way does, wake-ups of idle CPUs left out.
    if (o.cpu >= 0 && !pin_current_thread(o.cpu)) fail("cannot pin to CPU 0");

    char templ[] = "/tmp/daemon_bench_XXXXXX";
    if (!mkdtemp(templ)) fail("mkdtemp");
    const std::string dir = templ;
    Latency l_alone, l_through, l_metrics;
    l_alone.reserve(o.round_trips);
    l_through.reserve(o.round_trips);
    l_metrics.reserve(o.round_trips);
    std::vector<Round> rounds;
    for (size_t i = 0; i < o.rounds; ++i) {
        const size_t n = o.round_trips / o.rounds + (i < o.round_trips % o.rounds ? 1 : 0);
        rounds.push_back(run_round(o, dir, i, n, l_alone, l_through, l_metrics));
    }
    std::filesystem::remove_all(dir);

    uint64_t alone_ns = 0, client_ns = 0, daemon_ns = 0, metrics_ns = 0;
    for (const Round &r : rounds) {
        alone_ns += r.alone_cpu;
        client_ns += r.client_cpu;
        daemon_ns += r.daemon_cpu;
        metrics_ns += r.metrics_cpu;
    }
    const double per_rt = 1e3 * static_cast<double>(o.round_trips);
    const double alone_cpu = static_cast<double>(alone_ns) / per_rt;
    const double client_cpu = static_cast<double>(client_ns) / per_rt;
    const double daemon_cpu = static_cast<double>(daemon_ns) / per_rt;
    const double ratio = l_through.median_us() / l_alone.median_us();

    std::printf("cli-server round trip of `echo ping`, write of the line to the last byte of its "
                "output (microseconds), %zu rounds%s\n",
                o.rounds, o.cpu >= 0 ? ", everything on CPU 0" : "");
    std::printf("%-40s %8s %9s %9s %9s %9s\n", "subject", "n", "median", "p99", "max", "CPU/rt");
    auto row = [](const char *name, Latency &l, double cpu) {
        std::printf("%-40s %8zu %9.1f %9.1f %9.1f %9.1f\n", name, l.count(), l.median_us(),
                    l.p99_us(), l.max_us(), cpu);
    };
    row("standalone (one process, agent port)", l_alone, alone_cpu);
    row("client -> Unix socket -> daemon", l_through, client_cpu + daemon_cpu);
    row("daemon writing --metrics-file every 1 s", l_metrics,
        static_cast<double>(metrics_ns) / per_rt);
    std::printf("(CPU/rt: CPU time of the cli-server processes per round trip, kernel included; "
                "through the daemon %.1f in the client, %.1f in the daemon)\n",
                client_cpu, daemon_cpu);
    std::printf("median ratio per round:");
    for (const Round &r : rounds)
        std::printf(" %.2f", r.through_median / r.alone_median);
    std::printf("\n\nmedian ratio, daemon / standalone: %.2f x (p99 ratio %.2f x)\n", ratio,
                l_through.p99_us() / l_alone.p99_us());
    std::printf("median ratio, daemon with --metrics-file / without: %.2f x (p99 ratio %.2f x)\n",
                l_metrics.median_us() / l_through.median_us(),
                l_metrics.p99_us() / l_through.p99_us());
    const bool ok = ratio <= kTargetRatio;
    std::printf("%s  daemon median <= %.1f x standalone median\n", ok ? "PASS" : "FAIL",
                kTargetRatio);
    return o.strict && !ok ? 1 : 0;
}
