// The owner of an agent's connection, found for real loopback connections
// (an ephemeral port, never the agent port): one from this process, one
// from a child of another user, and one that is already gone.
#include "core/users.h"
#include "hub/agent_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <pwd.h>

using namespace cliserver;

namespace {

constexpr int kWaitMs = 5000;

struct Listener {
    int fd = -1;
    sockaddr_in addr{};
};

Listener listen_loopback() {
    Listener l;
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    l.addr.sin_family = AF_INET;
    l.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof l.addr;
    EXPECT_EQ(bind(l.fd, reinterpret_cast<sockaddr *>(&l.addr), sizeof l.addr), 0);
    EXPECT_EQ(listen(l.fd, 8), 0);
    EXPECT_EQ(getsockname(l.fd, reinterpret_cast<sockaddr *>(&l.addr), &len), 0);
    return l;
}

int connect_to(const Listener &l) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&l.addr), sizeof l.addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int accept_within(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

// The pid and uid of the process holding the agent's end, as the hub finds
// them: the socket's owner first, then the process holding its inode.
struct Found {
    std::optional<pid_t> pid;
    std::optional<uid_t> uid;
};

Found owner_of(AgentOwnerLookup &lookup, int server_end) {
    const SocketOwner socket = lookup.socket_owner(server_end);
    Found found{std::nullopt, socket.uid};
    if (socket.inode == 0) return found;
    const auto pids = lookup.pids_holding({socket.inode});
    if (const auto it = pids.find(socket.inode); it != pids.end()) found.pid = it->second;
    return found;
}

} // namespace

TEST(AgentOwner, FindsThisProcessAsTheOwnerOfItsOwnConnection) {
    Listener l = listen_loopback();
    const int agent_end = connect_to(l);
    ASSERT_GE(agent_end, 0);
    const int server_end = accept_within(l.fd);
    ASSERT_GE(server_end, 0);
    AgentOwnerLookup lookup;
    for (int round = 0; round < 2; ++round) { // the second one comes from the recent list
        const Found owner = owner_of(lookup, server_end);
        ASSERT_TRUE(owner.uid) << "socket diagnostics unavailable";
        EXPECT_EQ(*owner.uid, geteuid());
        ASSERT_TRUE(owner.pid);
        EXPECT_EQ(*owner.pid, getpid());
        EXPECT_EQ(pid_text(owner.pid), std::to_string(getpid()));
    }
    close(server_end);
    close(agent_end);
    close(l.fd);
}

TEST(AgentOwner, FindsAChildOfAnotherUser) {
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and a user named nobody";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    Listener l = listen_loopback();
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(hold[1]);
        if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
        const int fd = connect_to(l);
        // Keep the connection until the parent closes the pipe.
        pollfd p{hold[0], POLLIN, 0};
        poll(&p, 1, kWaitMs);
        if (fd >= 0) close(fd);
        _exit(0);
    }
    close(hold[0]);
    const int server_end = accept_within(l.fd);
    ASSERT_GE(server_end, 0);
    AgentOwnerLookup lookup;
    const Found owner = owner_of(lookup, server_end);
    close(hold[1]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(owner.uid);
    EXPECT_EQ(*owner.uid, uid);
    EXPECT_EQ(uid_text(owner.uid), "nobody");
    ASSERT_TRUE(owner.pid);
    EXPECT_EQ(*owner.pid, child);
    close(server_end);
    close(l.fd);
}

TEST(AgentOwner, UnknownWhenTheAgentIsGoneOrTheSocketIsNotTcp) {
    Listener l = listen_loopback();
    const int agent_end = connect_to(l);
    ASSERT_GE(agent_end, 0);
    const int server_end = accept_within(l.fd);
    ASSERT_GE(server_end, 0);
    close(agent_end);
    AgentOwnerLookup lookup;
    const Found owner = owner_of(lookup, server_end);
    // The agent's end may linger in FIN_WAIT, but no process holds it.
    EXPECT_FALSE(owner.pid);
    EXPECT_EQ(pid_text(owner.pid), "?");
    close(server_end);
    close(l.fd);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const Found none = owner_of(lookup, pair[0]);
    EXPECT_FALSE(none.pid);
    EXPECT_FALSE(none.uid);
    EXPECT_EQ(uid_text(none.uid), "?");
    close(pair[0]);
    close(pair[1]);
}
