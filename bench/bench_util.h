// Plumbing shared by the benchmark's subjects: loopback sockets, CPU
// pinning, whole reads and writes, and latency statistics.
#pragma once

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
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

bool write_all(int fd, const void *data, size_t n);
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

} // namespace bench
