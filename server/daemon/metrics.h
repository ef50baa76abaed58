// The resident server's metrics as text in the Prometheus exposition
// format, version 0.0.4: what the node exporter's textfile collector
// parses (not OpenMetrics, whose `info` type and `# EOF` it rejects).
//
// A MetricsSnapshot is one moment's state; render_metrics() turns it into
// the text, with no I/O and nothing read from anywhere else, so the same
// state always gives the same bytes. Label values are only what the server
// controls or the user database gives (user names, outcomes, reasons),
// never an agent's name or output, and are escaped as the format requires.
//
// The duration histogram is kept on the command path, so observing a
// command is a few integer operations.
//
// Threading: plain data and pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

namespace cliserver {

// A bucket of the command duration histogram: its upper bound in
// microseconds, and as its `le` label shows it.
struct DurationBucket {
    uint64_t upper_us;
    const char *le;
};

inline constexpr DurationBucket kDurationBuckets[] = {
    {1'000, "0.001"}, {5'000, "0.005"}, {10'000, "0.01"}, {50'000, "0.05"},   {100'000, "0.1"},
    {500'000, "0.5"}, {1'000'000, "1"}, {5'000'000, "5"}, {10'000'000, "10"}, {60'000'000, "60"},
};
inline constexpr size_t kDurationBucketCount = std::size(kDurationBuckets);

struct DurationHistogram {
    // Commands by the first bucket they fit; the last slot is +Inf only.
    // Cumulative counts are the renderer's to add up.
    std::array<uint64_t, kDurationBucketCount + 1> in_bucket{};
    uint64_t sum_us = 0;
    uint64_t count = 0;

    void observe(uint64_t us) {
        size_t i = 0;
        while (i < kDurationBucketCount && us > kDurationBuckets[i].upper_us)
            ++i;
        ++in_bucket[i];
        sum_us += us;
        ++count;
    }
};

// Label value -> sample value, in the label's order.
using LabelledCounts = std::map<std::string, uint64_t>;

struct MetricsSnapshot {
    std::string version;
    int64_t start_time_seconds = 0;
    LabelledCounts agents_by_user;
    LabelledCounts clients_by_user;
    LabelledCounts commands_by_outcome;
    DurationHistogram durations;
    uint64_t queued_commands = 0;
    LabelledCounts agent_refusals_by_reason;
    uint64_t audit_write_failures = 0;
    bool audit_log_ok = true;
    uint64_t metrics_file_write_failures = 0;
};

// A label value as the format wants it between double quotes: backslash,
// double quote and newline escaped as \\, \" and \n.
std::string escape_label_value(std::string_view value);

std::string render_metrics(const MetricsSnapshot &s);

} // namespace cliserver
