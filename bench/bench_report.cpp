#include "bench_report.h"

#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr double kMaxRoundTripUs = 5000.0;
constexpr uint64_t kStackBudget = (710 + 16) * 1024;

enum RoundTripIndex : size_t { kRaw, kAgentEmpty, kAgentLine, kLibcliEmpty, kLibcliLine };
enum StreamIndex : size_t { kRawStream, kSendBuffer, kPrintBuffer, kLibcliPrint };

double kib(uint64_t bytes) {
    return static_cast<double>(bytes) / 1024.0;
}

std::string fmt(const char *f, double a, double b = 0, double c = 0) {
    std::array<char, 160> buf;
    std::snprintf(buf.data(), buf.size(), f, a, b, c);
    return buf.data();
}

struct Target {
    std::string what;
    bool pass;
    std::string figures;
};

void print_latency_row(const std::string &name, Latency &l, Latency &raw, double cpu_us) {
    std::printf("%-34s %6zu %8.1f %8.1f %8.1f %7.2f %7.2f %7.2f", name.c_str(), l.count(),
                l.median_us(), l.p99_us(), l.max_us(), l.median_us() / raw.median_us(),
                l.p99_us() / raw.p99_us(), l.max_us() / raw.max_us());
    if (cpu_us > 0)
        std::printf(" %8.1f\n", cpu_us);
    else
        std::printf(" %8s\n", "-");
}

void add_round_trip_targets(Results &r, std::vector<Target> &t) {
    Latency &raw = r.round_trips[kRaw].lat;
    Latency &empty = r.round_trips[kAgentEmpty].lat;
    Latency &line = r.round_trips[kAgentLine].lat;
    t.push_back({"empty handler: median <= 1.3 x raw median",
                 empty.median_us() <= 1.3 * raw.median_us(),
                 fmt("%.1f vs %.1f us (%.2f x)", empty.median_us(), raw.median_us(),
                     empty.median_us() / raw.median_us())});
    t.push_back({"empty handler: p99 <= 2 x raw p99", empty.p99_us() <= 2 * raw.p99_us(),
                 fmt("%.1f vs %.1f us (%.2f x)", empty.p99_us(), raw.p99_us(),
                     empty.p99_us() / raw.p99_us())});
    // The raw baseline's own count shows whether the machine allowed it.
    auto no_stall = [&](const char *what, Latency &l) {
        t.push_back({what, l.count_above_us(kMaxRoundTripUs) == 0,
                     fmt("max %.1f us, %.0f above; raw: %.0f above", l.max_us(),
                         static_cast<double>(l.count_above_us(kMaxRoundTripUs)),
                         static_cast<double>(raw.count_above_us(kMaxRoundTripUs)))});
    };
    no_stall("empty handler: no round trip above 5 ms", empty);
    no_stall("one-line handler: no round trip above 5 ms", line);
}

void add_stream_targets(const Results &r, std::vector<Target> &t) {
    double raw = r.streams[kRawStream].tp.gib_per_s();
    double send = r.streams[kSendBuffer].tp.gib_per_s();
    double print = r.streams[kPrintBuffer].tp.gib_per_s();
    t.push_back({"cli_send_buffer >= 0.9 x raw throughput", send >= 0.9 * raw,
                 fmt("%.2f vs %.2f GiB/s (%.2f x)", send, raw, send / raw)});
    t.push_back({"cli_print_buffer (4 KiB lines) >= 0.6 x raw", print >= 0.6 * raw,
                 fmt("%.2f vs %.2f GiB/s (%.2f x)", print, raw, print / raw)});
}

void add_libcli_targets(Results &r, std::vector<Target> &t) {
    auto ahead = [&](const char *what, double ours, double theirs, const char *unit) {
        t.push_back(
            {std::string("ahead of libcli: ") + what, ours < theirs, fmt(unit, ours, theirs)});
    };
    Latency &empty = r.round_trips[kAgentEmpty].lat;
    Latency &line = r.round_trips[kAgentLine].lat;
    Latency &lc_empty = r.round_trips[kLibcliEmpty].lat;
    Latency &lc_line = r.round_trips[kLibcliLine].lat;
    ahead("empty median", empty.median_us(), lc_empty.median_us(), "%.1f vs %.1f us");
    ahead("empty p99", empty.p99_us(), lc_empty.p99_us(), "%.1f vs %.1f us");
    ahead("empty max", empty.max_us(), lc_empty.max_us(), "%.1f vs %.1f us");
    ahead("one-line median", line.median_us(), lc_line.median_us(), "%.1f vs %.1f us");
    ahead("one-line p99", line.p99_us(), lc_line.p99_us(), "%.1f vs %.1f us");
    ahead("one-line max", line.max_us(), lc_line.max_us(), "%.1f vs %.1f us");
    double print = r.streams[kPrintBuffer].tp.gib_per_s();
    double lc = r.streams[kLibcliPrint].tp.gib_per_s();
    t.push_back(
        {"ahead of libcli: 4 KiB-line stream", print > lc, fmt("%.2f vs %.2f GiB/s", print, lc)});
    ahead("idle RSS", kib(r.memory.agent.total), kib(r.memory.libcli.total), "%.1f vs %.1f KiB");
}

void add_memory_targets(const MemoryFigures &m, std::vector<Target> &t) {
    t.push_back({"no heap allocation per command", m.allocations_per_command == 0.0,
                 fmt("%.2f allocations per command", m.allocations_per_command)});
    t.push_back({"agent stack peak <= 710 + 16 KiB",
                 m.stack.peak() <= kStackBudget && !m.stack.window_exhausted,
                 fmt("%.1f KiB", kib(m.stack.peak()))});
}

} // namespace

double RoundTripSubject::serving_cpu_us_per_op() const {
    return lat.count() == 0
               ? 0.0
               : static_cast<double>(serving_cpu_ns) / 1000.0 / static_cast<double>(lat.count());
}

double StreamSubject::serving_cpu_s_per_gib() const {
    return tp.bytes == 0 ? 0.0
                         : static_cast<double>(serving_cpu_ns) / 1e9 /
                               (static_cast<double>(tp.bytes) / (1u << 30));
}

void print_round_trip_table(Results &r) {
    Latency &raw = r.round_trips[kRaw].lat;
    std::printf("\nRound trip, request sent to reply complete (microseconds)\n");
    std::printf("%-34s %6s %8s %8s %8s %7s %7s %7s %8s\n", "subject", "n", "median", "p99", "max",
                "med/raw", "p99/raw", "max/raw", "srv CPU");
    for (auto &s : r.round_trips)
        print_latency_row(s.name, s.lat, raw, s.serving_cpu_us_per_op());
    print_latency_row("libcli, empty, no TCP_NODELAY", r.nagle_empty, raw, 0);
    print_latency_row("libcli, one line, no TCP_NODELAY", r.nagle_line, raw, 0);
    std::printf("(srv CPU: CPU time of the answering thread per round trip, kernel included)\n");
}

void print_stream_table(const Results &r) {
    double raw = r.streams[kRawStream].tp.gib_per_s();
    std::printf("\nStreaming (median over blocks of payload bytes / time from request to last "
                "byte)\n");
    std::printf("%-42s %7s %9s %8s %13s\n", "subject", "MiB", "GiB/s", "/raw", "srv CPU s/GiB");
    for (const auto &s : r.streams)
        std::printf("%-42s %7llu %9.2f %8.2f %13.2f\n", s.name.c_str(),
                    static_cast<unsigned long long>(s.tp.bytes >> 20), s.tp.gib_per_s(),
                    s.tp.gib_per_s() / raw, s.serving_cpu_s_per_gib());
}

void print_memory_table(const MemoryFigures &m) {
    auto kib_row = [](const char *what, uint64_t bytes) {
        std::printf("%-58s %10.1f KiB\n", what, kib(bytes));
    };
    std::printf("\nMemory\n");
    kib_row("agent thread stack peak (top to deepest byte written)", m.stack.peak());
    kib_row("  of which above the handler (records, context, line)", m.stack.above_handler);
    kib_row("  of which below the handler (inside output/input calls)", m.stack.below_handler);
    kib_row("agent thread stack size", m.stack.stack_size);
    std::printf("%-58s %10.2f\n", "heap allocations per command on the agent thread",
                m.allocations_per_command);
    kib_row("RSS added by a connected, idle agent", m.agent.total);
    kib_row("  of which anonymous (stack, heap)", m.agent.anonymous);
    kib_row("RSS added by a connected, idle libcli session", m.libcli.total);
    kib_row("  of which anonymous (stack, heap)", m.libcli.anonymous);
}

bool print_targets(Results &r) {
    std::vector<Target> targets;
    add_round_trip_targets(r, targets);
    add_stream_targets(r, targets);
    add_libcli_targets(r, targets);
    add_memory_targets(r.memory, targets);

    std::printf("\nTargets\n");
    size_t passed = 0;
    for (const auto &t : targets) {
        passed += t.pass ? 1 : 0;
        std::printf("%-4s  %-46s %s\n", t.pass ? "PASS" : "FAIL", t.what.c_str(),
                    t.figures.c_str());
    }
    std::printf("%zu of %zu targets passed\n", passed, targets.size());
    return passed == targets.size();
}

} // namespace bench
