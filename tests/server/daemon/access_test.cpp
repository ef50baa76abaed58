// The operator socket (path, modes, stale and live sockets) and the access
// rules, with real Unix sockets and real clients of other users: the tests
// fork a client that drops to `nobody`, so they need root and skip without.
#include "daemon/access.h"
#include "hub/agent_users.h"
#include "core/socket_path.h"
#include "core/users.h"
#include "daemon/operator_socket.h"
#include "operator/socket_trust.h"
#include "deadline_io.h"
#include "temp_dir.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace cliserver;
using cli_shared::UniqueFd;

namespace {

constexpr int kWaitMs = 5000;

using clitest::TempDir;

mode_t mode_of(const std::string &path, gid_t *group = nullptr) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    if (group) *group = st.st_gid;
    return st.st_mode;
}

struct Child {
    pid_t pid = -1;
    int result_fd = -1; // the child's errno from connect(), one byte (0 = connected)
};

// A client process running as uid/gid with no supplementary groups; it
// connects, reports, and holds the connection until the parent closes it.
Child connect_as(uid_t uid, gid_t gid, const std::string &path) {
    int report[2];
    if (pipe(report) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
        const int fd = clitest::connect_unix(path);
        const char err = static_cast<char>(fd < 0 ? errno : 0);
        if (write(report[1], &err, 1) != 1) _exit(3);
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, kWaitMs);
        }
        _exit(0);
    }
    close(report[1]);
    return Child{pid, report[0]};
}

int child_connect_errno(const Child &c) {
    pollfd p{c.result_fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return -1;
    char err = -1;
    if (read(c.result_fd, &err, 1) != 1) return -1;
    return err;
}

void reap(Child &c) {
    close(c.result_fd);
    int status = 0;
    waitpid(c.pid, &status, 0);
}

int accept_within(int listen_fd) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return -1;
    return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

struct Nobody {
    uid_t uid;
    gid_t gid;
};

std::optional<Nobody> nobody() {
    const passwd *pw = getpwnam("nobody");
    if (!pw) return std::nullopt;
    return Nobody{pw->pw_uid, pw->pw_gid};
}

#define REQUIRE_ROOT_AND_NOBODY()                                                                  \
    if (geteuid() != 0 || !nobody()) GTEST_SKIP() << "needs root and a user named nobody"

} // namespace

TEST(SocketPath, DefaultsByUserAndEnvironment) {
    EXPECT_EQ(default_socket_path(0, "/run/user/0"), "/run/cli-server/cli-server.sock");
    EXPECT_EQ(default_socket_path(1000, "/run/user/1000"), "/run/user/1000/cli-server.sock");
    EXPECT_EQ(default_socket_path(1000, ""), "/tmp/cli-server-1000/cli-server.sock");
    EXPECT_EQ(default_socket_path(1000, nullptr), "/tmp/cli-server-1000/cli-server.sock");

    const char *saved = std::getenv(kSocketEnv);
    const std::string keep = saved ? saved : "";
    setenv(kSocketEnv, "/srv/x.sock", 1);
    EXPECT_EQ(choose_socket_path(""), "/srv/x.sock");
    EXPECT_EQ(choose_socket_path("/opt/y.sock"), "/opt/y.sock");
    unsetenv(kSocketEnv);
    EXPECT_EQ(choose_socket_path(""),
              default_socket_path(geteuid(), std::getenv("XDG_RUNTIME_DIR")));
    if (saved) setenv(kSocketEnv, keep.c_str(), 1);
}

// A client nobody pointed anywhere also tries the system's daemon, after
// its user's own; a chosen path is the only one tried.
TEST(SocketPath, ClientsTryTheSystemDaemonUnlessAPathWasChosen) {
    const char *saved = std::getenv(kSocketEnv);
    const std::string keep = saved ? saved : "";
    unsetenv(kSocketEnv);
    const auto paths = client_socket_paths("");
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), choose_socket_path(""));
    EXPECT_EQ(paths.back(), "/run/cli-server/cli-server.sock");
    EXPECT_EQ(paths.size(), geteuid() == 0 ? 1u : 2u);
    EXPECT_EQ(client_socket_paths("/opt/y.sock"), std::vector<std::string>{"/opt/y.sock"});
    setenv(kSocketEnv, "/srv/x.sock", 1);
    EXPECT_EQ(client_socket_paths(""), std::vector<std::string>{"/srv/x.sock"});
    unsetenv(kSocketEnv);
    if (saved) setenv(kSocketEnv, keep.c_str(), 1);
}

TEST(SocketPath, PrivateSocketInAPrivateDirectory) {
    TempDir tmp;
    const std::string dir = tmp.path() + "/run";
    const std::string path = dir + "/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    EXPECT_TRUE(S_ISSOCK(mode_of(path)));
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    EXPECT_EQ(mode_of(dir) & 07777, 0700u);
    remove_operator_socket(path, fd.get());
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SocketPath, GroupSocketIsSharedWithThatGroupOnly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another group";
    TempDir tmp;
    const gid_t group = 4242;
    const std::string dir = tmp.path() + "/run";
    const std::string path = dir + "/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, SocketAccess{group}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    gid_t owner = 0;
    EXPECT_EQ(mode_of(path, &owner) & 07777, 0660u);
    EXPECT_EQ(owner, group);
    EXPECT_EQ(mode_of(dir, &owner) & 07777, 0750u);
    EXPECT_EQ(owner, group);
}

TEST(SocketPath, StaleSocketIsReplacedLiveOneIsAnError) {
    TempDir tmp;
    const std::string path = tmp.path() + "/cli-server.sock";
    std::string err;
    {
        UniqueFd first = listen_operator_socket(path, {}, &err);
        ASSERT_TRUE(first.valid()) << err;
        // Killed daemons leave their file behind: closing without unlinking.
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    UniqueFd second = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(second.valid()) << err;
    const int client = clitest::connect_unix(path);
    EXPECT_GE(client, 0) << "the replacement socket answers";
    if (client >= 0) close(client);

    err.clear();
    UniqueFd third = listen_operator_socket(path, {}, &err);
    EXPECT_FALSE(third.valid());
    EXPECT_NE(err.find("already listening on " + path), std::string::npos) << err;
    EXPECT_GE(clitest::connect_unix(path), 0) << "the live daemon keeps its socket";
}

TEST(SocketPath, RefusesToReplaceAFileOrUseAForeignDirectory) {
    TempDir tmp;
    const std::string path = tmp.path() + "/cli-server.sock";
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_TRUE(f);
        fclose(f);
    }
    std::string err;
    EXPECT_FALSE(listen_operator_socket(path, {}, &err).valid());
    EXPECT_NE(err.find("not a socket"), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::exists(path));

    const auto other = nobody();
    if (geteuid() != 0 || !other) return;
    const std::string foreign = tmp.path() + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0777), 0);
    ASSERT_EQ(chown(foreign.c_str(), other->uid, other->gid), 0);
    err.clear();
    EXPECT_FALSE(listen_operator_socket(foreign + "/s.sock", {}, &err).valid());
    EXPECT_NE(err.find("belongs to uid"), std::string::npos) << err;
}

// A directory others may write lets them swap the socket (or what the
// daemon would chown) under it: refused, never repaired.
TEST(SocketPath, RefusesADirectoryWritableByGroupOrOthers) {
    for (mode_t mode : {0777, 0770, 01777, 0720}) {
        SCOPED_TRACE(mode);
        TempDir tmp;
        const std::string dir = tmp.path() + "/run";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), mode), 0);
        std::string err;
        EXPECT_FALSE(listen_operator_socket(dir + "/s.sock", {}, &err).valid());
        EXPECT_NE(err.find("is writable by group or others"), std::string::npos) << err;
        EXPECT_FALSE(std::filesystem::exists(dir + "/s.sock"));
        EXPECT_EQ(mode_of(dir) & 07777, mode) << "the directory is left as it was";
    }
}

// The directory itself may not be a symlink: its target was never checked.
TEST(SocketPath, RefusesASymlinkForTheDirectory) {
    TempDir tmp;
    const std::string real = tmp.path() + "/real", link = tmp.path() + "/run";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    std::string err;
    EXPECT_FALSE(listen_operator_socket(link + "/s.sock", {}, &err).valid());
    EXPECT_NE(err.find("not a directory"), std::string::npos) << err;
}

// The socket is born with its mode, whatever umask the daemon inherited:
// no window in which it is open, and no chmod() that a swapped-in symlink
// could redirect.
TEST(SocketPath, TheSocketIsBornPrivateUnderAnOpenUmask) {
    TempDir tmp;
    const std::string path = tmp.path() + "/run/cli-server.sock";
    const mode_t old = umask(0);
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    const mode_t after = umask(old);
    ASSERT_TRUE(fd.valid()) << err;
    EXPECT_EQ(after, 0u) << "the caller's umask is given back";
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    EXPECT_EQ(mode_of(tmp.path() + "/run") & 07777, 0700u);
}

TEST(ClientTrust, OnlyADirectoryOfRootOrTheClientThatNobodyElseWrites) {
    TempDir tmp;
    const std::string path = tmp.path() + "/cli-server.sock";
    const uid_t self = geteuid();
    EXPECT_FALSE(distrusted_socket_dir(path, self)) << "nothing there: nothing to distrust";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    EXPECT_FALSE(distrusted_socket_dir(path, self));
    ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
    auto why = distrusted_socket_dir(path, self);
    ASSERT_TRUE(why);
    EXPECT_NE(why->find("writable by group or others (mode 0777)"), std::string::npos) << *why;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0700), 0);
    if (self != 0) return;
    // Another user's directory, however closed, is theirs to fill.
    ASSERT_EQ(chown(tmp.path().c_str(), 4321, 4321), 0);
    why = distrusted_socket_dir(path, self);
    ASSERT_TRUE(why);
    EXPECT_NE(why->find("belongs to uid 4321"), std::string::npos) << *why;
    EXPECT_FALSE(distrusted_socket_dir(path, 4321)) << "but its owner may trust it";
    ASSERT_EQ(chown(tmp.path().c_str(), 0, 0), 0);
    EXPECT_FALSE(distrusted_socket_dir(path, 4321)) << "and anybody may trust root's";
}

TEST(ClientTrust, RootTheClientItselfOrTheSocketsOwnerInRootsDirectory) {
    TempDir tmp;
    const std::string path = tmp.path() + "/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    EXPECT_TRUE(trusted_daemon(0, 1000, path));
    EXPECT_TRUE(trusted_daemon(1000, 1000, path));
    EXPECT_FALSE(trusted_daemon(1001, 1000, path));
    if (geteuid() != 0) return;
    // Only root can have put a socket of uid 1001's into root's directory.
    ASSERT_EQ(lchown(path.c_str(), 1001, 1001), 0);
    EXPECT_TRUE(trusted_daemon(1001, 1000, path));
    EXPECT_FALSE(trusted_daemon(1002, 1000, path));
    ASSERT_EQ(chmod(tmp.path().c_str(), 0770), 0);
    EXPECT_FALSE(trusted_daemon(1001, 1000, path)) << "a directory others write vouches for nobody";
}

TEST(Access, OtherUsersCannotEvenReachAPrivateSocket) {
    REQUIRE_ROOT_AND_NOBODY();
    TempDir tmp;
    chmod(tmp.path().c_str(), 0755); // only the socket's own directory and mode protect it
    const std::string path = tmp.path() + "/run/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    Child c = connect_as(nobody()->uid, nobody()->gid, path);
    EXPECT_EQ(child_connect_errno(c), EACCES);
    reap(c);
}

TEST(Access, NobodyIsRefusedWithItsUidAndWhy) {
    REQUIRE_ROOT_AND_NOBODY();
    TempDir tmp;
    const std::string path = tmp.path() + "/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, {}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    // Open the file system's door so that the peer check is what decides.
    chmod(tmp.path().c_str(), 0755);
    chmod(path.c_str(), 0666);
    Child c = connect_as(nobody()->uid, nobody()->gid, path);
    ASSERT_EQ(child_connect_errno(c), 0);
    const int conn = accept_within(fd.get());
    ASSERT_GE(conn, 0);
    const auto cred = peer_credentials(conn);
    ASSERT_TRUE(cred);
    EXPECT_EQ(cred->uid, nobody()->uid);
    EXPECT_EQ(cred->pid, c.pid);
    const OperatorAccess access(geteuid(), std::nullopt);
    const auto refusal = access.refusal(*cred);
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find("uid " + std::to_string(nobody()->uid) + " (nobody)"),
              std::string::npos)
        << *refusal;
    EXPECT_NE(refusal->find("only root and uid 0"), std::string::npos) << *refusal;
    EXPECT_EQ(refusal->find('\n'), std::string::npos);
    // Another group does not help it either.
    const auto group_refusal = OperatorAccess(geteuid(), gid_t{4242}).refusal(*cred);
    ASSERT_TRUE(group_refusal);
    EXPECT_NE(group_refusal->find("or a member of group 4242"), std::string::npos)
        << *group_refusal;
    close(conn);
    reap(c);
}

TEST(Access, GroupMemberReachesTheSocketAndIsAdmitted) {
    REQUIRE_ROOT_AND_NOBODY();
    // The client's primary group is a gid no one else has; no account or
    // group entry is created for it.
    const gid_t group = 4243;
    TempDir tmp;
    chmod(tmp.path().c_str(), 0755);
    const std::string path = tmp.path() + "/run/cli-server.sock";
    std::string err;
    UniqueFd fd = listen_operator_socket(path, SocketAccess{group}, &err);
    ASSERT_TRUE(fd.valid()) << err;
    Child c = connect_as(nobody()->uid, group, path);
    ASSERT_EQ(child_connect_errno(c), 0) << "group members can open a 0660 socket in a 0750 dir";
    const int conn = accept_within(fd.get());
    ASSERT_GE(conn, 0);
    const auto cred = peer_credentials(conn);
    ASSERT_TRUE(cred);
    EXPECT_EQ(cred->gid, group);
    EXPECT_FALSE(OperatorAccess(geteuid(), group).refusal(*cred));
    close(conn);
    reap(c);
}

TEST(Access, SupplementaryMembershipComesFromTheGroupDatabase) {
    // A group of this machine that lists a member whose primary group it
    // is not; nothing is added to the system for the test.
    setgrent();
    std::optional<std::pair<uid_t, gid_t>> member;
    while (const group *g = getgrent()) {
        for (char **m = g->gr_mem; m && *m && !member; ++m) {
            const passwd *pw = getpwnam(*m);
            if (pw && pw->pw_uid != 0 && pw->pw_gid != g->gr_gid) member = {pw->pw_uid, g->gr_gid};
        }
        if (member) break;
    }
    endgrent();
    if (!member) GTEST_SKIP() << "no group here lists a supplementary member";
    EXPECT_TRUE(user_in_group(member->first, member->second));
    const PeerCred peer{1, member->first, static_cast<gid_t>(member->second + 1000)};
    EXPECT_FALSE(OperatorAccess(geteuid() == 0 ? 1 : geteuid(), member->second).refusal(peer));
    if (const auto n = nobody()) {
        EXPECT_FALSE(user_in_group(n->uid, member->second));
    }
}

TEST(Access, RootAndTheServersOwnUserAreAlwaysAdmitted) {
    const OperatorAccess access(1234, std::nullopt);
    EXPECT_FALSE(access.refusal(PeerCred{1, 0, 0}));
    EXPECT_FALSE(access.refusal(PeerCred{1, 1234, 99}));
    EXPECT_TRUE(access.refusal(PeerCred{1, 1235, 1234}));
}

TEST(AgentUsers, NamesAndUidsAndTheAlwaysAccepted) {
    std::string err;
    EXPECT_TRUE(AgentUsers().accepts(4321, 1000));
    const auto users = AgentUsers::parse("nobody, 4321", &err);
    ASSERT_TRUE(users) << err;
    EXPECT_TRUE(users->restricted());
    if (const auto n = nobody()) {
        EXPECT_TRUE(users->accepts(n->uid, 1000));
    }
    EXPECT_TRUE(users->accepts(4321, 1000));
    EXPECT_TRUE(users->accepts(0, 1000));
    EXPECT_TRUE(users->accepts(1000, 1000));
    EXPECT_FALSE(users->accepts(4322, 1000));

    for (const char *bad : {"no-such-user-xyz", "nobody,,4321", "", "12x", "99999999999"}) {
        err.clear();
        EXPECT_FALSE(AgentUsers::parse(bad, &err)) << bad;
        EXPECT_NE(err.find("--agent-users"), std::string::npos) << bad;
    }
}
