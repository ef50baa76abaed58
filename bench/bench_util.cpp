#include "bench_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace bench {

bool have_two_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return false;
    return CPU_ISSET(kClientCpu, &set) && CPU_ISSET(kServingCpu, &set);
}

bool pin_current_thread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

int current_cpu() {
    return sched_getcpu();
}

namespace {
sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}
} // namespace

UniqueFd try_listen_loopback(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) fail("socket");
    int one = 1;
    (void)setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 16) != 0)
        return UniqueFd{};
    return fd;
}

UniqueFd listen_loopback(uint16_t port) {
    UniqueFd fd = try_listen_loopback(port);
    if (!fd.valid()) fail("listening on 127.0.0.1:" + std::to_string(port));
    return fd;
}

uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) fail("getsockname");
    return ntohs(addr.sin_port);
}

UniqueFd connect_loopback(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) fail("socket");
    sockaddr_in addr = loopback(port);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("connect 127.0.0.1:" + std::to_string(port));
    return fd;
}

UniqueFd accept_one(int listen_fd) {
    int fd;
    do {
        fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

void set_nodelay(int fd, bool on) {
    int v = on ? 1 : 0;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) != 0) fail("TCP_NODELAY");
}

void set_read_timeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool write_all(int fd, const void *data, size_t n, Stream kind) {
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w =
            kind == Stream::kSocket ? ::send(fd, p, n, MSG_NOSIGNAL) : ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_exact(int fd, void *data, size_t n) {
    auto *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void fail(const std::string &what) {
    std::fprintf(stderr, "cli_bench: %s failed (errno %d)\n", what.c_str(), errno);
    std::exit(2);
}

ThreadCpuClock ThreadCpuClock::of(pthread_t thread) {
    ThreadCpuClock c;
    c.valid_ = pthread_getcpuclockid(thread, &c.id_) == 0;
    return c;
}

uint64_t ThreadCpuClock::now_ns() const {
    timespec ts{};
    if (!valid_ || clock_gettime(id_, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double Latency::quantile_us(double q) {
    if (samples.empty()) return 0.0;
    if (!sorted_) {
        std::sort(samples.begin(), samples.end());
        sorted_ = true;
    }
    // Nearest rank: the smallest sample with at least q of all at or below it.
    auto rank = static_cast<size_t>(q * static_cast<double>(samples.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, samples.size());
    return static_cast<double>(samples[rank - 1]) / 1000.0;
}

size_t Latency::count_above_us(double limit) const {
    return static_cast<size_t>(std::count_if(samples.begin(), samples.end(), [limit](uint64_t ns) {
        return static_cast<double>(ns) / 1000.0 > limit;
    }));
}

void Throughput::add(uint64_t b, uint64_t ns) {
    bytes += b;
    if (ns > 0)
        block_rates.push_back(static_cast<double>(b) / (1u << 30) /
                              (static_cast<double>(ns) / 1e9));
}

double Throughput::gib_per_s() const {
    if (block_rates.empty()) return 0.0;
    std::vector<double> r = block_rates;
    auto mid = r.begin() + static_cast<std::ptrdiff_t>(r.size() / 2);
    std::nth_element(r.begin(), mid, r.end());
    if (r.size() % 2 == 1) return *mid;
    double upper = *mid;
    double lower = *std::max_element(r.begin(), mid);
    return (lower + upper) / 2;
}

Resident resident_now() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    uint64_t shared = 0;
    statm >> size >> resident >> shared;
    auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return {resident * page, (resident - shared) * page};
}

bool parse_count(std::string_view text, size_t &out) {
    size_t n = 0;
    const char *end = text.data() + text.size();
    // from_chars takes neither a sign nor leading spaces, unlike strtoull.
    const auto [stop, error] = std::from_chars(text.data(), end, n);
    if (error != std::errc{} || stop != end || n == 0 || n > kMaxCount) return false;
    out = n;
    return true;
}

Option flag_option(std::string name, std::string help, std::function<void()> set) {
    return {std::move(name), "", std::move(help), "", [set = std::move(set)](const char *) {
                set();
                return true;
            }};
}

Option flag_option(std::string name, std::string help, bool &target) {
    return flag_option(std::move(name), std::move(help), [&target] { target = true; });
}

Option count_option(std::string name, std::string help, std::function<void(size_t)> set) {
    return {std::move(name), "N", std::move(help),
            "a whole number from 1 to " + std::to_string(kMaxCount),
            [set = std::move(set)](const char *text) {
                size_t n = 0;
                if (!parse_count(text, n)) return false;
                set(n);
                return true;
            }};
}

Option count_option(std::string name, std::string help, size_t &target) {
    return count_option(std::move(name), std::move(help), [&target](size_t n) { target = n; });
}

Option text_option(std::string name, std::string value, std::string help, std::string &target) {
    return {std::move(name), std::move(value), std::move(help), "", [&target](const char *text) {
                target = text;
                return true;
            }};
}

std::vector<Option> timed_rounds_options(const std::string &name, const std::string &what,
                                         size_t &count, size_t quick_count, size_t &rounds) {
    constexpr size_t kQuickRounds = 2;
    return {flag_option("--quick",
                        std::to_string(quick_count) + " " + what + " in " +
                            std::to_string(kQuickRounds) + " rounds",
                        [&count, quick_count, &rounds] {
                            count = quick_count;
                            rounds = kQuickRounds;
                        }),
            count_option(name, what + ", over all rounds (default " + std::to_string(count) + ")",
                         count),
            count_option("--rounds",
                         "rounds to spread them over (default " + std::to_string(rounds) + ")",
                         rounds)};
}

namespace {
std::string spelled(const Option &o) {
    return o.value.empty() ? o.name : o.name + " " + o.value;
}
} // namespace

void print_usage(FILE *to, const char *program, const std::vector<Option> &options) {
    std::string line = std::string("usage: ") + program;
    size_t width = 0;
    for (const Option &o : options) {
        line += " [" + spelled(o) + "]";
        width = std::max(width, spelled(o).size());
    }
    std::fprintf(to, "%s\n", line.c_str());
    for (const Option &o : options)
        std::fprintf(to, "  %-*s  %s\n", static_cast<int>(width), spelled(o).c_str(),
                     o.help.c_str());
}

namespace {
[[noreturn]] void refuse(const char *program, const std::vector<Option> &options,
                         const std::string &why) {
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    print_usage(stderr, program, options);
    std::exit(2);
}
} // namespace

void parse_command_line(const char *program, int argc, char **argv,
                        const std::vector<Option> &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout, program, options);
            std::exit(0);
        }
        const auto o = std::find_if(options.begin(), options.end(),
                                    [arg](const Option &row) { return row.name == arg; });
        if (o == options.end())
            refuse(program, options, "unknown option \"" + std::string(arg) + "\"");
        const char *value = nullptr;
        if (!o->value.empty()) {
            if (i + 1 >= argc)
                refuse(program, options, o->name + " needs a value (" + o->value + ")");
            value = argv[++i];
        }
        if (!o->set(value))
            refuse(program, options,
                   o->name + (value ? " \"" + std::string(value) + "\"" : "") + ": wants " +
                       (o->wants.empty() ? o->value : o->wants));
    }
}

} // namespace bench
