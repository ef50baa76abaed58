// The measured subjects, the printed tables and the pass/fail verdicts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench_agent.h"
#include "bench_util.h"

namespace bench {

struct RoundTripSubject {
    RoundTripSubject(std::string n, std::function<uint64_t()> f, ThreadCpuClock c)
        : name(std::move(n)), once(std::move(f)), serving(c) {}

    std::string name;
    std::function<uint64_t()> once; // one round trip, nanoseconds
    ThreadCpuClock serving;         // the thread that answers
    Latency lat;
    uint64_t serving_cpu_ns = 0;

    double serving_cpu_us_per_op() const;
};

struct StreamSubject {
    StreamSubject(std::string n, std::function<uint64_t(uint64_t)> f, ThreadCpuClock c)
        : name(std::move(n)), once(std::move(f)), serving(c) {}

    std::string name;
    std::function<uint64_t(uint64_t mib)> once; // moves mib MiB, nanoseconds
    ThreadCpuClock serving;                     // the thread that writes
    Throughput tp;
    uint64_t serving_cpu_ns = 0;

    double serving_cpu_s_per_gib() const;
};

struct MemoryFigures {
    Resident agent;  // added by a connected, idle agent
    Resident libcli; // added by a connected, idle libcli session
    double allocations_per_command = 0;
    StackUse stack;
};

// Everything one run measured. Round-trip subjects in the order raw, agent
// empty, agent one line, libcli empty, libcli one line; stream subjects in
// the order raw, cli_send_buffer, cli_print_buffer, libcli.
struct Results {
    std::vector<RoundTripSubject> round_trips;
    std::vector<StreamSubject> streams;
    Latency nagle_empty;
    Latency nagle_line;
    MemoryFigures memory;
};

void print_round_trip_table(Results &r);
void print_stream_table(const Results &r);
void print_memory_table(const MemoryFigures &m);
// Prints PASS or FAIL per target; returns whether all passed.
bool print_targets(Results &r);

} // namespace bench
