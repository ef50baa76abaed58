// Plumbing shared by the benchmark's subjects: loopback sockets, CPU
// pinning, whole reads and writes, latency statistics and command lines.
#pragma once

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "unique_fd.h"

namespace bench {

// The benchmark's descriptors are the library's and cli-server's type.
using cli_shared::UniqueFd;

using clock = std::chrono::steady_clock;

inline uint64_t now_ns() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now().time_since_epoch())
            .count());
}

// The two ends of every measured connection run on different CPUs.
inline constexpr int kClientCpu = 0;
inline constexpr int kServingCpu = 1;

bool have_two_cpus();
// Pins the calling thread to one CPU; false (and unpinned) if that fails.
bool pin_current_thread(int cpu);
int current_cpu();

// Listening socket on 127.0.0.1:port (0 picks a free port).
UniqueFd listen_loopback(uint16_t port);
// The same, but an invalid UniqueFd instead of an exit when the port is taken.
UniqueFd try_listen_loopback(uint16_t port);
uint16_t local_port(int fd);
UniqueFd connect_loopback(uint16_t port);
UniqueFd accept_one(int listen_fd);
void set_nodelay(int fd, bool on);
// A blocked read gives up after this long, so a broken subject fails the
// run instead of hanging it.
void set_read_timeout(int fd, std::chrono::milliseconds timeout);

// The whole of data to a socket (send(), no SIGPIPE) or a pipe (write()).
enum class Stream { kSocket, kPipe };
bool write_all(int fd, const void *data, size_t n, Stream kind = Stream::kSocket);
bool read_exact(int fd, void *data, size_t n);

[[noreturn]] void fail(const std::string &what);

// The CPU time a thread has used, read from any thread: what the serving end
// of a subject costs its process, kernel time on its behalf included.
class ThreadCpuClock {
  public:
    ThreadCpuClock() = default;
    static ThreadCpuClock of(pthread_t thread);
    bool valid() const { return valid_; }
    uint64_t now_ns() const;

  private:
    clockid_t id_{};
    bool valid_ = false;
};

// Round-trip times of one subject, in nanoseconds.
struct Latency {
    std::vector<uint64_t> samples;

    void reserve(size_t n) { samples.reserve(n); }
    void add(uint64_t ns) { samples.push_back(ns); }
    size_t count() const { return samples.size(); }
    // Quantile q in [0, 1] by nearest rank; sorts on first use.
    double quantile_us(double q);
    double median_us() { return quantile_us(0.5); }
    double p99_us() { return quantile_us(0.99); }
    double max_us() { return quantile_us(1.0); }
    size_t count_above_us(double limit) const;

  private:
    bool sorted_ = false;
};

// Bytes moved by one streaming subject, block by block. The figure is the
// median of the blocks' rates: a block that another process's burst slowed
// down moves it less than it would move a plain total over total.
struct Throughput {
    uint64_t bytes = 0;
    std::vector<double> block_rates; // GiB/s

    void add(uint64_t b, uint64_t ns);
    double gib_per_s() const;
};

// Resident set of this process from /proc/self/statm, in bytes: all of it,
// and the part not backed by files (stacks, heap), which code pages touched
// for the first time do not blur.
struct Resident {
    uint64_t total = 0;
    uint64_t anonymous = 0;
};
Resident resident_now();

// The largest count an option takes: far beyond any useful run, and small
// enough that nothing worked out from it (MiB in bytes, a count of
// nanoseconds) overflows.
inline constexpr size_t kMaxCount = 1000000000;

// A count from 1 to kMaxCount in decimal digits and nothing else; false
// (out untouched) for "", "12x", "0", "-1", " 5", "+5" or one too large.
bool parse_count(std::string_view text, size_t &out);

// One option of a benchmark's command line, a row of its table.
struct Option {
    std::string name;  // "--rounds"
    std::string value; // the value's name in the usage ("N"); empty for a flag
    std::string help;  // its line in the usage
    std::string wants; // what a refused value should have been
    // Takes the value (nullptr for a flag); false refuses it.
    std::function<bool(const char *)> set;
};

Option flag_option(std::string name, std::string help, std::function<void()> set);
Option flag_option(std::string name, std::string help, bool &target);
// A count (parse_count) handed to set, or stored in target.
Option count_option(std::string name, std::string help, std::function<void(size_t)> set);
Option count_option(std::string name, std::string help, size_t &target);
// Any text, stored in target.
Option text_option(std::string name, std::string value, std::string help, std::string &target);

// The options of a benchmark that times `count` operations (`what`: "round
// trips per side") spread over rounds: --quick (quick_count of them in 2
// rounds), `name` N (the count over all rounds) and --rounds N. The usage
// gives the defaults count and rounds hold when this is called.
std::vector<Option> timed_rounds_options(const std::string &name, const std::string &what,
                                         size_t &count, size_t quick_count, size_t &rounds);

// `usage: program [--a] [--b N] ...`, then one line per option.
void print_usage(FILE *to, const char *program, const std::vector<Option> &options);

// Applies argv's options in the order given. --help (or -h) prints the
// usage on standard output and exits 0; an unknown option, a missing value
// or a refused one is named on standard error with the usage, and exits 2.
void parse_command_line(const char *program, int argc, char **argv,
                        const std::vector<Option> &options);

} // namespace bench
