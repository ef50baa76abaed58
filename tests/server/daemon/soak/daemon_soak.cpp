// daemon_soak: a long-running load against the resident server
// (`cli-server --daemon`), checking that it stays correct and does not leak.
//
// The program starts the daemon on a socket in a temporary directory, M agent
// processes (this program re-executed with --agent-process, linking the
// agent library) and N client threads. For the given time each client picks
// random agents and runs random commands on them: an echo of a unique token,
// a prompt whose unique reply the agent echoes back, a random amount of
// generated output with a checksum, and a slow command. Most commands go
// over the client's own connection, spoken with an encoder written here (not
// the daemon's), a few at a time; some of those are abandoned mid-command or
// their connection is dropped without a word. The rest run as real
// `cli-server --agent NAME -c LINE` processes, some killed mid-command with
// SIGINT or SIGKILL.
//
// Checked, every one a violation that fails the run:
//   - each command's output is exactly its own (token, length, checksum), and
//     nothing arrives for a request the client did not make, or after it
//     ended or was abandoned;
//   - every command that is not interrupted ends with exactly one DONE, within
//     a generous bound (a missing end is a hang, not a slow machine);
//   - a prompt reaches only the client whose command raised it, once, and the
//     agent gets that client's reply;
//   - a killed client's command never disturbs anyone else's, and the agents
//     are idle with empty queues once every client is quiet;
//   - the daemon's open descriptors (/proc/PID/fd) and resident memory
//     (VmRSS) at the end of the run are no higher than after the warm-up,
//     with a small slack; both are sampled with the load paused and every
//     agent idle, so they compare like with like;
//   - the daemon exits 0 on SIGTERM at the end (under AddressSanitizer that
//     includes its leak check).
// The verdict depends on no timing: waits are bounded only to turn a hang
// into a message.
//
//   daemon_soak [--clients N] [--agents M] [--seconds S] [--seed X]
//               [--fd-slack N] [--rss-slack-mib N] [--no-rss-check]
//               [--report-every S] [--server PATH] [--verbose]
//
// The agents connect to 127.0.0.1:7002, so run it where nothing else holds
// that port: CTest runs it in a network namespace of its own. To soak for
// hours, from the build directory:
//
//   ../../tests/support/private_network.sh tests/daemon/soak/daemon_soak
//       --clients 8 --agents 4 --seconds 14400 --report-every 300
//
// (one command line; private_network.sh runs it in a namespace of its own
// where the system allows, as CTest does)
//
// A progress line (commands so far, the daemon's descriptors and VmRSS) goes
// to standard error every --report-every seconds; the warm-up sample is
// taken at a fifth of the run (at most ten minutes in), so a slow leak shows
// as growth between it and the end. The last line is the summary; the exit
// status is 0 only if no violation was seen. On a violation the temporary
// directory with the daemon's log is kept and named.
#include "cli_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A command that is not interrupted must end within this; it bounds a hang.
constexpr auto kCommandBound = 120s;
constexpr auto kStartBound = 30s;

// ---------------------------------------------------------------- output

// The generated output of sk_blob: lines of letters and digits from a
// xorshift generator, so the client can rebuild what it must receive.
struct Gen {
    uint64_t s;
    explicit Gen(uint64_t seed) : s(seed | 1) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    void fill(char *buf, size_t n) {
        static const char alnum[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (size_t i = 0; i < n; ++i) {
            const uint64_t r = next() % 48;
            buf[i] = r == 0 ? '\n' : alnum[r % 36];
        }
    }
};

uint64_t fnv1a(uint64_t h, const char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 1099511628211ull;
    }
    return h;
}
constexpr uint64_t kFnvInit = 14695981039346656037ull;

std::string sum_line(uint64_t h) {
    char line[32];
    std::snprintf(line, sizeof line, "sum=%016" PRIx64 "\n", h);
    return line;
}

std::string blob_expected(uint64_t seed, size_t len) {
    std::string body(len, '\0');
    Gen g(seed);
    g.fill(body.data(), len);
    return body + sum_line(fnv1a(kFnvInit, body.data(), body.size()));
}

// ---------------------------------------------------------------- agent side

int sk_echo(int argc, char **argv) {
    if (argc == 2) cli_print("%s\n", argv[1]);
    return 0;
}

int sk_ask(int argc, char **argv) {
    if (argc != 2) return 0;
    char prompt[128];
    std::snprintf(prompt, sizeof prompt, "%s? ", argv[1]);
    char reply[256];
    if (cli_get_input(prompt, reply, sizeof reply) != 0)
        cli_print("%s!\n", argv[1]);
    else
        cli_print("%s=%s\n", argv[1], reply);
    return 0;
}

int sk_blob(int argc, char **argv) {
    uint64_t seed = 0;
    uint32_t len = 0;
    if (argc != 3 || cli_get_param_u64(argv[1], &seed) != 0 ||
        cli_get_param_u32(argv[2], &len) != 0)
        return 0;
    Gen g(seed);
    uint64_t h = kFnvInit;
    char buf[4096];
    for (uint32_t left = len; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, sizeof buf);
        g.fill(buf, n);
        h = fnv1a(h, buf, n);
        cli_send_buffer(buf, n);
        left -= n;
    }
    cli_print("%s", sum_line(h).c_str());
    return 0;
}

int sk_slow(int argc, char **argv) {
    uint32_t ms = 0;
    if (argc != 3 || cli_get_param_u32(argv[2], &ms) != 0) return 0;
    cli_print("%s begin\n", argv[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms)); // the workload, not a wait
    cli_print("%s end\n", argv[1]);
    return 0;
}

int run_agent(const char *name, uint32_t id) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const cli_command cmds[] = {
        {"sk_echo", "prints its token", sk_echo, nullptr},
        {"sk_ask", "asks for a reply and prints it", sk_ask, nullptr},
        {"sk_blob", "SEED LEN: generated output and its checksum", sk_blob, nullptr},
        {"sk_slow", "TOKEN MS: begin, a pause, end", sk_slow, nullptr},
    };
    for (const cli_command &c : cmds)
        if (cli_register_command(&c) != 0) return 2;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // the agent thread inherits the mask
    if (cli_agent_init(id, name) != 0) return 2;
    int sig = 0;
    sigwait(&set, &sig);
    cli_agent_destroy(id);
    return 0;
}

// ---------------------------------------------------------------- verdicts

std::mutex g_report_mu;
std::vector<std::string> g_violations;
std::atomic<bool> g_stop{false};
bool g_verbose = false;

void wake_everyone();

std::string formatted(const char *fmt, va_list ap) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}

void violation(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void violation(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = formatted(fmt, ap);
    va_end(ap);
    {
        std::lock_guard lock(g_report_mu);
        std::fprintf(stderr, "daemon_soak: VIOLATION: %s\n", text.c_str());
        g_violations.push_back(text);
        g_stop = true;
    }
    wake_everyone();
}

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = formatted(fmt, ap);
    va_end(ap);
    std::lock_guard lock(g_report_mu);
    std::fprintf(stderr, "daemon_soak: %s\n", text.c_str());
}

std::string shown(const std::string &s, size_t max = 80) {
    std::string out;
    for (char c : s.substr(0, max)) {
        if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            out += '?';
        else
            out += c;
    }
    if (s.size() > max) out += "...(" + std::to_string(s.size()) + " bytes)";
    return "'" + out + "'";
}

struct Counters {
    std::atomic<uint64_t> commands{0}, done{0}, abandoned{0}, dropped{0}, sigint{0}, sigkill{0},
        prompts{0}, output_bytes{0}, process_clients{0}, reconnects{0};
};
Counters g_count;

// ---------------------------------------------------------------- the wire

// The operator protocol as this program speaks it, written from the message
// layout and not from the daemon's encoder: a type byte, a big-endian u32
// payload length, the payload.
namespace wire {
constexpr uint8_t kHello = 0x01, kSubmit = 0x02, kReply = 0x03, kAbandon = 0x04, kList = 0x05;
constexpr uint8_t kWelcome = 0x81, kAgentUp = 0x82, kAgentDown = 0x83, kReady = 0x84,
                  kQueued = 0x85, kSent = 0x86, kOutput = 0x87, kPrompt = 0x88, kDone = 0x89,
                  kNotice = 0x8a, kRow = 0x8b, kRowsEnd = 0x8c, kRefused = 0x8d;
constexpr uint32_t kMaxPayload = 64 * 1024;
constexpr size_t kRecordFixed = 8 + 4 + 8 + 8 + 8;

void put_be(std::string &s, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
uint64_t get_be(const std::string &s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
std::string message(uint8_t type, const std::string &payload) {
    std::string m(1, static_cast<char>(type));
    put_be(m, payload.size(), 4);
    return m + payload;
}
std::string hello() {
    std::string p;
    put_be(p, 1, 2);
    p.push_back(1); // scripted
    return message(kHello, p);
}
std::string submit(uint64_t request, uint64_t agent, const std::string &line) {
    std::string p;
    put_be(p, request, 8);
    put_be(p, agent, 8);
    p.push_back(0);
    return message(kSubmit, p + line);
}
std::string with_request(uint8_t type, uint64_t request, const std::string &rest = {}) {
    std::string p;
    put_be(p, request, 8);
    return message(type, p + rest);
}
} // namespace wire

struct Msg {
    uint8_t type = 0;
    std::string payload;
    uint64_t request() const { return payload.size() >= 8 ? wire::get_be(payload, 0, 8) : 0; }
    std::string after_request() const { return payload.size() > 8 ? payload.substr(8) : ""; }
};

// One client connection to the daemon's socket; every read has a deadline.
class Conn {
  public:
    ~Conn() { close(); }
    bool open(const std::string &path, std::string *why) {
        close();
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            *why = std::string("connect: ") + std::strerror(errno);
            close();
            return false;
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        in_.clear();
    }
    bool send(const std::string &bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t w = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    }
    // A message, or nullopt with *why (end of stream, a bad header, time-out).
    std::optional<Msg> next(Clock::time_point deadline, std::string *why) {
        for (;;) {
            if (in_.size() >= 5) {
                const uint8_t type = static_cast<uint8_t>(in_[0]);
                const uint64_t len = wire::get_be(in_, 1, 4);
                if (len > wire::kMaxPayload) {
                    *why = "a message of " + std::to_string(len) + " bytes";
                    return std::nullopt;
                }
                if (in_.size() >= 5 + len) {
                    Msg m{type, in_.substr(5, len)};
                    in_.erase(0, 5 + len);
                    return m;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                *why = "timed out";
                return std::nullopt;
            }
            pollfd p{fd_, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
            if (r < 0 && errno != EINTR) {
                *why = std::string("poll: ") + std::strerror(errno);
                return std::nullopt;
            }
            if (r <= 0) continue;
            char buf[65536];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *why = n == 0 ? "the daemon closed the connection"
                              : std::string("read: ") + std::strerror(errno);
                return std::nullopt;
            }
            in_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    std::string in_;
};

struct AgentInfo {
    uint64_t serial = 0;
    std::string name;
};

// Opens with HELLO and reads WELCOME, the agents and READY.
bool greet(Conn &c, const std::string &path, std::map<std::string, uint64_t> *agents,
           std::string *why) {
    if (!c.open(path, why) || !c.send(wire::hello())) {
        if (why->empty()) *why = "HELLO not sent";
        return false;
    }
    const auto deadline = Clock::now() + kStartBound;
    bool welcomed = false;
    for (;;) {
        auto m = c.next(deadline, why);
        if (!m) return false;
        if (!welcomed) {
            if (m->type != wire::kWelcome || wire::get_be(m->payload, 0, 2) != 1) {
                *why = "the first message is not WELCOME 1 (type " + std::to_string(m->type) +
                       ": " + shown(m->payload) + ")";
                return false;
            }
            welcomed = true;
        } else if (m->type == wire::kAgentUp) {
            (*agents)[m->payload.substr(wire::kRecordFixed)] = wire::get_be(m->payload, 0, 8);
        } else if (m->type == wire::kReady) {
            return true;
        } else if (m->type != wire::kNotice) {
            *why = "unexpected message type " + std::to_string(m->type) + " before READY";
            return false;
        }
    }
}

// ---------------------------------------------------------------- processes

struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

std::vector<char *> env_without(const std::vector<std::string> &names) {
    std::vector<char *> env;
    for (char **e = environ; *e; ++e) {
        bool drop = false;
        for (const std::string &n : names)
            if (std::strncmp(*e, n.c_str(), n.size()) == 0 && (*e)[n.size()] == '=') drop = true;
        if (!drop) env.push_back(*e);
    }
    env.push_back(nullptr);
    return env;
}

// posix_spawn, so that client threads may start processes while others run.
// out_file: where standard output and error go when they are not piped.
std::optional<Child> spawn(const std::vector<std::string> &argv, bool pipes,
                           const std::string &out_file, std::string *why) {
    Child c;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipes &&
        (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) {
        *why = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0) close(fd);
        return std::nullopt;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipes) {
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> env = env_without({"NOTIFY_SOCKET", "CLI_SERVER_SOCKET"});
    const int rc = posix_spawn(&c.pid, args[0], &fa, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&fa);
    if (pipes) {
        close(in[0]);
        close(out[1]);
        close(err[1]);
        c.in = in[1];
        c.out = out[0];
        c.err = err[0];
    }
    if (rc != 0) {
        *why = std::string("posix_spawn ") + argv[0] + ": " + std::strerror(rc);
        for (int fd : {c.in, c.out, c.err})
            if (fd >= 0) close(fd);
        return std::nullopt;
    }
    return c;
}

// The exit status, 128 + signal when killed; nullopt if it does not end in time.
std::optional<int> wait_child(pid_t pid, Clock::duration bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms); // polling a child's exit against a deadline
    }
}

std::optional<long> proc_value(pid_t pid, const char *key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t klen = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, klen, key) == 0 && line.size() > klen && line[klen] == ':')
            return std::strtol(line.c_str() + klen + 1, nullptr, 10);
    return std::nullopt;
}

long fd_count(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

// ---------------------------------------------------------------- clients

enum class Kind { kEcho, kAsk, kBlob, kSlow };
enum class Fate { kNormal, kAbandon, kDrop };

struct Op {
    Kind kind = Kind::kEcho;
    Fate fate = Fate::kNormal;
    size_t agent = 0;
    std::string token, line, reply, expected, got;
    bool sent = false, prompted = false, done = false, abandoned = false;
};

struct Config {
    int clients = 4;
    int agents = 3;
    int seconds = 10;
    uint64_t seed = 0;
    long fd_slack = 2;
    long rss_slack_mib = -1; // default: 16 MiB and 2 MiB per client
    bool rss_check = true;
    int report_every = 60;
    std::string server = CLI_SERVER_PATH;
    std::string socket;
    std::vector<std::string> agent_names;
};

// Workers stop between batches while the main thread samples the daemon.
struct Pause {
    std::mutex mu;
    std::condition_variable cv;
    bool requested = false;
    int paused = 0;   // waiting at the checkpoint
    int finished = 0; // done with the run: they count as paused
    void checkpoint() {
        std::unique_lock lock(mu);
        if (!requested) return;
        ++paused;
        cv.notify_all();
        cv.wait(lock, [&] { return !requested || g_stop; });
        --paused;
    }
    void leave() {
        std::lock_guard lock(mu);
        ++finished;
        cv.notify_all();
    }
    void wake() {
        std::lock_guard lock(mu);
        cv.notify_all();
    }
};
Pause g_pause;

void wake_everyone() {
    g_pause.wake();
}

class Client {
  public:
    Client(const Config &cfg, int index, const std::vector<uint64_t> &serials)
        : cfg_(cfg), index_(index), serials_(serials), rng_(cfg.seed * 1000003 + index) {}

    void run(Clock::time_point end) {
        if (!connect()) return;
        while (!g_stop && Clock::now() < end) {
            g_pause.checkpoint();
            if (g_stop) break;
            if (chance(25))
                process_op();
            else
                batch();
        }
        // The connection stays open until the client is destroyed, so the
        // last sample counts the same connections as the warm-up one.
        g_pause.leave();
    }

  private:
    bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    uint64_t pick(uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
    }

    bool connect() {
        std::map<std::string, uint64_t> agents;
        std::string why;
        if (!greet(conn_, cfg_.socket, &agents, &why)) {
            violation("client %d: cannot open a session: %s", index_, why.c_str());
            return false;
        }
        for (size_t i = 0; i < cfg_.agent_names.size(); ++i) {
            auto it = agents.find(cfg_.agent_names[i]);
            if (it == agents.end() || it->second != serials_[i]) {
                violation("client %d: the daemon's agents at HELLO are not the soak's agents (%s)",
                          index_, cfg_.agent_names[i].c_str());
                return false;
            }
        }
        return true;
    }

    Op make_op() {
        Op op;
        op.agent = pick(0, serials_.size() - 1);
        op.token = "c" + std::to_string(index_) + "-" + std::to_string(++seq_) + "-" +
                   std::to_string(pick(0, 1u << 30));
        const int k = static_cast<int>(pick(0, 99));
        op.kind = k < 35 ? Kind::kEcho : k < 60 ? Kind::kAsk : k < 85 ? Kind::kBlob : Kind::kSlow;
        switch (op.kind) {
        case Kind::kEcho:
            op.line = "sk_echo " + op.token;
            op.expected = op.token + "\n";
            break;
        case Kind::kAsk:
            op.reply = "r" + op.token + "-" + std::to_string(pick(0, 1u << 30));
            op.line = "sk_ask " + op.token;
            op.expected = op.token + "=" + op.reply + "\n";
            break;
        case Kind::kBlob: {
            const int size = static_cast<int>(pick(0, 99));
            const uint64_t len = size < 70   ? pick(0, 4096)
                                 : size < 95 ? pick(4096, 256 << 10)
                                             : pick(256 << 10, 2 << 20);
            const uint64_t seed = pick(1, UINT64_MAX);
            op.line = "sk_blob " + std::to_string(seed) + " " + std::to_string(len);
            op.expected = blob_expected(seed, len);
            break;
        }
        case Kind::kSlow: {
            const uint64_t ms = pick(20, 400);
            op.line = "sk_slow " + op.token + " " + std::to_string(ms);
            op.expected = op.token + " begin\n" + op.token + " end\n";
            break;
        }
        }
        ++g_count.commands;
        return op;
    }

    // The moment an interrupted command is cut: its first sign of running.
    static bool cut_now(const Op &op, uint8_t event) {
        switch (op.kind) {
        case Kind::kEcho:
            return event == wire::kSent || event == wire::kQueued;
        case Kind::kAsk:
            return event == wire::kPrompt;
        case Kind::kBlob:
        case Kind::kSlow:
            return event == wire::kOutput;
        }
        return false;
    }

    std::string who(uint64_t req, const Op &op) const {
        return "client " + std::to_string(index_) + " request " + std::to_string(req) + " (" +
               op.line.substr(0, 60) + " on " + cfg_.agent_names[op.agent] + ")";
    }

    // One to three commands at once over the client's connection.
    void batch() {
        std::map<uint64_t, Op> ops;
        const int n = static_cast<int>(pick(1, 3));
        std::string out;
        for (int i = 0; i < n; ++i) {
            Op op = make_op();
            const int f = static_cast<int>(pick(0, 99));
            op.fate = f < 10 ? Fate::kAbandon : f < 15 ? Fate::kDrop : Fate::kNormal;
            const uint64_t req = ++request_;
            out += wire::submit(req, serials_[op.agent], op.line);
            ops.emplace(req, std::move(op));
        }
        if (!conn_.send(out)) {
            violation("client %d: the daemon stopped taking SUBMITs", index_);
            return;
        }
        bool any_abandoned = false;
        const auto deadline = Clock::now() + kCommandBound;
        auto open_count = [&] {
            return std::count_if(ops.begin(), ops.end(),
                                 [](auto &kv) { return !kv.second.done && !kv.second.abandoned; });
        };
        while (open_count() > 0 && !g_stop) {
            std::string why;
            auto m = conn_.next(deadline, &why);
            if (!m) {
                for (auto &[req, op] : ops)
                    if (!op.done && !op.abandoned)
                        violation("%s: no end (%s); sent=%d prompted=%d output so far %s",
                                  who(req, op).c_str(), why.c_str(), op.sent, op.prompted,
                                  shown(op.got).c_str());
                return;
            }
            if (m->type == wire::kNotice) {
                if (g_verbose) note("client %d: notice %s", index_, shown(m->payload).c_str());
                continue;
            }
            if (m->type == wire::kAgentDown || m->type == wire::kAgentUp ||
                m->type == wire::kRefused || m->type == wire::kWelcome || m->type == wire::kReady ||
                m->type == wire::kRow || m->type == wire::kRowsEnd) {
                violation("client %d: unexpected message type 0x%02x %s mid-command", index_,
                          m->type, shown(m->payload).c_str());
                return;
            }
            const uint64_t req = m->request();
            auto it = ops.find(req);
            if (it == ops.end()) {
                violation("client %d: message type 0x%02x for request %" PRIu64
                          " it has no command running for: %s",
                          index_, m->type, req, shown(m->after_request()).c_str());
                return;
            }
            Op &op = it->second;
            if (op.done) {
                violation("%s: message type 0x%02x after its DONE", who(req, op).c_str(), m->type);
                return;
            }
            switch (m->type) {
            case wire::kQueued:
                if (op.sent) {
                    violation("%s: QUEUED after SENT", who(req, op).c_str());
                    return;
                }
                break;
            case wire::kSent:
                if (op.sent) {
                    violation("%s: a second SENT", who(req, op).c_str());
                    return;
                }
                op.sent = true;
                break;
            case wire::kOutput: {
                op.got += m->after_request();
                g_count.output_bytes += m->payload.size() - 8;
                if (op.got.size() > op.expected.size() ||
                    op.expected.compare(0, op.got.size(), op.got) != 0) {
                    violation("%s: output %s is not what it printed, %s", who(req, op).c_str(),
                              shown(op.got).c_str(), shown(op.expected).c_str());
                    return;
                }
                break;
            }
            case wire::kPrompt: {
                const std::string text = m->after_request();
                if (op.kind != Kind::kAsk || op.prompted || op.abandoned ||
                    text != op.token + "? ") {
                    violation("%s: a prompt %s that is not its own", who(req, op).c_str(),
                              shown(text).c_str());
                    return;
                }
                op.prompted = true;
                ++g_count.prompts;
                if (op.fate == Fate::kNormal &&
                    !conn_.send(wire::with_request(wire::kReply, req, op.reply))) {
                    violation("%s: the daemon stopped taking REPLYs", who(req, op).c_str());
                    return;
                }
                break;
            }
            case wire::kDone:
                if (!op.abandoned && op.got != op.expected) {
                    violation("%s: ended with output %s, not %s", who(req, op).c_str(),
                              shown(op.got).c_str(), shown(op.expected).c_str());
                    return;
                }
                if (!op.sent) {
                    violation("%s: DONE without SENT", who(req, op).c_str());
                    return;
                }
                op.done = true;
                if (!op.abandoned) ++g_count.done;
                break;
            default:
                violation("%s: unknown message type 0x%02x", who(req, op).c_str(), m->type);
                return;
            }
            if (op.abandoned || op.done || op.fate == Fate::kNormal || !cut_now(op, m->type))
                continue;
            if (op.fate == Fate::kDrop) {
                // Gone without a word, as a client killed by SIGKILL is.
                ++g_count.dropped;
                conn_.close();
                ++g_count.reconnects;
                connect();
                return;
            }
            op.abandoned = true;
            any_abandoned = true;
            ++g_count.abandoned;
            if (!conn_.send(wire::with_request(wire::kAbandon, req))) {
                violation("%s: the daemon stopped taking ABANDONs", who(req, op).c_str());
                return;
            }
        }
        if (any_abandoned && !g_stop) settle(ops);
    }

    // LIST is answered after every earlier message of ours, so once ROWS_END
    // arrives nothing more may come for the commands we abandoned.
    void settle(std::map<uint64_t, Op> &ops) {
        if (!conn_.send(wire::message(wire::kList, ""))) {
            violation("client %d: the daemon stopped taking LIST", index_);
            return;
        }
        const auto deadline = Clock::now() + kCommandBound;
        for (;;) {
            std::string why;
            auto m = conn_.next(deadline, &why);
            if (!m) {
                violation("client %d: no ROWS_END (%s)", index_, why.c_str());
                return;
            }
            if (m->type == wire::kRowsEnd) return;
            if (m->type == wire::kRow || m->type == wire::kNotice) continue;
            auto it = ops.find(m->request());
            if (it == ops.end() || !it->second.abandoned ||
                (m->type != wire::kOutput && m->type != wire::kDone && m->type != wire::kSent &&
                 m->type != wire::kQueued)) {
                violation("client %d: message type 0x%02x for request %" PRIu64
                          " while waiting for ROWS_END",
                          index_, m->type, m->request());
                return;
            }
            Op &op = it->second;
            if (m->type == wire::kSent || m->type == wire::kQueued) continue; // in flight
            if (m->type == wire::kDone) {
                if (op.done) violation("%s: a second DONE", who(it->first, op).c_str());
                op.done = true;
            } else {
                op.got += m->after_request();
                if (op.expected.compare(0, op.got.size(), op.got) != 0)
                    violation("%s: late output %s is not its own", who(it->first, op).c_str(),
                              shown(op.got).c_str());
            }
        }
    }

    // One command as a real cli-server client process; some are interrupted.
    void process_op() {
        Op op = make_op();
        ++g_count.process_clients;
        // A script's prompt is shown on standard output, its line ended
        // there since the reply is not echoed.
        if (op.kind == Kind::kAsk) op.expected = op.token + "? \n" + op.expected;
        const int f = static_cast<int>(pick(0, 99));
        const int sig = f < 15 ? SIGINT : f < 30 ? SIGKILL : 0;
        std::string why;
        auto child = spawn({cfg_.server, "--socket", cfg_.socket, "--agent",
                            cfg_.agent_names[op.agent], "--wait", "30", "-c", op.line},
                           true, "", &why);
        if (!child) {
            violation("client %d: %s", index_, why.c_str());
            return;
        }
        // The prompt takes the next line of standard input; an interrupted
        // client gets none, so it is still at its prompt when the signal comes.
        if (op.kind == Kind::kAsk && sig == 0) {
            const std::string line = op.reply + "\n";
            if (write(child->in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                violation("client %d: cannot write the reply to cli-server", index_);
        }
        std::string out, err;
        bool out_open = true, err_open = true, signalled = false;
        const auto deadline = Clock::now() + kCommandBound;
        // The ask command shows no output before its reply: it is cut after
        // a random short pause, wherever it then is.
        const auto cut_at = Clock::now() + std::chrono::milliseconds(pick(0, 300));
        while ((out_open || err_open) && Clock::now() < deadline) {
            if (sig && !signalled &&
                (op.kind == Kind::kAsk || op.kind == Kind::kEcho ? Clock::now() >= cut_at
                                                                 : !out.empty())) {
                kill(child->pid, sig);
                signalled = true;
                ++(sig == SIGINT ? g_count.sigint : g_count.sigkill);
            }
            pollfd p[2] = {{out_open ? child->out : -1, POLLIN, 0},
                           {err_open ? child->err : -1, POLLIN, 0}};
            if (poll(p, 2, 50) < 0 && errno != EINTR) break;
            char buf[65536];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n > 0) {
                    (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    (i == 0 ? out_open : err_open) = false;
                }
            }
        }
        close(child->in);
        close(child->out);
        close(child->err);
        const std::string name = "client " + std::to_string(index_) + " cli-server -c '" +
                                 op.line.substr(0, 60) + "' on " + cfg_.agent_names[op.agent];
        if (out_open || err_open) {
            kill(child->pid, SIGKILL);
            wait_child(child->pid, kStartBound);
            violation("%s: did not end (output so far %s, errors %s)", name.c_str(),
                      shown(out).c_str(), shown(err).c_str());
            return;
        }
        const auto status = wait_child(child->pid, kStartBound);
        if (!status) {
            kill(child->pid, SIGKILL);
            wait_child(child->pid, kStartBound);
            violation("%s: closed its output but did not exit", name.c_str());
            return;
        }
        g_count.output_bytes += out.size();
        const bool complete = out == op.expected && err.empty() && *status == 0;
        if (!signalled) {
            if (!complete)
                violation("%s: exit %d, output %s (expected %s), errors %s", name.c_str(), *status,
                          shown(out).c_str(), shown(op.expected).c_str(), shown(err).c_str());
            else
                ++g_count.done;
            if (op.kind == Kind::kAsk) ++g_count.prompts;
            return;
        }
        // Killed: whatever it printed is a beginning of its own output, and it
        // ended as the signal says (or had already finished cleanly).
        const bool own_prefix = op.expected.compare(0, out.size(), out) == 0;
        const bool status_ok = complete ||
                               (sig == SIGINT && (*status == 130 || *status == 128 + SIGINT)) ||
                               (sig == SIGKILL && *status == 128 + SIGKILL);
        if (!own_prefix || !status_ok)
            violation("%s: after %s exit %d, output %s (its own: %s), errors %s", name.c_str(),
                      sig == SIGINT ? "SIGINT" : "SIGKILL", *status, shown(out).c_str(),
                      shown(op.expected).c_str(), shown(err).c_str());
    }

    const Config &cfg_;
    int index_;
    const std::vector<uint64_t> &serials_;
    std::mt19937_64 rng_;
    Conn conn_;
    uint64_t seq_ = 0;
    uint64_t request_ = 0;
};

// ---------------------------------------------------------------- sampling

struct Sample {
    long fds = -1;
    long rss_kib = -1;
};

// With every client paused: waits (bounded) until each agent is idle with
// an empty queue, then reads the daemon's descriptors and memory. fd_limit:
// the count is re-read until it is at most this, so a connection closed
// just before is not counted while the daemon is still noticing.
std::optional<Sample> quiet_sample(Conn &monitor, pid_t daemon, size_t agents, long fd_limit) {
    const auto deadline = Clock::now() + kCommandBound;
    for (;;) {
        if (!monitor.send(wire::message(wire::kList, ""))) {
            violation("monitor: the daemon stopped taking LIST");
            return std::nullopt;
        }
        size_t rows = 0, idle = 0;
        std::string busy;
        for (;;) {
            std::string why;
            auto m = monitor.next(deadline, &why);
            if (!m) {
                violation("monitor: no ROWS_END (%s)", why.c_str());
                return std::nullopt;
            }
            if (m->type == wire::kRowsEnd) break;
            if (m->type == wire::kAgentDown) {
                violation("monitor: an agent went down: %s", shown(m->payload.substr(9)).c_str());
                return std::nullopt;
            }
            if (m->type != wire::kRow) continue;
            ++rows;
            const uint32_t queued =
                static_cast<uint32_t>(wire::get_be(m->payload, wire::kRecordFixed, 4));
            const bool is_busy = m->payload[wire::kRecordFixed + 4] & 1;
            if (queued == 0 && !is_busy)
                ++idle;
            else
                busy += " " + m->payload.substr(wire::kRecordFixed + 4 + 1 + 16) + "(queue " +
                        std::to_string(queued) + (is_busy ? ", busy)" : ")");
        }
        if (rows != agents) {
            violation("monitor: ls shows %zu agents, not %zu", rows, agents);
            return std::nullopt;
        }
        if (idle == rows) break;
        if (Clock::now() >= deadline) {
            violation("agents not idle %lld s after every client went quiet:%s",
                      static_cast<long long>(kCommandBound.count()), busy.c_str());
            return std::nullopt;
        }
        std::this_thread::sleep_for(20ms); // re-asking ls against a deadline
    }
    Sample s;
    const auto fd_deadline = Clock::now() + 10s;
    for (;;) {
        s.fds = fd_count(daemon);
        if (fd_limit < 0 || s.fds <= fd_limit || Clock::now() >= fd_deadline) break;
        std::this_thread::sleep_for(20ms); // re-reading /proc against a deadline
    }
    s.rss_kib = proc_value(daemon, "VmRSS").value_or(-1);
    return s;
}

bool pause_clients(int clients, Clock::time_point deadline) {
    std::unique_lock lock(g_pause.mu);
    g_pause.requested = true;
    return g_pause.cv.wait_until(
        lock, deadline, [&] { return g_pause.paused + g_pause.finished == clients || g_stop; });
}

void resume_clients() {
    std::lock_guard lock(g_pause.mu);
    g_pause.requested = false;
    g_pause.cv.notify_all();
}

int usage() {
    std::fprintf(stderr, "usage: daemon_soak [--clients N] [--agents M] [--seconds S] [--seed X]\n"
                         "                   [--fd-slack N] [--rss-slack-mib N] [--no-rss-check]\n"
                         "                   [--report-every S] [--server PATH] [--verbose]\n");
    return 2;
}

bool parse(int argc, char **argv, Config &cfg) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](long lo, long hi, long &out) {
            if (i + 1 >= argc) return false;
            char *end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end || v < lo || v > hi) return false;
            out = v;
            return true;
        };
        long v = 0;
        if (a == "--clients" && value(1, 256, v))
            cfg.clients = static_cast<int>(v);
        else if (a == "--agents" && value(1, 64, v))
            cfg.agents = static_cast<int>(v);
        else if (a == "--seconds" && value(1, 30L * 24 * 3600, v))
            cfg.seconds = static_cast<int>(v);
        else if (a == "--seed" && i + 1 < argc)
            cfg.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--fd-slack" && value(0, 1000, v))
            cfg.fd_slack = v;
        else if (a == "--rss-slack-mib" && value(0, 1 << 20, v))
            cfg.rss_slack_mib = v;
        else if (a == "--no-rss-check")
            cfg.rss_check = false;
        else if (a == "--report-every" && value(0, 1 << 20, v))
            cfg.report_every = static_cast<int>(v);
        else if (a == "--server" && i + 1 < argc)
            cfg.server = argv[++i];
        else if (a == "--verbose")
            g_verbose = true;
        else
            return false;
    }
    return true;
}

std::string mib(long kib) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return buf;
}

std::string progress(Clock::time_point start) {
    char buf[256];
    std::snprintf(
        buf, sizeof buf,
        "%llds: %" PRIu64 " commands (%" PRIu64 " done, %" PRIu64 " abandoned, %" PRIu64
        " dropped, %" PRIu64 " SIGINT, %" PRIu64 " SIGKILL), %" PRIu64 " prompts, %.1f MiB output",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
        g_count.commands.load(), g_count.done.load(), g_count.abandoned.load(),
        g_count.dropped.load(), g_count.sigint.load(), g_count.sigkill.load(),
        g_count.prompts.load(),
        static_cast<double>(g_count.output_bytes.load()) / (1024.0 * 1024.0));
    return buf;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--agent-process") == 0)
        return run_agent(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    Config cfg;
    if (!parse(argc, argv, cfg)) return usage();
    // The allocator may keep what the largest outputs in flight once took:
    // about a client's backpressure window each, beyond a fixed margin.
    if (cfg.rss_slack_mib < 0) cfg.rss_slack_mib = 16 + 2L * cfg.clients;
    if (cfg.seed == 0)
        cfg.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^ getpid();
    signal(SIGPIPE, SIG_IGN);

    char dir_template[] = "/tmp/cli-soak.XXXXXX";
    if (!mkdtemp(dir_template)) {
        std::perror("daemon_soak: mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;
    cfg.socket = dir + "/cli.sock";
    const std::string log = dir + "/daemon.log";
    const auto start = Clock::now();
    std::string why;

    std::vector<pid_t> agent_pids;
    pid_t daemon_pid = -1;
    auto stop_children = [&] {
        for (pid_t p : agent_pids)
            kill(p, SIGTERM);
        for (pid_t p : agent_pids)
            if (!wait_child(p, kStartBound)) {
                kill(p, SIGKILL);
                wait_child(p, kStartBound);
            }
        agent_pids.clear();
    };
    auto finish = [&](int status) {
        stop_children();
        if (daemon_pid > 0) {
            kill(daemon_pid, SIGKILL);
            wait_child(daemon_pid, kStartBound);
        }
        note("FAIL: %zu violation(s); the daemon's log is in %s", g_violations.size(), log.c_str());
        return status;
    };

    auto daemon = spawn({cfg.server, "--daemon", "--socket", cfg.socket}, false, log, &why);
    if (!daemon) {
        violation("cannot start the daemon: %s", why.c_str());
        return finish(1);
    }
    daemon_pid = daemon->pid;

    // Ready when its socket answers.
    Conn monitor;
    std::map<std::string, uint64_t> seen;
    for (const auto deadline = Clock::now() + kStartBound;;) {
        if (monitor.open(cfg.socket, &why)) break;
        int st = 0;
        if (waitpid(daemon_pid, &st, WNOHANG) == daemon_pid) {
            daemon_pid = -1;
            violation("the daemon exited at start (status 0x%x)", st);
            return finish(1);
        }
        if (Clock::now() >= deadline) {
            violation("the daemon's socket did not answer within %lld s",
                      static_cast<long long>(kStartBound.count()));
            return finish(1);
        }
        std::this_thread::sleep_for(10ms); // poll-connecting against a deadline
    }
    monitor.close();

    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    for (int i = 0; i < cfg.agents; ++i) {
        cfg.agent_names.push_back("soak-agent-" + std::to_string(i + 1));
        auto a = spawn({self, "--agent-process", cfg.agent_names.back(), std::to_string(i + 1)},
                       false, "/dev/null", &why);
        if (!a) {
            violation("cannot start agent %d: %s", i + 1, why.c_str());
            return finish(1);
        }
        agent_pids.push_back(a->pid);
    }
    if (!greet(monitor, cfg.socket, &seen, &why)) {
        violation("monitor: %s", why.c_str());
        return finish(1);
    }
    for (const auto deadline = Clock::now() + kStartBound;
         seen.size() < static_cast<size_t>(cfg.agents);) {
        auto m = monitor.next(deadline, &why);
        if (!m) {
            violation("only %zu of %d agents connected: %s", seen.size(), cfg.agents, why.c_str());
            return finish(1);
        }
        if (m->type == wire::kAgentUp)
            seen[m->payload.substr(wire::kRecordFixed)] = wire::get_be(m->payload, 0, 8);
    }
    std::vector<uint64_t> serials;
    for (const std::string &n : cfg.agent_names) {
        if (!seen.count(n)) {
            violation("agent %s did not connect", n.c_str());
            return finish(1);
        }
        serials.push_back(seen[n]);
    }
    note("daemon pid %d, %d agents, %d clients, %d s, seed %" PRIu64, daemon_pid, cfg.agents,
         cfg.clients, cfg.seconds, cfg.seed);

    const auto run_start = Clock::now();
    const auto end = run_start + std::chrono::seconds(cfg.seconds);
    const auto early_at =
        run_start + std::min<Clock::duration>(std::chrono::seconds(cfg.seconds) / 5, 600s);
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::thread> threads;
    for (int i = 0; i < cfg.clients; ++i) {
        clients.push_back(std::make_unique<Client>(cfg, i, serials));
        threads.emplace_back([&c = *clients.back(), end] { c.run(end); });
    }

    std::mutex wait_mu;
    std::condition_variable wait_cv; // only times out: the run's clock
    auto wait_until = [&](Clock::time_point t) {
        std::unique_lock lock(wait_mu);
        while (!g_stop && Clock::now() < t)
            wait_cv.wait_until(lock, std::min(t, Clock::now() + 1s));
    };
    std::optional<Sample> early, late;
    wait_until(early_at);
    if (!g_stop) {
        if (!pause_clients(cfg.clients, Clock::now() + 2 * kCommandBound))
            violation("the clients did not pause within %lld s",
                      static_cast<long long>(2 * kCommandBound.count()));
        else
            early = quiet_sample(monitor, daemon_pid, serials.size(), -1);
        resume_clients();
        if (early)
            note("warm-up sample: %ld descriptors, VmRSS %s", early->fds,
                 mib(early->rss_kib).c_str());
    }
    for (auto next = early_at; !g_stop && Clock::now() < end;) {
        next += std::chrono::seconds(cfg.report_every > 0 ? cfg.report_every : cfg.seconds);
        wait_until(std::min(next, end));
        if (cfg.report_every > 0 && !g_stop && Clock::now() < end)
            note("%s; daemon %ld descriptors, VmRSS %s", progress(run_start).c_str(),
                 fd_count(daemon_pid), mib(proc_value(daemon_pid, "VmRSS").value_or(-1)).c_str());
    }
    for (std::thread &t : threads)
        t.join();
    if (!g_stop && early)
        late = quiet_sample(monitor, daemon_pid, serials.size(), early->fds + cfg.fd_slack);
    if (early && late) {
        if (late->fds > early->fds + cfg.fd_slack)
            violation("the daemon's descriptors grew from %ld to %ld (slack %ld)", early->fds,
                      late->fds, cfg.fd_slack);
        if (cfg.rss_check && late->rss_kib > early->rss_kib + cfg.rss_slack_mib * 1024)
            violation("the daemon's VmRSS grew from %s to %s (slack %ld MiB)",
                      mib(early->rss_kib).c_str(), mib(late->rss_kib).c_str(), cfg.rss_slack_mib);
    }
    monitor.close();
    clients.clear();
    stop_children();

    // A clean stop, and under the sanitizers their verdict.
    if (int st = 0; waitpid(daemon_pid, &st, WNOHANG) == daemon_pid) {
        daemon_pid = -1;
        violation("the daemon died during the run (%s %d)",
                  WIFSIGNALED(st) ? "signal" : "exit status",
                  WIFSIGNALED(st) ? WTERMSIG(st) : WEXITSTATUS(st));
        return finish(1);
    }
    kill(daemon_pid, SIGTERM);
    const auto status = wait_child(daemon_pid, kStartBound);
    if (!status)
        violation("the daemon did not exit within %lld s of SIGTERM",
                  static_cast<long long>(kStartBound.count()));
    else if (*status != 0)
        violation("the daemon exited with status %d on SIGTERM", *status);
    if (status) daemon_pid = -1;
    if (!g_violations.empty()) return finish(1);

    std::printf(
        "daemon_soak: PASS %s; daemon descriptors %ld -> %ld, VmRSS %s -> %s%s; seed "
        "%" PRIu64 ", %lld s in all\n",
        progress(run_start).c_str(), early ? early->fds : -1L, late ? late->fds : -1L,
        mib(early ? early->rss_kib : -1).c_str(), mib(late ? late->rss_kib : -1).c_str(),
        cfg.rss_check ? "" : " (not checked)", cfg.seed,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()));
    std::filesystem::remove_all(dir, ec);
    return 0;
}
