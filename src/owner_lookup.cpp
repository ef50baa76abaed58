#include "owner_lookup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_common.h"
#include "held_fds.h"
#include "sock_diag.h"
#include "test_hooks.h"
#include "transport.h"

using cli_internal::held_fd;
using cli_internal::held_open;
using cli_internal::held_socket;
using cli_internal::hook_point;
using cli_internal::test_hook;

namespace {

// Kernel TCP states. Only an established server end names its owner: one
// in TIME_WAIT (and the orphan in FIN_WAIT that becomes one) is reported as
// root's, whoever closed it, and a half-open request has no owner yet.
constexpr uint8_t kTcpEstablished = 1;
constexpr uint8_t kTcpSynRecv = 3;
constexpr uint8_t kTcpNewSynRecv = 12;

// The kernel answers an exact lookup at once; a wait this long means the
// interface is stuck, and /proc is asked instead.
constexpr int kNetlinkTimeoutMs = 1000;

struct endpoint_pair {
    sockaddr_in server; // the server's end: 127.0.0.1:port
    sockaddr_in agent;  // our end of the same connection
    sockaddr_in peer;   // where our end is really connected to
};

struct owner {
    uint32_t uid = 0;
    uint8_t state = 0;
};

// Running out of descriptors or memory says nothing about whether an
// interface exists; the caller refuses this attempt and asks again later,
// so that a host near its limits never talks to an unchecked server.
cli_owner_result unavailable(int err) {
    bool starved = err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
    return starved ? cli_owner_result::absent : cli_owner_result::unknown;
}

// The IPv6 form of an IPv4 address as a dual-stack socket sees it:
// ::ffff:a.b.c.d.
void put_v4_mapped(__be32 *words, in_addr_t v4) {
    words[0] = 0;
    words[1] = 0;
    words[2] = htonl(0xffff);
    words[3] = v4;
}

// Asks NETLINK_SOCK_DIAG for the one socket of this family with exactly
// these addresses; an AF_INET6 query asks for their IPv4-mapped forms.
cli_owner_result owner_by_sock_diag(const endpoint_pair &ends, uint8_t family, owner *out) {
    held_fd nl(held_socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG));
    if (nl.get() < 0) return unavailable(errno);
    test_hook(hook_point::lookup_descriptor_opened);
    inet_diag_req_v2 req = cli_shared::tcp_exact_request(family);
    req.id.idiag_sport = ends.server.sin_port;
    req.id.idiag_dport = ends.agent.sin_port;
    if (family == AF_INET6) {
        put_v4_mapped(req.id.idiag_src, ends.server.sin_addr.s_addr);
        put_v4_mapped(req.id.idiag_dst, ends.agent.sin_addr.s_addr);
    } else {
        req.id.idiag_src[0] = ends.server.sin_addr.s_addr;
        req.id.idiag_dst[0] = ends.agent.sin_addr.s_addr;
    }
    inet_diag_msg diag{};
    switch (cli_shared::sock_diag_lookup(nl.get(), req, kNetlinkTimeoutMs, &diag)) {
    case cli_shared::SockDiagStatus::found:
        break;
    case cli_shared::SockDiagStatus::no_such_socket:
        return cli_owner_result::absent; // an answer, unlike any other error
    case cli_shared::SockDiagStatus::failed:
        return cli_owner_result::unknown;
    }
    // Only the socket asked for may answer for the server.
    if (diag.idiag_family != family ||
        std::memcmp(&diag.id.idiag_sport, &req.id.idiag_sport,
                    sizeof diag.id.idiag_sport + sizeof diag.id.idiag_dport +
                        sizeof diag.id.idiag_src + sizeof diag.id.idiag_dst) != 0)
        return cli_owner_result::absent;
    out->uid = diag.idiag_uid;
    out->state = diag.idiag_state;
    return cli_owner_result::found;
}

// The kernel answers ENOENT both for "no such socket" and for "no TCP
// diagnostics here" (a kernel without inet_diag). Our own end of the
// connection certainly exists: if it cannot be found either, netlink cannot
// tell, and /proc must.
cli_owner_result owner_by_netlink(const endpoint_pair &ends, owner *out) {
    for (uint8_t family : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
        cli_owner_result r = owner_by_sock_diag(ends, family, out);
        if (r != cli_owner_result::absent) return r;
    }
    endpoint_pair own{ends.agent, ends.peer, ends.peer};
    owner ignored;
    return owner_by_sock_diag(own, AF_INET, &ignored) == cli_owner_result::found
               ? cli_owner_result::absent
               : cli_owner_result::unknown;
}

// An address as /proc/net/tcp prints it ("%08X:%04X" of the address as
// stored, the port in host order), or as /proc/net/tcp6 prints its
// IPv4-mapped form.
using proc_address = std::array<char, 48>;

proc_address proc_tcp_address(const sockaddr_in &a) {
    proc_address s{};
    std::snprintf(s.data(), s.size(), "%08X:%04X", a.sin_addr.s_addr, ntohs(a.sin_port));
    return s;
}

proc_address proc_tcp6_mapped_address(const sockaddr_in &a) {
    std::array<__be32, 4> words{};
    put_v4_mapped(words.data(), a.sin_addr.s_addr);
    proc_address s{};
    std::snprintf(s.data(), s.size(), "%08X%08X%08X%08X:%04X", words[0], words[1], words[2],
                  words[3], ntohs(a.sin_port));
    return s;
}

// The connection to look for in one /proc/net file, and what was seen.
struct proc_query {
    proc_address server_local{}, server_remote{}; // the server's end
    proc_address own_local{}, own_remote{};       // our end, proof the file is complete
    bool server_seen = false;
    bool own_seen = false;
    owner server_owner;
};

// Checks one line ("sl local rem st tx:rx tr:when retrnsmt uid ...").
void match_proc_line(const char *line, proc_query &q) {
    std::array<char, 64> loc{}, rem{};
    unsigned st = 0;
    unsigned long uid = 0;
    if (std::sscanf(line, " %*s %63s %63s %x %*s %*s %*s %lu", loc.data(), rem.data(), &st, &uid) !=
        4)
        return;
    if (std::strcmp(loc.data(), q.server_local.data()) == 0 &&
        std::strcmp(rem.data(), q.server_remote.data()) == 0) {
        q.server_seen = true;
        q.server_owner.uid = static_cast<uint32_t>(uid);
        q.server_owner.state = static_cast<uint8_t>(st);
    } else if (std::strcmp(loc.data(), q.own_local.data()) == 0 &&
               std::strcmp(rem.data(), q.own_remote.data()) == 0) {
        q.own_seen = true;
    }
}

// Streams one /proc/net file through a fixed buffer a line at a time; -1 with
// errno set if it cannot be opened.
int scan_proc_file(const char *path, proc_query &q) {
    held_fd f(held_open(path, O_RDONLY));
    if (f.get() < 0) return -1;
    test_hook(hook_point::lookup_descriptor_opened);
    std::array<char, 8192> buf;
    size_t have = 0;
    for (;;) {
        ssize_t n = read(f.get(), buf.data() + have, buf.size() - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        have += static_cast<size_t>(n);
        buf[have] = '\0';
        char *line = buf.data();
        while (char *nl = std::strchr(line, '\n')) {
            *nl = '\0';
            match_proc_line(line, q);
            if (q.server_seen) return 0;
            line = nl + 1;
        }
        have = static_cast<size_t>(buf.data() + have - line);
        std::memmove(buf.data(), line, have);
        if (have == buf.size() - 1) have = 0; // a line longer than any real one
    }
}

// A dual-stack server's end is an IPv6 socket and appears only in
// /proc/net/tcp6, in IPv4-mapped form; our own end is always IPv4. If even
// our own end is missing, /proc shows only part of the truth (another
// network namespace's view, a filtered mount) and cannot say "absent".
cli_owner_result owner_by_proc(const endpoint_pair &ends, owner *out) {
    proc_query v4;
    v4.server_local = proc_tcp_address(ends.server);
    v4.server_remote = proc_tcp_address(ends.agent);
    v4.own_local = proc_tcp_address(ends.agent);
    v4.own_remote = proc_tcp_address(ends.peer);
    if (scan_proc_file("/proc/net/tcp", v4) != 0) return unavailable(errno);
    if (v4.server_seen) {
        *out = v4.server_owner;
        return cli_owner_result::found;
    }
    proc_query v6;
    v6.server_local = proc_tcp6_mapped_address(ends.server);
    v6.server_remote = proc_tcp6_mapped_address(ends.agent);
    if (scan_proc_file("/proc/net/tcp6", v6) == 0 && v6.server_seen) {
        *out = v6.server_owner;
        return cli_owner_result::found;
    }
    return v4.own_seen ? cli_owner_result::absent : cli_owner_result::unknown;
}

// Reads a small /proc file whole into buf (NUL-terminated); false when it
// cannot be read or does not fit.
bool read_small_file(const char *path, char *buf, size_t size) {
    held_fd f(held_open(path, O_RDONLY));
    if (f.get() < 0) return false;
    size_t have = 0;
    for (;;) {
        ssize_t n = read(f.get(), buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        have += static_cast<size_t>(n);
        if (have == size - 1) return false; // longer than the identity map ever is
    }
    buf[have] = '\0';
    return true;
}

// Whether this process sees every uid as it is: the initial user namespace,
// whose uid_map is the one line "0 0 4294967295". Unreadable: not known to be.
bool in_initial_user_namespace() {
    std::array<char, 128> map;
    if (!read_small_file("/proc/self/uid_map", map.data(), map.size())) return false;
    unsigned long inner = 1, outer = 1, count = 0;
    int used = 0;
    if (std::sscanf(map.data(), " %lu %lu %lu %n", &inner, &outer, &count, &used) != 3)
        return false;
    return inner == 0 && outer == 0 && count == 4294967295ul &&
           map[static_cast<size_t>(used)] == '\0';
}

// The uid the kernel shows in this namespace for a user it has no mapping
// for (/proc/sys/kernel/overflowuid, 65534 by default).
uint32_t overflow_uid() {
    std::array<char, 32> text;
    unsigned long uid = 65534;
    if (read_small_file("/proc/sys/kernel/overflowuid", text.data(), text.size()))
        (void)std::sscanf(text.data(), "%lu", &uid);
    return static_cast<uint32_t>(uid);
}

// Inside a user namespace every unmapped user shows as the overflow uid, so
// that uid names nobody in particular there: an owner that cannot be told.
bool owner_is_unmapped(uint32_t uid) {
    return uid == overflow_uid() && !in_initial_user_namespace();
}

} // namespace

cli_owner_result cli_server_owner_uid(int fd, uint16_t server_port, uint32_t *uid,
                                      cli_owner_source source) {
    endpoint_pair ends{cli_internal::loopback_address(server_port), {}, {}};
    socklen_t len = sizeof ends.agent;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ends.agent), &len) != 0)
        return cli_owner_result::absent;
    len = sizeof ends.peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ends.peer), &len) != 0)
        return cli_owner_result::absent;
    // The server's end may still be a half-open request socket for a moment
    // after connect() returns; it has no owner until the handshake ends.
    for (int attempt = 0; attempt < 50; ++attempt) {
        owner found;
        cli_owner_result r = source == cli_owner_source::any ? owner_by_netlink(ends, &found)
                                                             : cli_owner_result::unknown;
        if (r == cli_owner_result::unknown) r = owner_by_proc(ends, &found);
        if (r != cli_owner_result::found) return r;
        if (found.state == kTcpEstablished) {
            if (owner_is_unmapped(found.uid)) return cli_owner_result::unknown;
            *uid = found.uid;
            return r;
        }
        if (found.state != kTcpSynRecv && found.state != kTcpNewSynRecv) break;
        cli_sleep_ms(1);
    }
    return cli_owner_result::absent;
}
