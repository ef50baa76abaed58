// Finding the owner of the server's end of a loopback connection, on the
// test's own listener (an ephemeral port, not the agent's).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli_common.h"
#include "owner_lookup.h"

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
