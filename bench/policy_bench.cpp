// policy_bench: what an access policy of 1,000 rules adds to one command's
// round trip through the resident server, against a resident server with
// no policy, side by side in one run. Every rule but the last misses on
// the agent's name (a shell pattern to match), so each command walks all
// of them: the worst a policy of that size costs. Root and the server's own
// user are not subject to a policy, so the clients run as nobody (through
// setpriv), admitted by --group; the benchmark needs root for that.
#include "agent_swarm.h"
#include "bench_util.h"
#include "server_driver.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace bench;

namespace {

constexpr double kTargetRatio = 1.05;
constexpr size_t kRules = 1000;
constexpr const char *kClientGroup = "nogroup";

struct Options {
    size_t round_trips = 10000; // timed per side, over all rounds
    size_t rounds = 5;          // fresh processes each
    size_t warmup = 200;
    bool strict = false;
    std::string server = CLI_SERVER_PATH;
};

Options parse_options(int argc, char **argv) {
    Options o;
    std::vector<Option> options = timed_rounds_options("--round-trips", "round trips per side",
                                                       o.round_trips, 2000, o.rounds);
    options.push_back(
        flag_option("--strict", "exit with status 1 when the target is missed", o.strict));
    parse_command_line("policy_bench", argc, argv, options);
    return o;
}

// kRules rules; only the last lets anybody run echo on the agent "bench".
std::string write_policy(const std::string &dir) {
    const std::string path = dir + "/policy";
    std::ofstream out(path);
    for (size_t i = 1; i < kRules; ++i)
        out << "*  web-" << i << "-*,db-" << i << "  echo status show*\n";
    out << "*  bench  echo\n";
    out.close();
    chmod(path.c_str(), 0644);
    return path;
}

// A side as nobody (the clients run through setpriv), admitted by --group;
// extra: more of the daemon's options.
ResidentSide side(const Options &o, const std::string &socket_path, gid_t gid,
                  const std::vector<std::string> &extra) {
    std::vector<std::string> daemon_extra{"--group", kClientGroup};
    daemon_extra.insert(daemon_extra.end(), extra.begin(), extra.end());
    return ResidentSide(
        o.server, socket_path, daemon_extra,
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=" + std::to_string(gid), "--clear-groups"});
}

// The median of each side in one round of fresh processes.
std::pair<double, double> run_round(const Options &o, const std::string &dir, gid_t gid,
                                    const std::string &policy, size_t round, size_t n,
                                    Latency &all_plain, Latency &all_policed) {
    const std::string tag = std::to_string(round);
    ResidentSide plain = side(o, dir + "/plain" + tag + ".sock", gid, {});
    ResidentSide policed = side(o, dir + "/policed" + tag + ".sock", gid, {"--policy", policy});
    for (size_t i = 0; i < o.warmup; ++i) {
        plain.driver->round_trip();
        policed.driver->round_trip();
    }
    Latency l_plain, l_policed;
    // In turn, the side that goes first alternating.
    for (size_t i = 0; i < n; ++i) {
        if (i % 2) {
            l_policed.add(policed.driver->round_trip());
            l_plain.add(plain.driver->round_trip());
        } else {
            l_plain.add(plain.driver->round_trip());
            l_policed.add(policed.driver->round_trip());
        }
    }
    for (uint64_t ns : l_plain.samples)
        all_plain.add(ns);
    for (uint64_t ns : l_policed.samples)
        all_policed.add(ns);
    plain.driver->send("quit\n");
    policed.driver->send("quit\n");
    return {l_plain.median_us(), l_policed.median_us()};
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    group *g = getgrnam(kClientGroup);
    if (geteuid() != 0 || !g) {
        std::printf("policy_bench: skipped: the clients run as nobody (group %s), which needs "
                    "root\n",
                    kClientGroup);
        return 0;
    }
    const gid_t gid = g->gr_gid;
    char templ[] = "/tmp/policy_bench_XXXXXX";
    if (!mkdtemp(templ)) fail("mkdtemp");
    const std::string dir = templ;
    chmod(dir.c_str(), 0711); // nobody reaches the sockets, nothing else
    const std::string policy = write_policy(dir);
    Latency l_plain, l_policed;
    std::vector<std::pair<double, double>> rounds;
    for (size_t i = 0; i < o.rounds; ++i) {
        const size_t n = o.round_trips / o.rounds + (i < o.round_trips % o.rounds ? 1 : 0);
        rounds.push_back(run_round(o, dir, gid, policy, i, n, l_plain, l_policed));
    }
    std::filesystem::remove_all(dir);

    std::printf("round trip of `echo ping` through the resident server, client as nobody "
                "(microseconds), %zu rounds\n",
                o.rounds);
    std::printf("%-40s %8s %9s %9s %9s\n", "subject", "n", "median", "p99", "max");
    auto row = [](const char *name, Latency &l) {
        std::printf("%-40s %8zu %9.1f %9.1f %9.1f\n", name, l.count(), l.median_us(), l.p99_us(),
                    l.max_us());
    };
    row("no policy", l_plain);
    row("--policy of 1,000 rules (last matches)", l_policed);
    std::printf("median ratio per round:");
    for (const auto &[plain, policed] : rounds)
        std::printf(" %.3f", policed / plain);
    const double ratio = l_policed.median_us() / l_plain.median_us();
    std::printf("\n\nmedian ratio, 1,000 rules / no policy: %.3f x (p99 ratio %.3f x)\n", ratio,
                l_policed.p99_us() / l_plain.p99_us());
    const bool ok = ratio <= kTargetRatio;
    std::printf("%s  policy median <= %.2f x no policy\n", ok ? "PASS" : "FAIL", kTargetRatio);
    return o.strict && !ok ? 1 : 0;
}
