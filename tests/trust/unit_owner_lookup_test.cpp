// Finding the owner of the server's end of a loopback connection, on the
// test's own listener (an ephemeral port, not the agent's), and the
// socket-diagnostics client beneath it: its answers and its bounded wait.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "cli_common.h"
#include "owner_lookup.h"
#include "sock_diag.h"
#include "unique_fd.h"

namespace {

struct Connected {
    int listener = -1, client = -1, server = -1;
    uint16_t port = 0;
    Connected() {
        listener = cli_open_server(0);
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        client = cli_connect_server(port);
        server = accept(listener, nullptr, nullptr);
    }
    ~Connected() {
        for (int fd : {listener, client, server})
            if (fd >= 0) close(fd);
    }
};

} // namespace

TEST(OwnerLookup, FindsTheTestsOwnUidThroughEitherInterface) {
    Connected c;
    ASSERT_GE(c.server, 0);
    for (auto source : {cli_owner_source::any, cli_owner_source::proc_only}) {
        uint32_t uid = 12345;
        ASSERT_EQ(cli_server_owner_uid(c.client, c.port, &uid, source), cli_owner_result::found);
        EXPECT_EQ(uid, geteuid());
    }
}

TEST(OwnerLookup, ANotYetAcceptedConnectionHasTheListenersOwner) {
    int listener = cli_open_server(0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    int client = cli_connect_server(ntohs(addr.sin_port));
    ASSERT_GE(client, 0);
    uint32_t uid = 12345;
    EXPECT_EQ(cli_server_owner_uid(client, ntohs(addr.sin_port), &uid), cli_owner_result::found);
    EXPECT_EQ(uid, geteuid());
    close(client);
    close(listener);
}

TEST(OwnerLookup, AConnectionToAnotherPortIsNotAttributed) {
    Connected c;
    ASSERT_GE(c.server, 0);
    uint16_t other = static_cast<uint16_t>(c.port == 65535 ? 1 : c.port + 1);
    for (auto source : {cli_owner_source::any, cli_owner_source::proc_only}) {
        uint32_t uid = 12345;
        EXPECT_EQ(cli_server_owner_uid(c.client, other, &uid, source), cli_owner_result::absent);
    }
}

// Many runtimes listen dual-stack on [::]: the server's end of an IPv4
// connection is then an IPv6 socket with IPv4-mapped addresses, listed only
// in /proc/net/tcp6 and only under AF_INET6 in the socket diagnostics.
TEST(OwnerLookup, FindsADualStackListenerThroughEitherInterface) {
    int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int off = 0;
    ASSERT_EQ(setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off), 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof any;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&any), &len), 0);
    uint16_t port = ntohs(any.sin6_port);
    int client = cli_connect_server(port);
    ASSERT_GE(client, 0);
    int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    for (auto source : {cli_owner_source::any, cli_owner_source::proc_only}) {
        uint32_t uid = 12345;
        EXPECT_EQ(cli_server_owner_uid(client, port, &uid, source), cli_owner_result::found)
            << (source == cli_owner_source::any ? "netlink" : "/proc");
        EXPECT_EQ(uid, geteuid());
    }
    close(server);
    close(client);
    close(listener);
}

// A server end that has been closed is reported as root's by the kernel
// (TIME_WAIT, and the FIN_WAIT orphan that becomes one), whoever owned it:
// only an established end may name the owner.
TEST(OwnerLookup, AClosedServerEndHasNoOwner) {
    Connected c;
    ASSERT_GE(c.server, 0);
    ASSERT_EQ(write(c.server, "x", 1), 1);
    ::close(c.server);
    c.server = -1;
    // The data arrives before the FIN: once it is here, the close is too.
    char byte = 0;
    ASSERT_EQ(read(c.client, &byte, 1), 1);
    for (auto source : {cli_owner_source::any, cli_owner_source::proc_only}) {
        uint32_t uid = 12345;
        EXPECT_EQ(cli_server_owner_uid(c.client, c.port, &uid, source), cli_owner_result::absent)
            << (source == cli_owner_source::any ? "netlink" : "/proc");
        EXPECT_EQ(uid, 12345u);
    }
}

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The request for the client's own end of c's connection.
inet_diag_req_v2 client_end_request(const Connected &c) {
    sockaddr_in local{}, peer{};
    socklen_t len = sizeof local;
    getsockname(c.client, reinterpret_cast<sockaddr *>(&local), &len);
    len = sizeof peer;
    getpeername(c.client, reinterpret_cast<sockaddr *>(&peer), &len);
    inet_diag_req_v2 req = cli_shared::tcp_exact_request(AF_INET);
    req.id.idiag_sport = local.sin_port;
    req.id.idiag_dport = peer.sin_port;
    req.id.idiag_src[0] = local.sin_addr.s_addr;
    req.id.idiag_dst[0] = peer.sin_addr.s_addr;
    return req;
}

std::atomic<int> g_alarms{0};
void count_alarm(int) {
    g_alarms.fetch_add(1);
}

} // namespace

TEST(SockDiag, AnswersForAnExistingSocketAndSaysWhenThereIsNone) {
    Connected c;
    ASSERT_GE(c.server, 0);
    cli_shared::UniqueFd nl(cli_shared::open_sock_diag());
    ASSERT_TRUE(nl.valid());
    inet_diag_req_v2 req = client_end_request(c);
    inet_diag_msg answer{};
    ASSERT_EQ(cli_shared::sock_diag_lookup(nl.get(), req, 5000, &answer),
              cli_shared::SockDiagStatus::found);
    EXPECT_EQ(answer.idiag_uid, geteuid());
    EXPECT_NE(answer.idiag_inode, 0u);
    EXPECT_EQ(answer.id.idiag_sport, req.id.idiag_sport);
    req.id.idiag_dport = req.id.idiag_sport; // no socket is connected to itself here
    EXPECT_EQ(cli_shared::sock_diag_lookup(nl.get(), req, 5000, &answer),
              cli_shared::SockDiagStatus::no_such_socket);
}

TEST(SockDiag, WaitsNoLongerThanItsTimeOutForAnAnswer) {
    cli_shared::UniqueFd nl(cli_shared::open_sock_diag());
    ASSERT_TRUE(nl.valid());
    inet_diag_msg answer{};
    const auto start = steady_clock::now();
    EXPECT_EQ(cli_shared::sock_diag_receive(nl.get(), 100, &answer),
              cli_shared::SockDiagStatus::failed);
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(100));
    EXPECT_LT(waited, milliseconds(5000));
}

TEST(SockDiag, ASignalDoesNotEndTheWait) {
    struct sigaction counting {
    }, previous{};
    counting.sa_handler = count_alarm; // no SA_RESTART: the wait sees EINTR
    sigemptyset(&counting.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &counting, &previous), 0);
    cli_shared::UniqueFd nl(cli_shared::open_sock_diag());
    ASSERT_TRUE(nl.valid());
    g_alarms = 0;
    itimerval timer{};
    timer.it_value.tv_usec = 20 * 1000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    inet_diag_msg answer{};
    const auto start = steady_clock::now();
    EXPECT_EQ(cli_shared::sock_diag_receive(nl.get(), 200, &answer),
              cli_shared::SockDiagStatus::failed);
    const auto waited = steady_clock::now() - start;
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(g_alarms.load(), 1);
    EXPECT_GE(waited, milliseconds(200));
}
