// Who may use the resident server: the socket's modes, refused and
// admitted clients of other users, --agent-users, and whom a client trusts
// (the audit log and the journal are resident_audit_test.cpp's and
// resident_journal_test.cpp's).
#include "daemon_clients.h"
#include "deadline_io.h"

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

using namespace clitest;

namespace {

// A system group nobody is not a member of, so admitting nobody under it
// can only come from the client's primary gid.
constexpr const char *kGroup = "daemon";

std::string dir_of(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

std::optional<gid_t> group_id(const char *name) {
    group *g = getgrnam(name);
    if (!g) return std::nullopt;
    return g->gr_gid;
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
        if (!unix_address(path, addr)) return 4;
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
