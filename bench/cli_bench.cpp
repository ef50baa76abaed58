// cli_bench: round-trip latency, streaming throughput and memory of the
// agent, each next to its baseline measured in the same run: raw loopback
// TCP (the physical limit) and libcli (the usual alternative).
//
// The two ends of every connection run on different CPUs: the client (this
// thread) on CPU 0, the serving end (raw peer, agent thread, libcli thread)
// on CPU 1. Subjects take turns in blocks so that all of them see the same
// moments of a noisy machine.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.h"
#include "bench_libcli.h"
#include "bench_raw.h"
#include "bench_util.h"

using namespace bench;

namespace {

struct Options {
    size_t round_trips = 10000; // per subject
    size_t rt_block = 1000;     // round trips per turn
    size_t warmup = 2000;       // per subject, before measuring
    size_t nagle_round_trips = 40;
    uint64_t stream_mib = 256; // per subject
    uint64_t stream_block_mib = 32;
    bool strict = false; // exit 1 when a target fails
};

void usage() {
    std::printf("usage: cli_bench [--quick] [--round-trips N] [--mib N] [--strict]\n"
                "  --quick          2000 round trips and 64 MiB per subject\n"
                "  --round-trips N  round trips per subject (default 10000)\n"
                "  --mib N          MiB streamed per subject (default 256)\n"
                "  --strict         exit with status 1 when a target fails\n");
}

Options parse_options(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (a == "--quick") {
            o.round_trips = 2000;
            o.rt_block = 250;
            o.warmup = 500;
            o.nagle_round_trips = 10;
            o.stream_mib = 64;
            o.stream_block_mib = 8;
        } else if (a == "--round-trips") {
            o.round_trips = std::max<uint64_t>(value(), 1);
            o.rt_block = std::min(o.rt_block, o.round_trips);
        } else if (a == "--mib") {
            o.stream_mib = std::max<uint64_t>(value(), 1);
            o.stream_block_mib = std::min(o.stream_block_mib, o.stream_mib);
        } else if (a == "--strict") {
            o.strict = true;
        } else {
            usage();
            std::exit(a == "--help" || a == "-h" ? 0 : 2);
        }
    }
    return o;
}

struct RoundTripSubject {
    std::string name;
    std::function<uint64_t()> once;
    ThreadCpuClock serving; // the thread that answers
    Latency lat;
    uint64_t serving_cpu_ns = 0;
    double serving_cpu_us_per_op() const {
        return lat.count() == 0 ? 0.0 : static_cast<double>(serving_cpu_ns) / 1000.0 / lat.count();
    }
};

struct StreamSubject {
    std::string name;
    // Moves `mib` MiB; returns nanoseconds and checks the byte count.
    std::function<uint64_t(uint64_t mib)> once;
    ThreadCpuClock serving; // the thread that writes
    Throughput tp;
    uint64_t serving_cpu_ns = 0;
    double serving_cpu_s_per_gib() const {
        return tp.bytes == 0 ? 0.0
                             : static_cast<double>(serving_cpu_ns) / 1e9 /
                                   (static_cast<double>(tp.bytes) / (1u << 30));
    }
};

// Subjects take turns, one block each, starting with a different one every
// round so that none is always first after another's turn.
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
            if (std::getenv("CLI_BENCH_BLOCKS") != nullptr)
                std::printf("block %llu %-40s %.2f GiB/s\n", static_cast<unsigned long long>(r),
                            s.name.c_str(), static_cast<double>(mib) / 1024 / (ns / 1e9));
        }
    }
}

void warm_up(std::vector<RoundTripSubject> &subjects, size_t n) {
    for (auto &s : subjects)
        for (size_t i = 0; i < n; ++i)
            (void)s.once();
}

void idle_a_moment() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

Resident added_since(const Resident &before) {
    Resident now = resident_now();
    return {now.total - before.total, now.anonymous - before.anonymous};
}

double kib(uint64_t bytes) {
    return static_cast<double>(bytes) / 1024.0;
}

struct Target {
    std::string what;
    bool pass;
    std::string figures;
};

std::string fmt(const char *f, double a, double b = 0, double c = 0) {
    std::array<char, 160> buf;
    std::snprintf(buf.data(), buf.size(), f, a, b, c);
    return buf.data();
}

void print_round_trip_table(std::vector<RoundTripSubject> &rts, Latency *nagle_empty,
                            Latency *nagle_line) {
    auto &raw = rts[0].lat;
    std::printf("\nRound trip, request sent to reply complete (microseconds)\n");
    std::printf("%-34s %6s %8s %8s %8s %7s %7s %7s %8s\n", "subject", "n", "median", "p99", "max",
                "med/raw", "p99/raw", "max/raw", "srv CPU");
    auto row = [&](const std::string &name, Latency &l, double cpu_us) {
        std::printf("%-34s %6zu %8.1f %8.1f %8.1f %7.2f %7.2f %7.2f", name.c_str(), l.count(),
                    l.median_us(), l.p99_us(), l.max_us(), l.median_us() / raw.median_us(),
                    l.p99_us() / raw.p99_us(), l.max_us() / raw.max_us());
        if (cpu_us > 0)
            std::printf(" %8.1f\n", cpu_us);
        else
            std::printf(" %8s\n", "-");
    };
    for (auto &s : rts)
        row(s.name, s.lat, s.serving_cpu_us_per_op());
    if (nagle_empty != nullptr) row("libcli, empty, no TCP_NODELAY", *nagle_empty, 0);
    if (nagle_line != nullptr) row("libcli, one line, no TCP_NODELAY", *nagle_line, 0);
    std::printf("(srv CPU: CPU time of the answering thread per round trip, kernel included)\n");
}

void print_stream_table(std::vector<StreamSubject> &streams) {
    double raw = streams[0].tp.gib_per_s();
    std::printf("\nStreaming (GiB/s, output bytes over time from request to last byte)\n");
    std::printf("%-42s %7s %9s %8s %12s\n", "subject", "MiB", "GiB/s", "/raw", "srv CPU s/GiB");
    for (auto &s : streams)
        std::printf("%-42s %7llu %9.2f %8.2f %12.2f\n", s.name.c_str(),
                    static_cast<unsigned long long>(s.tp.bytes >> 20), s.tp.gib_per_s(),
                    s.tp.gib_per_s() / raw, s.serving_cpu_s_per_gib());
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!have_two_cpus())
        std::printf("warning: CPUs %d and %d are not both available; ends are not pinned apart\n",
                    kClientCpu, kServingCpu);
    (void)pin_current_thread(kClientCpu);

    std::string why;
    const LibcliApi *libcli = load_libcli(&why);
    if (libcli == nullptr) {
        std::fprintf(stderr, "cli_bench: libcli is needed as the comparison peer: %s\n",
                     why.c_str());
        return 2;
    }

    // Memory first, while nothing else has run: resident memory added by an
    // agent that is connected and idle, and by an idle libcli session.
    AgentServer agent;
    idle_a_moment();
    Resident before_agent = resident_now();
    agent.start_agent();
    idle_a_moment();
    Resident rss_agent = added_since(before_agent);

    Resident before_libcli = resident_now();
    auto lc = std::make_unique<LibcliSession>(libcli, true);
    idle_a_moment();
    Resident rss_libcli = added_since(before_libcli);

    int agent_cpu = agent.agent_cpu();
    double allocs = agent.allocations_per_command(200);
    StackUse stack = agent.measure_stack();

    // Raw baseline: several connections' worth of warm-up, then one
    // measured connection.
    RawPeer peer;
    for (int c = 0; c < 3; ++c) {
        RawClient w(peer.port());
        for (size_t i = 0; i < o.warmup; ++i)
            (void)w.round_trip();
    }
    RawClient raw(peer.port());

    std::vector<RoundTripSubject> rts;
    rts.push_back(
        {"raw TCP ping-pong, 24 B / 20 B", [&] { return raw.round_trip(); }, peer.cpu_clock(), {}});
    rts.push_back({"agent, empty handler",
                   [&] { return agent.run(AgentServer::empty_command()); },
                   agent.cpu_clock(),
                   {}});
    rts.push_back({"agent, one cli_print line",
                   [&] { return agent.run(AgentServer::line_command()); },
                   agent.cpu_clock(),
                   {}});
    rts.push_back(
        {"libcli, empty, TCP_NODELAY", [&] { return lc->run("noop"); }, lc->cpu_clock(), {}});
    rts.push_back(
        {"libcli, one line, TCP_NODELAY", [&] { return lc->run("line"); }, lc->cpu_clock(), {}});
    warm_up(rts, o.warmup);
    run_round_trips(rts, o);

    std::vector<char> sink(256 * 1024);
    auto expect = [](uint64_t got, uint64_t want, const char *who) {
        if (got < want) fail(std::string(who) + " stream came up short");
    };
    std::vector<StreamSubject> streams;
    streams.push_back({"raw loopback, 64 KiB writes",
                       [&](uint64_t mib) { return raw.stream(mib << 20, sink); },
                       peer.cpu_clock(),
                       {}});
    streams.push_back({"agent cli_send_buffer, 64 KiB pieces",
                       [&](uint64_t mib) {
                           uint64_t got = 0;
                           uint64_t t = agent.run(AgentServer::send_buffer_command(mib), &got);
                           expect(got, mib << 20, "cli_send_buffer");
                           return t;
                       },
                       agent.cpu_clock(),
                       {}});
    streams.push_back({"agent cli_print_buffer, 4 KiB lines",
                       [&](uint64_t mib) {
                           uint64_t got = 0;
                           uint64_t t = agent.run(AgentServer::print_buffer_command(mib), &got);
                           expect(got, mib << 20, "cli_print_buffer");
                           return t;
                       },
                       agent.cpu_clock(),
                       {}});
    streams.push_back({"libcli cli_print, 4 KiB lines",
                       [&](uint64_t mib) {
                           uint64_t got = 0;
                           uint64_t t = lc->run(LibcliSession::print_command(mib), &got);
                           // The echo and the prompt come on top of the lines.
                           expect(got, mib << 20, "libcli");
                           return t;
                       },
                       lc->cpu_clock(),
                       {}});
    run_streams(streams, o);

    // Without TCP_NODELAY libcli's small writes wait for delayed ACKs; a few
    // dozen round trips show it without taking minutes.
    Latency nagle_empty;
    Latency nagle_line;
    {
        LibcliSession slow(libcli, false);
        for (int i = 0; i < 3; ++i)
            (void)slow.run("noop");
        for (size_t i = 0; i < o.nagle_round_trips; ++i) {
            nagle_empty.add(slow.run("noop"));
            nagle_line.add(slow.run("line"));
        }
    }

    std::printf("cli_bench: client on CPU %d, agent thread on CPU %d, libcli from %s\n",
                current_cpu(), agent_cpu, libcli_soname(libcli));
    print_round_trip_table(rts, &nagle_empty, &nagle_line);
    print_stream_table(streams);

    std::printf("\nMemory\n");
    std::printf("%-58s %10.1f KiB\n", "agent thread stack peak (top to deepest byte written)",
                kib(stack.peak()));
    std::printf("%-58s %10.1f KiB\n", "  of which above the handler (records, context, line)",
                kib(stack.above_handler));
    std::printf("%-58s %10.1f KiB\n", "  of which below the handler (inside output/input calls)",
                kib(stack.below_handler));
    std::printf("%-58s %10.1f KiB\n", "agent thread stack size", kib(stack.stack_size));
    std::printf("%-58s %10.2f\n", "heap allocations per command on the agent thread", allocs);
    std::printf("%-58s %10.1f KiB\n", "RSS added by a connected, idle agent", kib(rss_agent.total));
    std::printf("%-58s %10.1f KiB\n", "  of which anonymous (stack, heap)",
                kib(rss_agent.anonymous));
    std::printf("%-58s %10.1f KiB\n", "RSS added by a connected, idle libcli session",
                kib(rss_libcli.total));
    std::printf("%-58s %10.1f KiB\n", "  of which anonymous (stack, heap)",
                kib(rss_libcli.anonymous));

    // Targets.
    Latency &raw_lat = rts[0].lat;
    Latency &empty = rts[1].lat;
    Latency &line = rts[2].lat;
    Latency &lc_empty = rts[3].lat;
    Latency &lc_line = rts[4].lat;
    double raw_tp = streams[0].tp.gib_per_s();
    double send_tp = streams[1].tp.gib_per_s();
    double print_tp = streams[2].tp.gib_per_s();
    double lc_tp = streams[3].tp.gib_per_s();
    constexpr double kMaxRoundTripUs = 5000.0;
    constexpr uint64_t kStackBudget = (710 + 16) * 1024;

    std::vector<Target> targets;
    targets.push_back({"empty handler: median <= 1.3 x raw median",
                       empty.median_us() <= 1.3 * raw_lat.median_us(),
                       fmt("%.1f vs %.1f us (%.2f x)", empty.median_us(), raw_lat.median_us(),
                           empty.median_us() / raw_lat.median_us())});
    targets.push_back({"empty handler: p99 <= 2 x raw p99", empty.p99_us() <= 2 * raw_lat.p99_us(),
                       fmt("%.1f vs %.1f us (%.2f x)", empty.p99_us(), raw_lat.p99_us(),
                           empty.p99_us() / raw_lat.p99_us())});
    // The raw baseline's own count shows whether the machine allowed it.
    auto no_stall = [&](const char *what, Latency &l) {
        targets.push_back({what, l.count_above_us(kMaxRoundTripUs) == 0,
                           fmt("max %.1f us, %.0f above; raw: %.0f above", l.max_us(),
                               static_cast<double>(l.count_above_us(kMaxRoundTripUs)),
                               static_cast<double>(raw_lat.count_above_us(kMaxRoundTripUs)))});
    };
    no_stall("empty handler: no round trip above 5 ms", empty);
    no_stall("one-line handler: no round trip above 5 ms", line);
    targets.push_back({"cli_send_buffer >= 0.9 x raw throughput", send_tp >= 0.9 * raw_tp,
                       fmt("%.2f vs %.2f GiB/s (%.2f x)", send_tp, raw_tp, send_tp / raw_tp)});
    targets.push_back({"cli_print_buffer (4 KiB lines) >= 0.6 x raw", print_tp >= 0.6 * raw_tp,
                       fmt("%.2f vs %.2f GiB/s (%.2f x)", print_tp, raw_tp, print_tp / raw_tp)});
    auto ahead = [&](const char *what, double ours, double theirs, const char *unit) {
        targets.push_back(
            {std::string("ahead of libcli: ") + what, ours < theirs, fmt(unit, ours, theirs)});
    };
    ahead("empty median", empty.median_us(), lc_empty.median_us(), "%.1f vs %.1f us");
    ahead("empty p99", empty.p99_us(), lc_empty.p99_us(), "%.1f vs %.1f us");
    ahead("empty max", empty.max_us(), lc_empty.max_us(), "%.1f vs %.1f us");
    ahead("one-line median", line.median_us(), lc_line.median_us(), "%.1f vs %.1f us");
    ahead("one-line p99", line.p99_us(), lc_line.p99_us(), "%.1f vs %.1f us");
    ahead("one-line max", line.max_us(), lc_line.max_us(), "%.1f vs %.1f us");
    targets.push_back({"ahead of libcli: 4 KiB-line stream", print_tp > lc_tp,
                       fmt("%.2f vs %.2f GiB/s", print_tp, lc_tp)});
    ahead("idle RSS", kib(rss_agent.total), kib(rss_libcli.total), "%.1f vs %.1f KiB");
    targets.push_back({"no heap allocation per command", allocs == 0.0,
                       fmt("%.2f allocations per command", allocs)});
    targets.push_back({"agent stack peak <= 710 + 16 KiB",
                       stack.peak() <= kStackBudget && !stack.window_exhausted,
                       fmt("%.1f KiB", kib(stack.peak()))});

    std::printf("\nTargets\n");
    size_t passed = 0;
    for (const auto &t : targets) {
        passed += t.pass ? 1 : 0;
        std::printf("%-4s  %-46s %s\n", t.pass ? "PASS" : "FAIL", t.what.c_str(),
                    t.figures.c_str());
    }
    std::printf("%zu of %zu targets passed\n", passed, targets.size());

    lc.reset();
    return o.strict && passed != targets.size() ? 1 : 0;
}
