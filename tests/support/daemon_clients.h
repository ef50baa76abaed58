// Clients of the resident server for its end-to-end tests (the daemon
// itself is daemon_fixture.h's): cli-server clients, hosts under other
// users, and a raw operator-protocol client that encodes and decodes the
// wire itself (never through the server's codec, so a fault shared by both
// ends of that codec cannot hide). Single-threaded, like the tests.
#pragma once

#include "daemon_fixture.h"
#include "server_fixture.h"
#include "temp_dir.h"

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

inline constexpr uid_t kNobody = 65534;

// The cli-server arguments of a client of d: --socket PATH ARGS.
inline std::vector<std::string> client_args(const Daemon &d, std::vector<std::string> args) {
    args.insert(args.begin(), {"--socket", d.socket()});
    return args;
}
// A client of the daemon's run to completion.
inline RunResult run_client(const Daemon &d, std::vector<std::string> args,
                            const std::string &input = {}, const SpawnOptions &base = {}) {
    return run_server(client_args(d, std::move(args)), input, kTimeout, base);
}
// A client left running, its standard input a pipe.
inline std::unique_ptr<Process> start_client(const Daemon &d, std::vector<std::string> args,
                                             SpawnOptions o = {}) {
    o.pipe_stdin = true;
    return std::make_unique<Process>(server_argv(client_args(d, std::move(args))), o);
}
// A child run as uid with primary gid and the supplementary groups (none
// unless given); needs root.
inline SpawnOptions as_user(uid_t uid, gid_t gid, std::vector<gid_t> groups = {}) {
    SpawnOptions o;
    o.uid = uid;
    o.gid = gid;
    o.groups = std::move(groups);
    return o;
}
// The example host under another uid (and its primary gid).
inline std::unique_ptr<Process> start_host_as(uid_t uid, gid_t gid, const std::string &id,
                                              const std::string &name) {
    return start_host(id, name, as_user(uid, gid));
}

// The example host as `name` (`id`), returned once d journalled its
// connection; nullptr when that line did not come in time.
std::unique_ptr<Process> start_connected_host(Daemon &d, const std::string &id,
                                              const std::string &name);

// The start of many resident-server tests: a daemon of the test's own in a
// temporary directory, its journal piped, ready, and the example host
// "alpha" (id 1) connected to it. With Audit::on it keeps its audit log at
// audit_log().
struct ResidentWithAlpha {
    enum class Audit { off, on };
    explicit ResidentWithAlpha(std::vector<std::string> extra = {}, Audit audit = Audit::off,
                               std::vector<std::string> launcher = {});

    // The daemon was ready and journalled alpha's connection in time.
    bool ok() const { return ok_; }
    // Why not, for the failure message.
    std::string why() const;
    std::string audit_log() const { return dir.file("audit.log"); }

    TempDir dir; // first: the daemon lives in it
    Daemon daemon;
    std::unique_ptr<Process> alpha;

  private:
    bool ok_ = false;
};

// One message of the operator protocol as the test decodes it.
struct Msg {
    uint8_t type = 0;
    std::string payload;
};

// Message types and the few payload layouts the tests need, written down
// here from the wire description rather than taken from the tools.
namespace wire {
inline constexpr uint8_t kHello = 0x01, kSubmit = 0x02, kReply = 0x03, kAbandon = 0x04,
                         kList = 0x05, kAbandonTimedOut = 0x06;
inline constexpr uint8_t kWelcome = 0x81, kAgentUp = 0x82, kAgentDown = 0x83, kReady = 0x84,
                         kQueued = 0x85, kSent = 0x86, kOutput = 0x87, kPrompt = 0x88, kDone = 0x89,
                         kNotice = 0x8a, kRow = 0x8b, kRowsEnd = 0x8c, kRefused = 0x8d;
std::string be(uint64_t v, int bytes);
uint64_t read_be(const std::string &s, size_t at, int bytes);
std::string message(uint8_t type, const std::string &payload);
std::string hello(uint16_t version = 1, uint8_t mode = 1);
std::string submit(uint64_t request, uint64_t agent, const std::string &line);
} // namespace wire

// One row of LIST as the test reads it.
struct RawRow {
    uint64_t serial = 0;
    uint32_t id = 0;
    int64_t pid = -1, uid = -1;
    uint32_t queued = 0;
    bool busy = false;
    int64_t runner_uid = -1, runner_pid = -1;
    std::string name;
};

class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connect(const std::string &path);
    int fd() const { return fd_; }
    bool send(const std::string &bytes);
    // The next whole message; nullopt on time-out or end of stream.
    std::optional<Msg> read(ms timeout = kTimeout);
    // The next message of this type, skipping others (kept in *skipped).
    std::optional<Msg> read_type(uint8_t type, ms timeout = kTimeout,
                                 std::vector<Msg> *skipped = nullptr);
    // SUBMITs line to the agent of that serial and reads up to its DONE:
    // the OUTPUT's text, or nullopt when the submit or DONE fails.
    std::optional<std::string> run(uint64_t request, uint64_t agent, const std::string &line,
                                   ms timeout = kTimeout);
    // True when the daemon closes the connection in time; what it sent first is dropped.
    bool wait_closed(ms timeout = kTimeout);
    // HELLO of that protocol version, then WELCOME (of the same version),
    // AGENT_UP... and READY: the agents' serials by name.
    bool greet(uint16_t version = 1);
    uint64_t serial_of(const std::string &name) const;
    // LIST and its rows.
    std::optional<std::vector<RawRow>> list(ms timeout = kTimeout);
    // Lists until pred holds for the row of agent `name` or the time-out.
    bool wait_row(const std::string &name, const std::function<bool(const RawRow &)> &pred,
                  ms timeout = kTimeout);
    void close();

  private:
    int fd_ = -1;
    std::string buf_;
    std::map<std::string, uint64_t> agents_;
};

// A command of a raw client of d's abandoned once it was SENT to the agent;
// true when every step went through, the LIST behind the ABANDON included
// (its answer proves the ABANDON was handled).
bool abandon_once_sent(const Daemon &d, const std::string &agent, const std::string &line);

// The example host's `wipe` asks this before it wipes.
inline const std::string kWipePrompt = "Wipe the device buffer? Type yes to confirm: ";

// A file's mode bits, owner and type, as lstat() gives them (all 0 when it
// cannot).
struct Mode {
    mode_t perms = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool socket = false;
};
Mode mode_of(const std::string &path);

// The whole of the file at path; empty when it cannot be read.
std::string read_file(const std::string &path);

// Lines of text, without their newlines.
std::vector<std::string> lines_of(const std::string &text);

} // namespace clitest
