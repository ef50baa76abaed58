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
// Its parts: soak.h (bounds, verdicts, counters), soak_agent.cpp (the agent
// side), soak_wire.h (the protocol and one connection), soak_verdicts.cpp,
// and this file (the clients, one thread each, and the run on the main
// thread, which also takes the samples while the clients wait paused).
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
//   ../../tests/support/private_network.sh tests/server/daemon/soak/daemon_soak
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
#include "process.h"
#include "soak_wire.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
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

namespace soak {

namespace {

using clitest::Process;
using clitest::SpawnOptions;

// ---------------------------------------------------------------- processes

// The agents, the clients and the daemon are Processes (tests/support/process.h):
// none of them inherits the service manager's or a developer's socket.
SpawnOptions child_options(bool pipes, const std::string &log = {}) {
    SpawnOptions o;
    o.pipe_stdin = pipes;
    o.pipe_stdout = pipes;
    o.pipe_stderr = pipes;
    o.stderr_file = log;
    o.stdout_to_stderr = !pipes;
    o.unset_env = {"NOTIFY_SOCKET", "CLI_SERVER_SOCKET"};
    return o;
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

} // namespace

void wake_everyone() {
    g_pause.wake();
}

namespace {

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

    // One to three commands at once over the client's connection, followed
    // to their ends; then, if any was abandoned, to the end of its traffic.
    void batch() {
        std::map<uint64_t, Op> ops;
        if (!submit_batch(ops)) return;
        bool any_abandoned = false;
        const auto deadline = Clock::now() + kCommandBound;
        while (open_count(ops) > 0 && !g_stop) {
            std::string why;
            auto m = conn_.next(deadline, &why);
            if (!m) {
                report_no_end(ops, why);
                return;
            }
            if (!take(ops, *m, any_abandoned)) return;
        }
        if (any_abandoned && !g_stop) settle(ops);
    }

    bool submit_batch(std::map<uint64_t, Op> &ops) {
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
        if (conn_.send(out)) return true;
        violation("client %d: the daemon stopped taking SUBMITs", index_);
        return false;
    }

    static long open_count(const std::map<uint64_t, Op> &ops) {
        return std::count_if(ops.begin(), ops.end(),
                             [](auto &kv) { return !kv.second.done && !kv.second.abandoned; });
    }

    void report_no_end(const std::map<uint64_t, Op> &ops, const std::string &why) {
        for (auto &[req, op] : ops)
            if (!op.done && !op.abandoned)
                violation("%s: no end (%s); sent=%d prompted=%d output so far %s",
                          who(req, op).c_str(), why.c_str(), op.sent, op.prompted,
                          shown(op.got).c_str());
    }

    static bool session_message(uint8_t type) {
        return type == wire::kAgentDown || type == wire::kAgentUp || type == wire::kRefused ||
               type == wire::kWelcome || type == wire::kReady || type == wire::kRow ||
               type == wire::kRowsEnd;
    }

    // One message while commands run; false ends the batch (a violation, or
    // the connection dropped on purpose).
    bool take(std::map<uint64_t, Op> &ops, const Msg &m, bool &any_abandoned) {
        if (m.type == wire::kNotice) {
            if (g_verbose) note("client %d: notice %s", index_, shown(m.payload).c_str());
            return true;
        }
        if (session_message(m.type)) {
            violation("client %d: unexpected message type 0x%02x %s mid-command", index_, m.type,
                      shown(m.payload).c_str());
            return false;
        }
        const uint64_t req = m.request();
        auto it = ops.find(req);
        if (it == ops.end()) {
            violation("client %d: message type 0x%02x for request %" PRIu64
                      " it has no command running for: %s",
                      index_, m.type, req, shown(m.after_request()).c_str());
            return false;
        }
        Op &op = it->second;
        if (op.done) {
            violation("%s: message type 0x%02x after its DONE", who(req, op).c_str(), m.type);
            return false;
        }
        if (!follow(req, op, m)) return false;
        if (op.abandoned || op.done || op.fate == Fate::kNormal || !cut_now(op, m.type))
            return true;
        return cut(req, op, any_abandoned);
    }

    // What one message of a command says of it; false on a violation.
    bool follow(uint64_t req, Op &op, const Msg &m) {
        switch (m.type) {
        case wire::kQueued:
            if (op.sent) violation("%s: QUEUED after SENT", who(req, op).c_str());
            return !op.sent;
        case wire::kSent:
            if (op.sent) {
                violation("%s: a second SENT", who(req, op).c_str());
                return false;
            }
            op.sent = true;
            return true;
        case wire::kOutput:
            return on_output(req, op, m);
        case wire::kPrompt:
            return on_prompt(req, op, m);
        case wire::kDone:
            return on_done(req, op);
        default:
            violation("%s: unknown message type 0x%02x", who(req, op).c_str(), m.type);
            return false;
        }
    }

    bool on_output(uint64_t req, Op &op, const Msg &m) {
        op.got += m.after_request();
        g_count.output_bytes += m.payload.size() - 8;
        if (op.got.size() <= op.expected.size() &&
            op.expected.compare(0, op.got.size(), op.got) == 0)
            return true;
        violation("%s: output %s is not what it printed, %s", who(req, op).c_str(),
                  shown(op.got).c_str(), shown(op.expected).c_str());
        return false;
    }

    bool on_prompt(uint64_t req, Op &op, const Msg &m) {
        const std::string text = m.after_request();
        if (op.kind != Kind::kAsk || op.prompted || op.abandoned || text != op.token + "? ") {
            violation("%s: a prompt %s that is not its own", who(req, op).c_str(),
                      shown(text).c_str());
            return false;
        }
        op.prompted = true;
        ++g_count.prompts;
        if (op.fate != Fate::kNormal || conn_.send(wire::with_request(wire::kReply, req, op.reply)))
            return true;
        violation("%s: the daemon stopped taking REPLYs", who(req, op).c_str());
        return false;
    }

    bool on_done(uint64_t req, Op &op) {
        if (!op.abandoned && op.got != op.expected) {
            violation("%s: ended with output %s, not %s", who(req, op).c_str(),
                      shown(op.got).c_str(), shown(op.expected).c_str());
            return false;
        }
        if (!op.sent) {
            violation("%s: DONE without SENT", who(req, op).c_str());
            return false;
        }
        op.done = true;
        if (!op.abandoned) ++g_count.done;
        return true;
    }

    // The interruption the command was given; false when it ends the batch.
    bool cut(uint64_t req, Op &op, bool &any_abandoned) {
        if (op.fate == Fate::kDrop) {
            // Gone without a word, as a client killed by SIGKILL is.
            ++g_count.dropped;
            conn_.close();
            ++g_count.reconnects;
            connect();
            return false;
        }
        op.abandoned = true;
        any_abandoned = true;
        ++g_count.abandoned;
        if (conn_.send(wire::with_request(wire::kAbandon, req))) return true;
        violation("%s: the daemon stopped taking ABANDONs", who(req, op).c_str());
        return false;
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
        Process child({cfg_.server, "--socket", cfg_.socket, "--agent", cfg_.agent_names[op.agent],
                       "--wait", "30", "-c", op.line},
                      child_options(true));
        if (!child.started()) {
            violation("client %d: cannot start %s", index_, cfg_.server.c_str());
            return;
        }
        // The prompt takes the next line of standard input; an interrupted
        // client gets none, so it is still at its prompt when the signal comes.
        if (op.kind == Kind::kAsk && sig == 0 && !child.write_in(op.reply + "\n"))
            violation("client %d: cannot write the reply to cli-server", index_);
        Captured got = capture(child, op, sig);
        child.close_in();
        const std::string name = "client " + std::to_string(index_) + " cli-server -c '" +
                                 op.line.substr(0, 60) + "' on " + cfg_.agent_names[op.agent];
        if (got.open) {
            child.kill(SIGKILL);
            child.wait(kStartBound);
            violation("%s: did not end (output so far %s, errors %s)", name.c_str(),
                      shown(got.out).c_str(), shown(got.err).c_str());
            return;
        }
        const auto status = child.wait(kStartBound);
        if (!status) {
            child.kill(SIGKILL);
            child.wait(kStartBound);
            violation("%s: closed its output but did not exit", name.c_str());
            return;
        }
        g_count.output_bytes += got.out.size();
        judge(name, op, got, *status);
    }

    // What a client process wrote on its two outputs until it closed them
    // (or the bound passed: open), the signal sent to it on the way if any.
    struct Captured {
        std::string out, err;
        bool open = false;
        int signal = 0;
    };

    Captured capture(Process &child, const Op &op, int sig) {
        Captured got;
        bool out_open = true, err_open = true;
        const auto deadline = Clock::now() + kCommandBound;
        // The ask command shows no output before its reply: it is cut after
        // a random short pause, wherever it then is.
        const auto cut_at = Clock::now() + std::chrono::milliseconds(pick(0, 300));
        while ((out_open || err_open) && Clock::now() < deadline) {
            if (sig && !got.signal &&
                (op.kind == Kind::kAsk || op.kind == Kind::kEcho ? Clock::now() >= cut_at
                                                                 : !got.out.empty())) {
                child.kill(sig);
                got.signal = sig;
                ++(sig == SIGINT ? g_count.sigint : g_count.sigkill);
            }
            pollfd p[2] = {{out_open ? child.out() : -1, POLLIN, 0},
                           {err_open ? child.err() : -1, POLLIN, 0}};
            if (poll(p, 2, 50) < 0 && errno != EINTR) break;
            char buf[65536];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n > 0)
                    (i == 0 ? got.out : got.err).append(buf, static_cast<size_t>(n));
                else if (n == 0 || errno != EINTR)
                    (i == 0 ? out_open : err_open) = false;
            }
        }
        got.open = out_open || err_open;
        return got;
    }

    // A client process that ran to its end printed exactly its command's
    // output; a killed one a beginning of it, and it ended as the signal says
    // (or had already finished cleanly).
    void judge(const std::string &name, const Op &op, const Captured &got, int status) {
        const bool complete = got.out == op.expected && got.err.empty() && status == 0;
        if (!got.signal) {
            if (!complete)
                violation("%s: exit %d, output %s (expected %s), errors %s", name.c_str(), status,
                          shown(got.out).c_str(), shown(op.expected).c_str(),
                          shown(got.err).c_str());
            else
                ++g_count.done;
            if (op.kind == Kind::kAsk) ++g_count.prompts;
            return;
        }
        const int sig = got.signal;
        const bool own_prefix = op.expected.compare(0, got.out.size(), got.out) == 0;
        const bool status_ok = complete ||
                               (sig == SIGINT && (status == 130 || status == 128 + SIGINT)) ||
                               (sig == SIGKILL && status == 128 + SIGKILL);
        if (!own_prefix || !status_ok)
            violation("%s: after %s exit %d, output %s (its own: %s), errors %s", name.c_str(),
                      sig == SIGINT ? "SIGINT" : "SIGKILL", status, shown(got.out).c_str(),
                      shown(op.expected).c_str(), shown(got.err).c_str());
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

// One run: the daemon, its agents, the monitor's connection and the clients,
// each step a function; a failed step has reported its violation.
class Soak {
  public:
    explicit Soak(Config &cfg) : cfg_(cfg) {}

    int run() {
        if (!make_dir()) return 1;
        if (!start_daemon() || !start_agents() || !meet_agents()) return finish(1);
        note("daemon pid %d, %d agents, %d clients, %d s, seed %" PRIu64, daemon_->pid(),
             cfg_.agents, cfg_.clients, cfg_.seconds, cfg_.seed);
        load();
        if (!stop_daemon() || !g_violations.empty()) return finish(1);
        pass();
        return 0;
    }

  private:
    bool make_dir() {
        char dir_template[] = "/tmp/cli-soak.XXXXXX";
        if (!mkdtemp(dir_template)) {
            std::perror("daemon_soak: mkdtemp");
            return false;
        }
        dir_ = dir_template;
        cfg_.socket = dir_ + "/cli.sock";
        log_ = dir_ + "/daemon.log";
        return true;
    }

    // Started, and ready when its socket answers.
    bool start_daemon() {
        daemon_ = std::make_unique<Process>(
            std::vector<std::string>{cfg_.server, "--daemon", "--socket", cfg_.socket},
            child_options(false, log_));
        if (!daemon_->started()) {
            violation("cannot start the daemon: %s", cfg_.server.c_str());
            return false;
        }
        std::string why;
        for (const auto deadline = Clock::now() + kStartBound;;) {
            if (monitor_.open(cfg_.socket, &why)) break;
            if (auto st = daemon_->wait(0ms)) {
                violation("the daemon exited at start (status %d)", *st);
                return false;
            }
            if (Clock::now() >= deadline) {
                violation("the daemon's socket did not answer within %lld s",
                          static_cast<long long>(kStartBound.count()));
                return false;
            }
            std::this_thread::sleep_for(10ms); // poll-connecting against a deadline
        }
        monitor_.close();
        return true;
    }

    // This program once more per agent, as --agent-process.
    bool start_agents() {
        std::error_code ec;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        for (int i = 0; i < cfg_.agents; ++i) {
            cfg_.agent_names.push_back("soak-agent-" + std::to_string(i + 1));
            agents_.push_back(std::make_unique<Process>(
                std::vector<std::string>{self, "--agent-process", cfg_.agent_names.back(),
                                         std::to_string(i + 1)},
                child_options(false)));
            if (!agents_.back()->started()) {
                violation("cannot start agent %d", i + 1);
                return false;
            }
        }
        return true;
    }

    // The monitor's session, open until every agent has connected.
    bool meet_agents() {
        std::map<std::string, uint64_t> seen;
        std::string why;
        if (!greet(monitor_, cfg_.socket, &seen, &why)) {
            violation("monitor: %s", why.c_str());
            return false;
        }
        for (const auto deadline = Clock::now() + kStartBound;
             seen.size() < static_cast<size_t>(cfg_.agents);) {
            auto m = monitor_.next(deadline, &why);
            if (!m) {
                violation("only %zu of %d agents connected: %s", seen.size(), cfg_.agents,
                          why.c_str());
                return false;
            }
            if (m->type == wire::kAgentUp)
                seen[m->payload.substr(wire::kRecordFixed)] = wire::get_be(m->payload, 0, 8);
        }
        for (const std::string &n : cfg_.agent_names) {
            if (!seen.count(n)) {
                violation("agent %s did not connect", n.c_str());
                return false;
            }
            serials_.push_back(seen[n]);
        }
        return true;
    }

    // The clients' run, with the warm-up sample, the progress lines and the
    // last sample compared with the first.
    void load() {
        run_start_ = Clock::now();
        const auto end = run_start_ + std::chrono::seconds(cfg_.seconds);
        const auto early_at =
            run_start_ + std::min<Clock::duration>(std::chrono::seconds(cfg_.seconds) / 5, 600s);
        std::vector<std::unique_ptr<Client>> clients;
        std::vector<std::thread> threads;
        for (int i = 0; i < cfg_.clients; ++i) {
            clients.push_back(std::make_unique<Client>(cfg_, i, serials_));
            threads.emplace_back([&c = *clients.back(), end] { c.run(end); });
        }
        wait_until(early_at);
        if (!g_stop) warm_up_sample();
        report_until(early_at, end);
        for (std::thread &t : threads)
            t.join();
        if (!g_stop && early_)
            late_ = quiet_sample(monitor_, daemon_->pid(), serials_.size(),
                                 early_->fds + cfg_.fd_slack);
        check_growth();
        monitor_.close();
        clients.clear();
        stop_agents();
    }

    // The run's clock: wakes early only when a violation stops the run.
    void wait_until(Clock::time_point t) {
        std::unique_lock lock(wait_mu_);
        while (!g_stop && Clock::now() < t)
            wait_cv_.wait_until(lock, std::min(t, Clock::now() + 1s));
    }

    void warm_up_sample() {
        if (!pause_clients(cfg_.clients, Clock::now() + 2 * kCommandBound))
            violation("the clients did not pause within %lld s",
                      static_cast<long long>(2 * kCommandBound.count()));
        else
            early_ = quiet_sample(monitor_, daemon_->pid(), serials_.size(), -1);
        resume_clients();
        if (early_)
            note("warm-up sample: %ld descriptors, VmRSS %s", early_->fds,
                 mib(early_->rss_kib).c_str());
    }

    void report_until(Clock::time_point from, Clock::time_point end) {
        for (auto next = from; !g_stop && Clock::now() < end;) {
            next += std::chrono::seconds(cfg_.report_every > 0 ? cfg_.report_every : cfg_.seconds);
            wait_until(std::min(next, end));
            if (cfg_.report_every > 0 && !g_stop && Clock::now() < end)
                note("%s; daemon %ld descriptors, VmRSS %s", progress(run_start_).c_str(),
                     fd_count(daemon_->pid()),
                     mib(proc_value(daemon_->pid(), "VmRSS").value_or(-1)).c_str());
        }
    }

    void check_growth() {
        if (!early_ || !late_) return;
        if (late_->fds > early_->fds + cfg_.fd_slack)
            violation("the daemon's descriptors grew from %ld to %ld (slack %ld)", early_->fds,
                      late_->fds, cfg_.fd_slack);
        if (cfg_.rss_check && late_->rss_kib > early_->rss_kib + cfg_.rss_slack_mib * 1024)
            violation("the daemon's VmRSS grew from %s to %s (slack %ld MiB)",
                      mib(early_->rss_kib).c_str(), mib(late_->rss_kib).c_str(),
                      cfg_.rss_slack_mib);
    }

    void stop_agents() {
        for (auto &a : agents_)
            a->kill(SIGTERM);
        for (auto &a : agents_)
            if (!a->wait(kStartBound)) {
                a->kill(SIGKILL);
                a->wait(kStartBound);
            }
        agents_.clear();
    }

    // A clean stop, and under the sanitizers their verdict.
    bool stop_daemon() {
        if (auto st = daemon_->wait(0ms)) {
            violation("the daemon died during the run (%s %d)",
                      *st > 128 ? "signal" : "exit status", *st > 128 ? *st - 128 : *st);
            return false;
        }
        daemon_->kill(SIGTERM);
        const auto status = daemon_->wait(kStartBound);
        if (!status)
            violation("the daemon did not exit within %lld s of SIGTERM",
                      static_cast<long long>(kStartBound.count()));
        else if (*status != 0)
            violation("the daemon exited with status %d on SIGTERM", *status);
        return true;
    }

    int finish(int status) {
        stop_agents();
        daemon_.reset(); // SIGKILL if it still runs
        note("FAIL: %zu violation(s); the daemon's log is in %s", g_violations.size(),
             log_.c_str());
        return status;
    }

    void pass() {
        std::printf(
            "daemon_soak: PASS %s; daemon descriptors %ld -> %ld, VmRSS %s -> %s%s; seed "
            "%" PRIu64 ", %lld s in all\n",
            progress(run_start_).c_str(), early_ ? early_->fds : -1L, late_ ? late_->fds : -1L,
            mib(early_ ? early_->rss_kib : -1).c_str(), mib(late_ ? late_->rss_kib : -1).c_str(),
            cfg_.rss_check ? "" : " (not checked)", cfg_.seed,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count()));
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Config &cfg_;
    const Clock::time_point start_ = Clock::now();
    Clock::time_point run_start_ = start_;
    std::string dir_, log_;
    std::unique_ptr<Process> daemon_;
    std::vector<std::unique_ptr<Process>> agents_;
    Conn monitor_;
    std::vector<uint64_t> serials_;
    std::optional<Sample> early_, late_;
    std::mutex wait_mu_;
    std::condition_variable wait_cv_; // only times out: the run's clock
};

} // namespace

} // namespace soak

int main(int argc, char **argv) {
    using namespace soak;
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
    return Soak(cfg).run();
}
