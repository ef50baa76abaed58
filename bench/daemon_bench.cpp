// daemon_bench: one command's round trip through the resident server
// (client process -> Unix socket -> daemon -> agent -> back) against the
// same command through a standalone cli-server, side by side in one run,
// and once more through a resident server that writes --metrics-file every
// second, to show what keeping the metrics costs the command path. A fourth
// side puts a bare relay process (bench/relay_process.h) before a standalone
// server: the same hops and process wake-ups per command as a client and
// its daemon, with none of their work, so its ratio to the standalone side
// is the floor of any design with a process between the operator and the
// agents.
// Each side is a long-lived cli-server reading command lines on its standard
// input, so process start-up is not measured, only the line's way through:
// the driver times `echo ping` from the write of the line to the last byte
// of `ping` on the client's standard output. Both agents are the same echo
// agent (bench/agent_swarm.h), each connected to its own server's port.
#include "agent_swarm.h"
#include "bench_util.h"
#include "relay_process.h"
#include "server_driver.h"

#include <signal.h>
#include <sys/socket.h>
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

constexpr double kTargetRatio = 1.4;

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
    double alone_median = 0, through_median = 0, metrics_median = 0, relayed_median = 0;
    uint64_t alone_cpu = 0, client_cpu = 0, daemon_cpu = 0; // ns over the timed round trips
    uint64_t metrics_cpu = 0;                               // client and daemon with --metrics-file
    uint64_t relayed_cpu = 0, relay_cpu = 0; // standalone behind the relay; the relay
};

// Pooled samples of every side over all rounds.
struct Samples {
    Latency alone, through, metrics, relayed;
};

// A standalone server driven through a RelayProcess: its standard input
// and output are a Unix socket, as a cli-server client's link to the daemon.
struct BehindRelay {
    explicit BehindRelay(const Options &o) : port(free_port()) {
        int ends[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fail("socketpair");
        server =
            std::make_unique<Child>(std::vector<std::string>{o.server, "--standalone", "--port",
                                                             std::to_string(port), "--wait", "30"},
                                    ends[0]);
        relay = std::make_unique<RelayProcess>(ends[1]);
        close(ends[0]);
        close(ends[1]);
        driver = std::make_unique<Driver>(relay->in(), relay->out());
        agent = std::make_unique<EchoAgent>(port, "bench");
        driver->attach("bench");
    }

    uint16_t port;
    std::unique_ptr<Child> server;
    std::unique_ptr<RelayProcess> relay;
    std::unique_ptr<Driver> driver;
    std::unique_ptr<EchoAgent> agent;
};

Round run_round(const Options &o, const std::string &dir, size_t round, size_t n, Samples &all) {
    // Standalone: the script's own process holds the agents' port.
    const uint16_t standalone_port = free_port();
    Child standalone(
        {o.server, "--standalone", "--port", std::to_string(standalone_port), "--wait", "30"},
        true);
    Driver alone(standalone);
    EchoAgent alone_agent(standalone_port, "bench");
    alone.attach("bench");
    BehindRelay relayed(o);

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
        relayed.driver->round_trip();
        through.round_trip();
        metered.driver->round_trip();
    }
    Latency l_alone, l_through, l_metrics, l_relayed;
    const uint64_t alone0 = process_cpu_ns(standalone.pid), client0 = process_cpu_ns(client.pid),
                   daemon0 = process_cpu_ns(daemon.pid),
                   metered0 =
                       process_cpu_ns(metered.client->pid) + process_cpu_ns(metered.daemon.pid),
                   relayed0 = process_cpu_ns(relayed.server->pid),
                   relay0 = process_cpu_ns(relayed.relay->pid());
    // One round trip of each in turn, the order reversed every other time,
    // so that every side meets the same moments of a shared machine.
    for (size_t i = 0; i < n; ++i) {
        if (i % 2) {
            l_metrics.add(metered.driver->round_trip());
            l_through.add(through.round_trip());
            l_relayed.add(relayed.driver->round_trip());
            l_alone.add(alone.round_trip());
        } else {
            l_alone.add(alone.round_trip());
            l_relayed.add(relayed.driver->round_trip());
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
    r.relayed_cpu = process_cpu_ns(relayed.server->pid) - relayed0;
    r.relay_cpu = process_cpu_ns(relayed.relay->pid()) - relay0;
    r.alone_median = l_alone.median_us();
    r.through_median = l_through.median_us();
    r.metrics_median = l_metrics.median_us();
    r.relayed_median = l_relayed.median_us();
    for (auto [from, to] :
         {std::pair{&l_alone, &all.alone}, std::pair{&l_through, &all.through},
          std::pair{&l_metrics, &all.metrics}, std::pair{&l_relayed, &all.relayed}})
        to->samples.insert(to->samples.end(), from->samples.begin(), from->samples.end());
    alone.send("quit\n");
    relayed.driver->send("quit\n");
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
    Samples all;
    for (Latency *l : {&all.alone, &all.through, &all.metrics, &all.relayed})
        l->reserve(o.round_trips);
    std::vector<Round> rounds;
    for (size_t i = 0; i < o.rounds; ++i) {
        const size_t n = o.round_trips / o.rounds + (i < o.round_trips % o.rounds ? 1 : 0);
        rounds.push_back(run_round(o, dir, i, n, all));
    }
    std::filesystem::remove_all(dir);

    Round sum;
    for (const Round &r : rounds) {
        sum.alone_cpu += r.alone_cpu;
        sum.client_cpu += r.client_cpu;
        sum.daemon_cpu += r.daemon_cpu;
        sum.metrics_cpu += r.metrics_cpu;
        sum.relayed_cpu += r.relayed_cpu;
        sum.relay_cpu += r.relay_cpu;
    }
    const double per_rt = 1e3 * static_cast<double>(o.round_trips);
    auto us = [per_rt](uint64_t ns) { return static_cast<double>(ns) / per_rt; };
    const double ratio = all.through.median_us() / all.alone.median_us();
    const double floor = all.relayed.median_us() / all.alone.median_us();

    std::printf("cli-server round trip of `echo ping`, write of the line to the last byte of its "
                "output (microseconds), %zu rounds%s\n",
                o.rounds, o.cpu >= 0 ? ", everything on CPU 0" : "");
    std::printf("%-44s %8s %9s %9s %9s %9s\n", "subject", "n", "median", "p99", "max", "CPU/rt");
    auto row = [](const char *name, Latency &l, double cpu) {
        std::printf("%-44s %8zu %9.1f %9.1f %9.1f %9.1f\n", name, l.count(), l.median_us(),
                    l.p99_us(), l.max_us(), cpu);
    };
    row("standalone (one process, agent port)", all.alone, us(sum.alone_cpu));
    row("relay process -> Unix socket -> standalone", all.relayed,
        us(sum.relayed_cpu + sum.relay_cpu));
    row("client -> Unix socket -> daemon", all.through, us(sum.client_cpu + sum.daemon_cpu));
    row("daemon writing --metrics-file every 1 s", all.metrics, us(sum.metrics_cpu));
    std::printf("(CPU/rt: CPU time of the cli-server processes per round trip, kernel included; "
                "through the relay %.1f in the relay, %.1f in the server; through the daemon %.1f "
                "in the client, %.1f in the daemon)\n",
                us(sum.relay_cpu), us(sum.relayed_cpu), us(sum.client_cpu), us(sum.daemon_cpu));
    std::printf("median ratio per round, daemon / standalone:");
    for (const Round &r : rounds)
        std::printf(" %.2f", r.through_median / r.alone_median);
    std::printf("\nmedian ratio per round, relay / standalone: ");
    for (const Round &r : rounds)
        std::printf(" %.2f", r.relayed_median / r.alone_median);
    std::printf("\n\nmedian ratio, daemon / standalone: %.2f x (p99 ratio %.2f x)\n", ratio,
                all.through.p99_us() / all.alone.p99_us());
    std::printf("median ratio, relay / standalone (the floor of a process between): %.2f x\n",
                floor);
    std::printf("median ratio, daemon / relay (the daemon's work above that floor): %.2f x\n",
                all.through.median_us() / all.relayed.median_us());
    std::printf("median ratio, daemon with --metrics-file / without: %.2f x (p99 ratio %.2f x)\n",
                all.metrics.median_us() / all.through.median_us(),
                all.metrics.p99_us() / all.through.p99_us());
    const bool ok = ratio <= kTargetRatio;
    std::printf("%s  daemon median <= %.1f x standalone median\n", ok ? "PASS" : "FAIL",
                kTargetRatio);
    return o.strict && !ok ? 1 : 0;
}
