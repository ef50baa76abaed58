// cli_bench: round-trip latency, streaming throughput and memory of the
// agent, each next to its baselines measured in the same run: raw loopback
// TCP (the physical limit) and libcli (the usual alternative).
//
// The two ends of every connection run on different CPUs: the client (this
// thread) on CPU 0, the serving end (raw peer, agent thread, libcli thread)
// on CPU 1. Subjects take turns in blocks so that all of them see the same
// moments of a noisy machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.h"
#include "bench_libcli.h"
#include "bench_raw.h"
#include "bench_report.h"
#include "bench_util.h"

using namespace bench;

namespace {

struct Options {
    size_t round_trips = 10000; // per subject
    size_t rt_block = 1000;     // round trips per turn
    size_t warmup = 2000;       // per subject, before measuring
    size_t nagle_round_trips = 40;
    uint64_t stream_mib = 256; // per subject
    uint64_t stream_block_mib = 16;
    bool strict = false;  // exit 1 when a target fails
    bool verbose = false; // print every stream block
};

void apply_quick(Options &o) {
    o.round_trips = 2000;
    o.rt_block = 250;
    o.warmup = 500;
    o.nagle_round_trips = 10;
    o.stream_mib = 64;
    o.stream_block_mib = 4;
}

Options parse_options(int argc, char **argv) {
    Options o;
    parse_command_line(
        "cli_bench", argc, argv,
        {flag_option("--quick", "2000 round trips and 64 MiB per subject",
                     [&o] { apply_quick(o); }),
         count_option("--round-trips", "round trips per subject (default 10000)",
                      [&o](size_t n) {
                          o.round_trips = n;
                          o.rt_block = std::min(o.rt_block, o.round_trips);
                      }),
         count_option("--mib", "MiB streamed per subject (default 256)",
                      [&o](size_t n) {
                          o.stream_mib = n;
                          o.stream_block_mib = std::min(o.stream_block_mib, o.stream_mib);
                      }),
         flag_option("--strict", "exit with status 1 when a target fails", o.strict),
         flag_option("--verbose", "print the throughput of every stream block", o.verbose)});
    return o;
}

void warm_up(std::vector<RoundTripSubject> &subjects, size_t n) {
    for (auto &s : subjects)
        for (size_t i = 0; i < n; ++i)
            (void)s.once();
}

// Subjects take turns, one block each, starting with a different one every
// round so that none always follows the same other.
void run_round_trips(std::vector<RoundTripSubject> &subjects, const Options &o) {
    for (auto &s : subjects)
        s.lat.reserve(o.round_trips);
    size_t rounds = (o.round_trips + o.rt_block - 1) / o.rt_block;
    for (size_t r = 0; r < rounds; ++r) {
        size_t n = std::min(o.rt_block, o.round_trips - r * o.rt_block);
        for (size_t k = 0; k < subjects.size(); ++k) {
            auto &s = subjects[(r + k) % subjects.size()];
            uint64_t cpu0 = s.serving.now_ns();
            for (size_t i = 0; i < n; ++i)
                s.lat.add(s.once());
            s.serving_cpu_ns += s.serving.now_ns() - cpu0;
        }
    }
}

void run_streams(std::vector<StreamSubject> &subjects, const Options &o) {
    // One unmeasured block each first: socket buffers grow to their working
    // size on the first large transfer of a connection.
    for (auto &s : subjects)
        (void)s.once(o.stream_block_mib);
    uint64_t rounds = (o.stream_mib + o.stream_block_mib - 1) / o.stream_block_mib;
    for (uint64_t r = 0; r < rounds; ++r) {
        uint64_t mib = std::min(o.stream_block_mib, o.stream_mib - r * o.stream_block_mib);
        for (size_t k = 0; k < subjects.size(); ++k) {
            auto &s = subjects[(r + k) % subjects.size()];
            uint64_t cpu0 = s.serving.now_ns();
            uint64_t ns = s.once(mib);
            s.serving_cpu_ns += s.serving.now_ns() - cpu0;
            s.tp.add(mib << 20, ns);
            if (o.verbose)
                std::printf("block %llu  %-40s %6.2f GiB/s\n", static_cast<unsigned long long>(r),
                            s.name.c_str(), static_cast<double>(mib) / 1024 / (ns / 1e9));
        }
    }
}

void idle_a_moment() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

Resident added_since(const Resident &before) {
    Resident now = resident_now();
    return {now.total - before.total, now.anonymous - before.anonymous};
}

// Memory comes first, before any other traffic: resident memory added by an
// agent that is connected and idle, then by an idle libcli session (which
// stays open for the later measurements).
std::unique_ptr<LibcliSession> measure_idle_memory(AgentServer &agent, const LibcliApi *libcli,
                                                   MemoryFigures &m) {
    idle_a_moment();
    Resident before_agent = resident_now();
    agent.start_agent();
    idle_a_moment();
    m.agent = added_since(before_agent);

    Resident before_libcli = resident_now();
    auto session = std::make_unique<LibcliSession>(libcli, true);
    idle_a_moment();
    m.libcli = added_since(before_libcli);
    return session;
}

std::vector<RoundTripSubject> round_trip_subjects(RawPeer &peer, RawClient &raw, AgentServer &agent,
                                                  LibcliSession &lc) {
    std::vector<RoundTripSubject> s;
    s.emplace_back(
        "raw TCP ping-pong, 24 B / 20 B", [&raw] { return raw.round_trip(); }, peer.cpu_clock());
    s.emplace_back(
        "agent, empty handler", [&agent] { return agent.run(AgentServer::empty_command()); },
        agent.cpu_clock());
    s.emplace_back(
        "agent, one cli_print line", [&agent] { return agent.run(AgentServer::line_command()); },
        agent.cpu_clock());
    s.emplace_back(
        "libcli, empty, TCP_NODELAY", [&lc] { return lc.run("noop"); }, lc.cpu_clock());
    s.emplace_back(
        "libcli, one line, TCP_NODELAY", [&lc] { return lc.run("line"); }, lc.cpu_clock());
    return s;
}

void expect_bytes(uint64_t got, uint64_t mib, const char *who) {
    if (got < (mib << 20)) fail(std::string(who) + " stream came up short");
}

std::vector<StreamSubject> stream_subjects(RawPeer &peer, RawClient &raw, AgentServer &agent,
                                           LibcliSession &lc, std::vector<char> &sink) {
    std::vector<StreamSubject> s;
    s.emplace_back(
        "raw loopback, 64 KiB writes",
        [&raw, &sink](uint64_t mib) { return raw.stream(mib << 20, sink); }, peer.cpu_clock());
    s.emplace_back(
        "agent cli_send_buffer, 64 KiB pieces",
        [&agent](uint64_t mib) {
            uint64_t got = 0;
            uint64_t t = agent.run(AgentServer::send_buffer_command(mib), &got);
            expect_bytes(got, mib, "cli_send_buffer");
            return t;
        },
        agent.cpu_clock());
    s.emplace_back(
        "agent cli_print_buffer, 4 KiB lines",
        [&agent](uint64_t mib) {
            uint64_t got = 0;
            uint64_t t = agent.run(AgentServer::print_buffer_command(mib), &got);
            expect_bytes(got, mib, "cli_print_buffer");
            return t;
        },
        agent.cpu_clock());
    s.emplace_back(
        "libcli cli_print, 4 KiB lines",
        [&lc](uint64_t mib) {
            uint64_t got = 0; // the lines, plus the echo and the prompt
            uint64_t t = lc.run(LibcliSession::print_command(mib), &got);
            expect_bytes(got, mib, "libcli");
            return t;
        },
        lc.cpu_clock());
    return s;
}

// Without TCP_NODELAY libcli's small writes wait for delayed ACKs; a few
// dozen round trips show it without taking minutes.
void measure_libcli_with_nagle(const LibcliApi *libcli, const Options &o, Results &r) {
    LibcliSession slow(libcli, false);
    for (int i = 0; i < 3; ++i)
        (void)slow.run("noop");
    for (size_t i = 0; i < o.nagle_round_trips; ++i) {
        r.nagle_empty.add(slow.run("noop"));
        r.nagle_line.add(slow.run("line"));
    }
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!have_two_cpus())
        std::printf("warning: CPUs %d and %d are not both available; ends are not pinned apart\n",
                    kClientCpu, kServingCpu);
    (void)pin_current_thread(kClientCpu);

    // Loaded before the memory baseline, so its code does not count.
    std::string why;
    const LibcliApi *libcli = load_libcli(&why);
    if (libcli == nullptr) {
        std::fprintf(stderr, "cli_bench: libcli is needed as the comparison peer: %s\n",
                     why.c_str());
        return 2;
    }

    Results r;
    AgentServer agent;
    std::unique_ptr<LibcliSession> lc = measure_idle_memory(agent, libcli, r.memory);
    int agent_cpu = agent.agent_cpu();
    r.memory.allocations_per_command = agent.allocations_per_command(200);
    r.memory.stack = agent.measure_stack();

    // Raw baseline: several connections' worth of warm-up, then one measured
    // connection.
    RawPeer peer;
    for (int c = 0; c < 3; ++c) {
        RawClient w(peer.port());
        for (size_t i = 0; i < o.warmup; ++i)
            (void)w.round_trip();
    }
    RawClient raw(peer.port());

    r.round_trips = round_trip_subjects(peer, raw, agent, *lc);
    warm_up(r.round_trips, o.warmup);
    run_round_trips(r.round_trips, o);

    std::vector<char> sink(256 * 1024);
    r.streams = stream_subjects(peer, raw, agent, *lc, sink);
    run_streams(r.streams, o);

    measure_libcli_with_nagle(libcli, o, r);

    std::printf("cli_bench: client on CPU %d, agent thread on CPU %d, libcli from %s\n",
                current_cpu(), agent_cpu, libcli_soname(libcli));
    print_round_trip_table(r);
    print_stream_table(r);
    print_memory_table(r.memory);
    bool all_passed = print_targets(r);
    return o.strict && !all_passed ? 1 : 0;
}
