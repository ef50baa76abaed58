// Who may use the resident server and what it records: the socket's modes,
// refused and admitted clients of other users, --agent-users and the audit
// log.
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace daemontest;

namespace {

const std::string kWipePrompt = "Wipe the device buffer? Type yes to confirm: ";
// A system group nobody is not a member of, so admitting nobody under it
// can only come from the client's primary gid.
constexpr const char *kGroup = "daemon";

struct Mode {
    mode_t perms = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool socket = false;
};

Mode mode_of(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return {};
    return Mode{st.st_mode & 07777, st.st_uid, st.st_gid, S_ISSOCK(st.st_mode)};
}

std::string dir_of(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

std::optional<gid_t> group_id(const char *name) {
    group *g = getgrnam(name);
    if (!g) return std::nullopt;
    return g->gr_gid;
}

SpawnOptions as_user(uid_t uid, gid_t gid) {
    SpawnOptions o;
    o.uid = uid;
    o.gid = gid;
    return o;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(ResidentServerAccess, TheSocketIsPrivateOrSharedWithTheGroup) {
    {
        TempDir dir;
        Daemon d(dir.path());
        ASSERT_TRUE(d.ready());
        Mode sock = mode_of(d.socket()), parent = mode_of(dir_of(d.socket()));
        EXPECT_TRUE(sock.socket);
        EXPECT_EQ(sock.perms, 0600u);
        EXPECT_EQ(parent.perms, 0700u);
        EXPECT_EQ(sock.uid, getuid());
        EXPECT_EQ(parent.uid, getuid());
        EXPECT_EQ(d.stop(), 0);
    }
    const auto gid = group_id(kGroup);
    if (getuid() != 0 || !gid) GTEST_SKIP() << "giving the socket to a group needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup});
    ASSERT_TRUE(d.ready());
    Mode sock = mode_of(d.socket()), parent = mode_of(dir_of(d.socket()));
    EXPECT_EQ(sock.perms, 0660u);
    EXPECT_EQ(parent.perms, 0750u);
    EXPECT_EQ(sock.gid, *gid);
    EXPECT_EQ(parent.gid, *gid);
}

// Modes opened wide on purpose: the peer check alone turns nobody away.
TEST(ResidentServerAccess, AnotherUsersClientIsRefusedInOneLine) {
    if (getuid() != 0) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(chmod(dir_of(d.socket()).c_str(), 0755), 0);
    ASSERT_EQ(chmod(d.socket().c_str(), 0666), 0);

    auto r = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, kNobody));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("cli-server: access denied for uid 65534 (nobody): ", 0), 0u) << r.err;
    EXPECT_TRUE(d.journal_until("access denied for uid 65534")) << d.journal();
    // Once, as a warning, with the client's pid, and the program named once.
    EXPECT_TRUE(d.journal_until("\n")) << d.journal();
    const std::string &j = d.journal();
    EXPECT_NE(j.find("<4>cli-server: refused client pid "), std::string::npos) << j;
    EXPECT_EQ(j.find("cli-server: cli-server:"), std::string::npos) << j;
    size_t count = 0;
    for (size_t at = j.find("access denied"); at != std::string::npos;
         at = j.find("access denied", at + 1))
        ++count;
    EXPECT_EQ(count, 1u) << j;
}

TEST(ResidentServerAccess, AClientWithTheGroupAsPrimaryGidIsAdmitted) {
    const auto gid = group_id(kGroup);
    if (getuid() != 0 || !gid) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup});
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);

    auto admitted = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, *gid));
    EXPECT_EQ(admitted.status, 0) << admitted.err;
    EXPECT_EQ(admitted.out, "no agents connected\n");
    EXPECT_EQ(admitted.err, "");

    // The same user without the group does not even reach the socket.
    auto outsider = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, kNobody));
    EXPECT_EQ(outsider.status, 1);
    EXPECT_EQ(outsider.out, "");
    EXPECT_EQ(std::count(outsider.err.begin(), outsider.err.end(), '\n'), 1) << outsider.err;
}

// --agent-users root: root's agents are served, nobody's is turned away
// before its ACK and named in the journal with its user; ls shows each agent's pid and user.
TEST(ResidentServerAccess, AgentUsersAdmitsOnlyTheListedUsersAgents) {
    TempDir dir;
    Daemon d(dir.path(), {"--agent-users", "root"});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected (user root)")) << d.journal();
    std::unique_ptr<Process> stranger;
    if (getuid() == 0) {
        stranger = start_host_as(kNobody, kNobody, "2", "stranger");
        EXPECT_TRUE(d.journal_until("refused agent stranger (id 2): it belongs to uid 65534 "
                                    "(nobody), not to a user of --agent-users"))
            << d.journal();
    }

    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    auto rows = lines_of(ls.out);
    ASSERT_EQ(rows.size(), 2u) << ls.out; // the heading and alpha
    std::istringstream row(rows[1]);
    std::string id, name, date, time, pid, user, queue, state;
    row >> id >> name >> date >> time >> pid >> user >> queue >> state;
    EXPECT_EQ(id, "1");
    EXPECT_EQ(name, "alpha");
    EXPECT_EQ(pid, std::to_string(alpha->pid()));
    EXPECT_EQ(user, "root");
    EXPECT_EQ(queue, "0");
    EXPECT_EQ(state, "idle");
    EXPECT_EQ(d.journal().find("stranger (id 2) connected"), std::string::npos) << d.journal();
    // The refusal is journalled once, as such, not also as a silent connection.
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(d.journal().find("never said HELLO"), std::string::npos) << d.journal();
}

// One JSON line per command sent, whatever became of it; a prompt's reply
// appears neither in the log nor in the journal.
TEST(ResidentServerAudit, RecordsEveryCommandWithItsOutcomeButNoReply) {
    const std::string secret = "Qx7-Sesame-91";
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
    std::vector<pid_t> client_pids;

    { // done
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo hello"});
        client_pids.push_back(c->pid());
        c->close_in();
        EXPECT_EQ(read_all(c->out()), "hello\n");
        EXPECT_EQ(c->wait(), 0);
    }
    { // done, with a prompt answered
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
        client_pids.push_back(c->pid());
        c->write_in(secret + "\n");
        c->close_in();
        EXPECT_EQ(read_all(c->out()), kWipePrompt + "\nNot wiped.\n");
        EXPECT_EQ(c->wait(), 0);
    }
    { // interrupted: ABANDON after SENT; a LIST behind it proves it was handled
        RawClient raw;
        ASSERT_TRUE(raw.connect(d.socket()));
        ASSERT_TRUE(raw.greet());
        ASSERT_TRUE(raw.send(wire::submit(5, raw.serial_of("alpha"), "ticks -n 20 -i 10")));
        ASSERT_TRUE(raw.read_type(wire::kSent));
        ASSERT_TRUE(raw.send(wire::message(wire::kAbandon, wire::be(5, 8))));
        ASSERT_TRUE(raw.list());
        client_pids.push_back(getpid());
    }
    { // client-left: killed at the prompt; the next command runs after the record
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
        client_pids.push_back(c->pid());
        std::string out;
        ASSERT_TRUE(read_until(c->out(), kWipePrompt, &out));
        c->kill(SIGKILL);
        c->wait();
        auto next = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo after"});
        client_pids.push_back(next->pid());
        next->close_in();
        EXPECT_EQ(read_all(next->out()), "after\n");
        EXPECT_EQ(next->wait(), 0);
    }
    const pid_t alpha_pid = alpha->pid();
    { // agent-disconnected: the client hears of it after the record
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "ticks -n 1000 -i 10"});
        client_pids.push_back(c->pid());
        std::string out;
        ASSERT_TRUE(read_until(c->out(), "tick 2/1000", &out));
        alpha->kill(SIGKILL);
        EXPECT_EQ(c->wait(), 3);
    }
    EXPECT_EQ(d.stop(), 0);

    EXPECT_EQ(mode_of(log).perms, 0600u);
    const std::string text = read_file(log);
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_EQ(d.journal().find(secret), std::string::npos) << d.journal();

    struct Expected {
        const char *command;
        const char *outcome;
        uint64_t prompts;
    } expected[] = {
        {"echo hello", "done", 0},
        {"wipe", "done", 1},
        {"ticks -n 20 -i 10", "interrupted", 0},
        {"wipe", "client-left", 0},
        {"echo after", "done", 0},
        {"ticks -n 1000 -i 10", "agent-disconnected", 0},
    };
    // Each command: its "sent" record, then its "end" record.
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 2 * std::size(expected)) << text;
    ASSERT_EQ(text.back(), '\n');
    const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    const std::vector<std::string> sent_fields = {
        "agent",       "agent_id", "agent_pid", "agent_uid", "client_pid", "client_uid",
        "client_user", "command",  "event",     "request",   "time"};
    std::vector<std::string> end_fields = sent_fields;
    end_fields.insert(end_fields.end(),
                      {"duration_ms", "outcome", "output_bytes", "prompts_answered", "result"});
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const bool is_end = i % 2 == 1;
        const Expected &want = expected[i / 2];
        nlohmann::json j = nlohmann::json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(j.is_object());
        const auto &fields = is_end ? end_fields : sent_fields;
        EXPECT_EQ(j.size(), fields.size());
        for (const auto &f : fields)
            EXPECT_TRUE(j.contains(f)) << f;
        EXPECT_EQ(j.value("event", ""), is_end ? "end" : "sent");
        EXPECT_EQ(j.value("agent", ""), "alpha");
        EXPECT_TRUE(j["agent_id"].is_number_unsigned() && j["agent_id"] == 1);
        EXPECT_TRUE(j["agent_pid"].is_number_integer() && j["agent_pid"] == alpha_pid);
        EXPECT_TRUE(j["agent_uid"].is_number_integer() && j["agent_uid"] == getuid());
        EXPECT_TRUE(j["client_pid"].is_number_integer() && j["client_pid"] == client_pids[i / 2]);
        EXPECT_TRUE(j["client_uid"].is_number_integer() && j["client_uid"] == getuid());
        EXPECT_TRUE(j["client_user"].is_string());
        if (getuid() == 0) {
            EXPECT_EQ(j["client_user"], "root");
        }
        EXPECT_EQ(j.value("command", ""), want.command);
        ASSERT_TRUE(j["time"].is_string());
        EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(), rfc3339));
        if (!is_end) continue;
        const auto sent = nlohmann::json::parse(lines[i - 1]);
        EXPECT_EQ(j["request"], sent["request"]) << "the pair shares its request number";
        EXPECT_EQ(j["time"], sent["time"]);
        EXPECT_EQ(j.value("outcome", ""), want.outcome);
        EXPECT_TRUE(j["duration_ms"].is_number_integer() && j["duration_ms"] >= 0);
        EXPECT_TRUE(j["output_bytes"].is_number_unsigned());
        EXPECT_TRUE(j["prompts_answered"].is_number_unsigned() &&
                    j["prompts_answered"] == want.prompts);
        // The agent's result where it completed (the example host's commands succeed).
        if (std::string(want.outcome) == "done")
            EXPECT_EQ(j["result"], 0);
        else
            EXPECT_TRUE(j["result"].is_null());
    }
    EXPECT_EQ(nlohmann::json::parse(lines[1])["output_bytes"], 6);
    EXPECT_EQ(nlohmann::json::parse(lines[3])["output_bytes"], std::string("Not wiped.\n").size());
    EXPECT_EQ(nlohmann::json::parse(lines[9])["output_bytes"], 6);
    EXPECT_GT(nlohmann::json::parse(lines[11])["output_bytes"], 0);
}

// A client's --timeout reaches the audit log as its own outcome; a client of
// protocol version 1 is served exactly as before: welcomed in version 1,
// its ABANDON recorded as interrupted, and the later message type, which
// version 1 never had, ends its connection as any unknown type did.
TEST(ResidentServerAudit, ATimedOutAbandonIsRecordedAndVersionOneClientsAreServedAsBefore) {
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
    struct Case {
        uint16_t version;
        uint8_t abandon;
        const char *outcome; // null: the connection is closed
    } cases[] = {
        {1, wire::kAbandon, "interrupted"},
        {2, wire::kAbandonTimedOut, "timed-out"},
        {2, wire::kAbandon, "interrupted"},
        {1, wire::kAbandonTimedOut, nullptr},
    };
    std::vector<std::string> expected;
    uint64_t request = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", type " +
                     std::to_string(c.abandon));
        RawClient raw;
        ASSERT_TRUE(raw.connect(d.socket()));
        ASSERT_TRUE(raw.greet(c.version));
        const std::string line = "ticks -n " + std::to_string(50 + request) + " -i 10";
        ASSERT_TRUE(raw.send(wire::submit(request, raw.serial_of("alpha"), line)));
        ASSERT_TRUE(raw.read_type(wire::kSent));
        ASSERT_TRUE(raw.send(wire::message(c.abandon, wire::be(request, 8))));
        if (c.outcome) {
            ASSERT_TRUE(raw.list()); // behind the abandon: it was handled
            expected.push_back(line + " " + c.outcome);
        } else {
            EXPECT_TRUE(raw.wait_closed(3000ms));
            expected.push_back(line + " client-left");
        }
        ++request;
    }
    EXPECT_EQ(d.stop(), 0);
    std::vector<std::string> ends;
    for (const std::string &l : lines_of(read_file(log))) {
        const auto j = nlohmann::json::parse(l, nullptr, false);
        if (j.is_object() && j.value("event", "") == "end")
            ends.push_back(j.value("command", "") + " " + j.value("outcome", ""));
    }
    EXPECT_EQ(ends, expected) << read_file(log);
}

// ---------------------------------------------------------------- whom a client trusts

namespace {

// A fake daemon of uid `as`: binds path (as root, so the socket's owner is
// root unless the directory is the fake's own), listens as `as` (so
// SO_PEERCRED names it), and reports how many bytes the one client it
// accepts sent before closing: -1 when nobody connected at all.
class FakeDaemon {
  public:
    FakeDaemon(const std::string &path, uid_t as, bool make_dir_as_user) {
        int ready[2], report[2];
        if (pipe(ready) != 0 || pipe(report) != 0 || pipe(stop_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(report[0]);
            ::close(stop_[1]);
            _exit(serve(path, as, make_dir_as_user, ready[1], report[1], stop_[0]));
        }
        ::close(ready[1]);
        ::close(report[1]);
        ::close(stop_[0]);
        report_ = report[0];
        pollfd p{ready[0], POLLIN, 0};
        char c = 0;
        ready_ = poll(&p, 1, 5000) == 1 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~FakeDaemon() {
        received();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return ready_; }
    // Ends the fake and returns what it saw (after the client is done).
    long received() {
        if (stop_[1] >= 0) {
            ::close(stop_[1]);
            stop_[1] = -1;
            pollfd p{report_, POLLIN, 0};
            long n = -2;
            if (poll(&p, 1, 5000) == 1 && ::read(report_, &n, sizeof n) == sizeof n) result_ = n;
            ::close(report_);
        }
        return result_;
    }

  private:
    static int serve(const std::string &path, uid_t as, bool make_dir_as_user, int ready,
                     int report, int stop) {
        const std::string dir = path.substr(0, path.rfind('/'));
        if (make_dir_as_user && (setgid(as) != 0 || setuid(as) != 0)) return 2;
        if (make_dir_as_user && mkdir(dir.c_str(), 0755) != 0) return 3;
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        umask(0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return 4;
        if (!make_dir_as_user && (setgid(as) != 0 || setuid(as) != 0)) return 5;
        if (listen(fd, 4) != 0) return 6;
        if (write(ready, "r", 1) != 1) return 7;
        long received = -1;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(p, 2, 20000) > 0 && (p[0].revents & POLLIN)) {
            const int conn = accept(fd, nullptr, nullptr);
            received = 0;
            char buf[4096];
            for (;;) {
                pollfd q{conn, POLLIN, 0};
                if (poll(&q, 1, 5000) != 1) break;
                const ssize_t n = ::read(conn, buf, sizeof buf);
                if (n <= 0) break;
                received += n;
            }
        }
        pollfd s{stop, POLLIN, 0};
        poll(&s, 1, 20000);
        return write(report, &received, sizeof received) == sizeof received ? 0 : 8;
    }

    pid_t pid_ = -1;
    int stop_[2] = {-1, -1};
    int report_ = -1;
    bool ready_ = false;
    long result_ = -2;
};

// Users no other test on this machine is: derived from our own pid.
uid_t unique_uid() {
    return 3'000'000 + static_cast<uid_t>(getpid());
}
constexpr uid_t kSquatter = 54321;

// cli-server as uid, with no XDG_RUNTIME_DIR and no CLI_SERVER_SOCKET: the
// cron or `sudo -u` case, whose default is /tmp/cli-server-UID.
RunResult run_bare_client(uid_t uid, std::vector<std::string> args) {
    std::vector<std::string> argv{"/usr/bin/env",      "-u",           "XDG_RUNTIME_DIR", "-u",
                                  "CLI_SERVER_SOCKET", CLI_SERVER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    SpawnOptions o = as_user(uid, uid);
    o.pipe_stdin = true;
    Process p(argv, o);
    p.close_in();
    RunResult r;
    r.out = read_all(p.out()).value_or("<no end of output>");
    r.err = read_all(p.err()).value_or("<no end of output>");
    r.status = p.wait().value_or(-1);
    return r;
}

} // namespace

// Anybody can create /tmp/cli-server-UID before its user does. The client
// does not connect there: it says whose directory it is and goes on to the
// system's socket (none here, so it runs standalone).
TEST(ClientTrust, ASquattedPrivateDefaultIsSkippedWithoutAWord) {
    if (getuid() != 0) GTEST_SKIP() << "other users need root";
    const uid_t victim = unique_uid();
    const std::string dir = "/tmp/cli-server-" + std::to_string(victim);
    struct Cleanup {
        std::string dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    std::filesystem::remove_all(dir);
    FakeDaemon fake(dir + "/cli-server.sock", kSquatter, true);
    ASSERT_TRUE(fake.ready());

    auto r = run_bare_client(victim, {"--wait", "0", "-c", "ls"});
    EXPECT_EQ(fake.received(), -1) << "the client connected to the squatter";
    EXPECT_EQ(r.err.rfind("cli-server: not trusting the resident server at " + dir +
                              "/cli-server.sock: the socket directory " + dir + " belongs to uid " +
                              std::to_string(kSquatter),
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("; trying /run/cli-server/cli-server.sock\n"), std::string::npos) << r.err;
}

// A daemon of another user behind a socket the client may reach: refused
// on its credentials, before HELLO, in one line naming its uid.
TEST(ClientTrust, ADaemonOfAnotherUserHearsNothing) {
    if (getuid() != 0) GTEST_SKIP() << "other users need root";
    const uid_t victim = unique_uid();
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string path = dir.path() + "/cli.sock";
    FakeDaemon fake(path, kSquatter, false);
    ASSERT_TRUE(fake.ready());

    auto r = run_bare_client(victim, {"--socket", path, "-c", "ls"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cli-server: not trusting the resident server at " + path +
                         ": it runs as uid " + std::to_string(kSquatter) + " (" +
                         std::to_string(kSquatter) + "), not as root or uid " +
                         std::to_string(victim) + "\n");
    EXPECT_EQ(fake.received(), 0) << "the client sent bytes to an untrusted daemon";
}

// Root's own daemon, but in a directory anybody may write: whoever answers
// there may have replaced the socket.
TEST(ClientTrust, ASocketDirectoryOthersMayWriteIsRefused) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir_of(d.socket()).c_str(), 0777), 0);
    auto r = run_client(d, {"-c", "ls"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cli-server: not trusting the resident server at " + d.socket() +
                         ": the socket directory " + dir_of(d.socket()) +
                         " is writable by group or others (mode 0777)\n");
    ASSERT_EQ(chmod(dir_of(d.socket()).c_str(), 0700), 0);
    EXPECT_EQ(run_client(d, {"-c", "ls"}).status, 0);
}

// And the daemon will not start in one.
TEST(ClientTrust, TheDaemonRefusesASocketDirectoryOthersMayWrite) {
    TempDir dir;
    const std::string run = dir.path() + "/run";
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    ASSERT_EQ(chmod(run.c_str(), 0777), 0);
    Process p(server_argv({"--daemon", "--socket", run + "/cli.sock"}));
    auto err = read_all(p.err());
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(err.value_or(""), "<3>cli-server: socket directory " + run +
                                    " is writable by group or others (mode 0777)\n");
    EXPECT_EQ(mode_of(run).perms, 0777u) << "nor does it change the directory's mode";
}

// ---------------------------------------------------------------- the audit log's faults

namespace {

RunResult run_daemon_briefly(const std::vector<std::string> &args) {
    Process p(server_argv(args));
    RunResult r;
    r.out = read_all(p.out(), 5000ms).value_or("<no end of output>");
    r.err = read_all(p.err(), 5000ms).value_or("<no end of output>");
    r.status = p.wait(5000ms).value_or(-1);
    return r;
}

} // namespace

// An audit log anybody may append to would carry forged lines; a FIFO
// would hold the daemon up before its socket exists. Both: exit 1 at once.
TEST(ResidentServerAudit, ALogOthersMayWriteOrAFifoStopsTheDaemonAtOnce) {
    TempDir dir;
    const std::string open_log = dir.path() + "/open.log", fifo = dir.path() + "/fifo.log";
    { std::ofstream(open_log) << ""; }
    ASSERT_EQ(chmod(open_log.c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sock = dir.path() + "/run/cli.sock";
    auto r = run_daemon_briefly({"--daemon", "--socket", sock, "--audit-log", open_log});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<3>cli-server: cannot use the audit log " + open_log +
                         ": it is writable by group or others (mode 0666); make it 0600 or "
                         "0640\n");
    r = run_daemon_briefly({"--daemon", "--socket", sock, "--audit-log", fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "<3>cli-server: cannot use the audit log " + fifo + ": it is not a regular file\n");
    EXPECT_FALSE(std::filesystem::exists(sock));
}

// The record is written when the command goes, so a command still running
// when the daemon dies is on file.
TEST(ResidentServerAudit, ACommandRunningWhenTheDaemonIsKilledIsOnFile) {
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
    auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "ticks -n 100 -i 100"});
    std::string out;
    ASSERT_TRUE(read_until(c->out(), "tick 2/100", &out));
    d.stop(SIGKILL);
    c->wait();
    const auto lines = lines_of(read_file(log));
    ASSERT_EQ(lines.size(), 1u) << read_file(log);
    const auto j = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(j["event"], "sent");
    EXPECT_EQ(j["command"], "ticks -n 100 -i 100");
    EXPECT_EQ(j["client_pid"], c->pid());
    EXPECT_EQ(j["agent"], "alpha");
}

// A log that cannot grow (here: the daemon's file size limit, as a full
// disk would): no command runs unrecorded, a script is told so and exits 1,
// a console is told and stays; once the file takes records, commands run.
TEST(ResidentServerAudit, AnUnwritableLogRefusesCommandsUntilItCanBeWritten) {
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log}, {"/usr/bin/prlimit", "--fsize=100:unlimited"});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));

    const std::string refusal = "cli-server: cannot write the audit log (" + log +
                                ": File too large); the resident server runs no command "
                                "until it can\n";
    auto r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal);
    EXPECT_EQ(read_file(log), "") << "a record cut short was left in the file";
    EXPECT_TRUE(d.journal_until("<3>cli-server: cannot write the audit log " + log +
                                ": File too large; new commands are refused"))
        << d.journal();
    // At err, since every command stops; once a minute, however many are refused.
    EXPECT_TRUE(d.journal_until("<3>cli-server: refused a command of client uid 0")) << d.journal();
    // A fan-out is refused alike: the daemon's one line, no agent reported
    // lost on top of it, status 1.
    r = run_client(d, {"--agent", "alph*", "--wait", "5", "-c", "echo one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal);

    // A console (HELLO's mode 0) hears why and may go on.
    RawClient raw;
    ASSERT_TRUE(raw.connect(d.socket()));
    ASSERT_TRUE(raw.send(wire::hello(1, 0)));
    std::vector<Msg> greeting;
    ASSERT_TRUE(raw.read_type(wire::kReady, kTimeout, &greeting));
    uint64_t alpha_serial = 0;
    for (const Msg &m : greeting)
        if (m.type == wire::kAgentUp) alpha_serial = wire::read_be(m.payload, 0, 8);
    ASSERT_NE(alpha_serial, 0u);
    ASSERT_TRUE(raw.send(wire::submit(9, alpha_serial, "echo two")));
    auto notice = raw.read();
    ASSERT_TRUE(notice);
    ASSERT_EQ(notice->type, wire::kNotice);
    EXPECT_EQ(static_cast<uint8_t>(notice->payload[0]), 2); // an error
    EXPECT_EQ(notice->payload.substr(1) + "\n", refusal.substr(std::string("cli-server: ").size()));
    auto done = raw.read();
    ASSERT_TRUE(done);
    EXPECT_EQ(done->type, wire::kDone);
    EXPECT_EQ(wire::read_be(done->payload, 0, 8), 9u);

    // The disk has room again.
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
    ASSERT_TRUE(raw.send(wire::submit(10, alpha_serial, "echo three")));
    std::vector<Msg> before;
    ASSERT_TRUE(raw.read_type(wire::kDone, kTimeout, &before));
    std::string text;
    for (const Msg &m : before)
        if (m.type == wire::kOutput) text += m.payload.substr(8);
    EXPECT_EQ(text, "three\n");
    r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo four"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "four\n");
    EXPECT_TRUE(d.journal_until("<6>cli-server: the audit log " + log + " can be written again"))
        << d.journal();
    const std::string journal = d.journal();
    size_t refusals = 0;
    for (size_t at = journal.find("refused a command of"); at != std::string::npos;
         at = journal.find("refused a command of", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 1u) << journal;
    const auto lines = lines_of(read_file(log));
    ASSERT_EQ(lines.size(), 4u) << read_file(log);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["command"], "echo three");
    EXPECT_EQ(nlohmann::json::parse(lines[3])["command"], "echo four");
}

// logrotate moves the log and sends SIGHUP: the records go on in a new file.
TEST(ResidentServerAudit, SighupReopensTheLog) {
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
    EXPECT_EQ(run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo old"}).status, 0);
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    ASSERT_TRUE(d.journal_until("<6>cli-server: reopened the audit log " + log)) << d.journal();
    EXPECT_EQ(run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo new"}).status, 0);
    EXPECT_EQ(mode_of(log).perms, 0600u);
    const auto old_lines = lines_of(read_file(log + ".1"));
    const auto new_lines = lines_of(read_file(log));
    ASSERT_EQ(old_lines.size(), 2u);
    ASSERT_EQ(new_lines.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(old_lines[1])["command"], "echo old");
    EXPECT_EQ(nlohmann::json::parse(new_lines[1])["command"], "echo new");
    EXPECT_EQ(d.stop(), 0) << "SIGHUP is not a stop";
}

// ---------------------------------------------------------------- the journal

// Who came, and why each session ended, with its uid and pid.
TEST(ResidentServerJournal, ClientsComingAndGoingWithUidPidAndWhy) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    auto c = start_client(d, {"-c", "ls"});
    c->close_in();
    EXPECT_EQ(c->wait(), 0);
    const std::string who = "client uid " + std::to_string(getuid()) + " (" +
                            (getuid() == 0 ? std::string("root") : std::to_string(getuid())) +
                            ") pid " + std::to_string(c->pid());
    EXPECT_TRUE(d.journal_until("<6>cli-server: " + who + " connected\n")) << d.journal();
    EXPECT_TRUE(d.journal_until("<6>cli-server: session of " + who +
                                " ended: the client closed the connection\n"))
        << d.journal();

    RawClient garbage;
    ASSERT_TRUE(garbage.connect(d.socket()));
    ASSERT_TRUE(garbage.send(std::string(16, '\xff')));
    EXPECT_TRUE(garbage.wait_closed(3000ms));
    EXPECT_TRUE(d.journal_until("<4>cli-server: session of client uid " + std::to_string(getuid())))
        << d.journal();
    EXPECT_TRUE(d.journal_until(" ended: bad message")) << d.journal();
}

// A flood of agent connections that never say HELLO: a few lines, then
// the count of the rest, all from the one allowance of the agents of the
// test's user (or of owners not known), so every connection is accounted
// for either in a line or in a count.
TEST(ResidentServerJournal, RepeatedLinesAreRateLimitedWithACount) {
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    constexpr int kFlood = 60;
    for (int i = 0; i < kFlood; ++i) {
        auto conn = connect_agent();
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.send_raw("GARBAGE GARBAGE GARBAGE!"));
        EXPECT_TRUE(conn.wait_closed());
    }
    const std::string count_end =
        " suppressed in 10 s; the last: a connection that never said HELLO";
    ASSERT_TRUE(d.journal_until(count_end, 20000ms)) << d.journal();
    const std::string line_start =
        "<4>cli-server: a connection that never said HELLO sent a malformed";
    size_t shown = 0, suppressed = 0, counts = 0;
    for (const auto &line : lines_of(d.journal())) {
        if (line.find(line_start) == 0) ++shown;
        if (line.find("<4>cli-server: ") == 0 && line.find(count_end) != std::string::npos &&
            line.find(" lines about agent") != std::string::npos) {
            suppressed += std::stoul(line.substr(15));
            ++counts;
        }
    }
    EXPECT_LE(shown, 2 * 20u) << d.journal();
    EXPECT_GE(shown, 20u) << d.journal();
    EXPECT_LE(counts, 2u) << d.journal();
    EXPECT_EQ(shown + suppressed, static_cast<size_t>(kFlood)) << d.journal();
}

// nobody floods the agents' port of a daemon that takes only root's agents,
// each connection under a name of letters never seen before. The journal
// still has every line about root's clients, the flood costs only nobody's
// allowance and a line counts what it suppressed; the scripts that run
// meanwhile show a few of the refusals on standard error, not hundreds.
TEST(ResidentServerJournal, AFloodOfRefusedAgentsSilencesNeitherClientsNorScripts) {
    if (getuid() != 0) GTEST_SKIP() << "an agent of nobody's needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--agent-users", "root"});
    ASSERT_TRUE(d.ready());
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    const pid_t flood = fork();
    ASSERT_GE(flood, 0);
    if (flood == 0) {
        close(stop[1]);
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        char b;
        for (uint64_t i = 0; read(stop[0], &b, 1) < 0; ++i) {
            std::string name;
            for (uint64_t n = i; n > 0 || name.empty(); n /= 26)
                name += static_cast<char>('a' + n % 26);
            clitest::Conn c = connect_agent();
            if (c.valid()) c.send_frame(CLI_FRAME_HELLO, 0, "x" + name, 2);
            // A thousand a second: a flood for the journal and the
            // scripts, which this is about, not for the daemon's loop.
            usleep(1000);
        }
        _exit(0);
    }
    close(stop[0]);
    ASSERT_TRUE(d.journal_until("refused agent x")) << d.journal();
    std::vector<pid_t> clients;
    for (int i = 0; i < 6; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto c = start_client(d, {"-c", "ls"});
        c->close_in();
        clients.push_back(c->pid());
        auto err = read_all(c->err());
        EXPECT_EQ(c->wait(), 0);
        ASSERT_TRUE(err);
        // Three refusals, then a count at most once a second and at the end.
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        EXPECT_LE(std::count(err->begin(), err->end(), '\n'), 4 + seconds) << *err;
    }
    close(stop[1]);
    EXPECT_EQ(waitpid(flood, nullptr, 0), flood);
    // Their owner is found, or under load not yet: either way one count.
    EXPECT_TRUE(d.journal_until(" suppressed in 10 s; the last: refused agent x", 20000ms))
        << d.journal().substr(0, 4000);
    EXPECT_TRUE(d.journal().find("lines about agents of uid 65534 (nobody) suppressed") !=
                    std::string::npos ||
                d.journal().find("lines about agent connections of unknown owners suppressed") !=
                    std::string::npos)
        << d.journal().substr(0, 4000);
    const std::string j = d.journal();
    for (pid_t pid : clients) {
        const std::string who = "client uid 0 (root) pid " + std::to_string(pid);
        EXPECT_NE(j.find(who + " connected"), std::string::npos) << who;
        EXPECT_NE(j.find("session of " + who + " ended"), std::string::npos) << who;
    }
    EXPECT_EQ(d.stop(), 0);
}
