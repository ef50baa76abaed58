// Frame transport and shared utilities: the wire format, loopback sockets,
// whole-frame I/O, the reconnect pause, argument splitting and the number
// and port parsers of the server side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "cli_internal.h"
#include "protocol.h"

namespace {

// Closes the descriptor it holds unless released; keeps the failure paths
// of socket set-up free of leaks.
class fd_guard {
  public:
    explicit fd_guard(int fd) : fd_(fd) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Header and DONE-style frames are tiny; without this every small frame
// that follows another waits for the peer's delayed ACK (40 ms on Linux).
void disable_nagle(int fd) {
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One gathering write. On a socket it never raises SIGPIPE, so a host that
// restores the default disposition after starting the agent is not killed
// by a server that went away; other descriptors take a plain writev.
ssize_t write_iov(int fd, iovec *iov, int count) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = writev(fd, iov, count);
    return n;
}

// Writes all bytes described by iov, advancing over partial writes, so a
// frame normally leaves in one system call.
int write_all_iov(int fd, iovec *iov, int count) {
    while (count > 0) {
        ssize_t n = write_iov(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        auto left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Copies one token starting at *rd to wr, handling quotes and escapes;
// returns the write position after the token. *rd ends past the white
// space that closed the token, or at the terminating NUL.
char *copy_token(char **rd, char *wr) {
    char *p = *rd;
    char quote = 0;
    while (*p != '\0') {
        char c = *p;
        if (c == '\\' && p[1] != '\0') {
            *wr++ = p[1];
            p += 2;
            continue;
        }
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                *wr++ = c;
            ++p;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            ++p;
            continue;
        }
        if (is_space(c)) {
            ++p;
            break;
        }
        *wr++ = c;
        ++p;
    }
    *rd = p;
    return wr;
}

// ---------------------------------------------------------------------------
// Owner of the server's end of a loopback connection

// Kernel TCP states of a connection the server has not finished accepting;
// their diagnostics carry no owner yet.
constexpr uint8_t kTcpSynRecv = 3;
constexpr uint8_t kTcpNewSynRecv = 12;

struct endpoint_pair {
    sockaddr_in server; // the server's end: 127.0.0.1:port
    sockaddr_in agent;  // our end of the same connection
};

// Running out of descriptors or memory says nothing about whether an
// interface exists; the caller refuses this attempt and asks again later,
// so that a host near its limits never talks to an unchecked server.
cli_owner_result unavailable(int err) {
    bool starved = err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
    return starved ? cli_owner_result::absent : cli_owner_result::unknown;
}

// Asks NETLINK_SOCK_DIAG for the one socket with exactly these addresses.
cli_owner_result owner_by_sock_diag(const endpoint_pair &ends, uint32_t *uid, uint8_t *state) {
    fd_guard nl(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (nl.get() < 0) return unavailable(errno);
    struct {
        nlmsghdr hdr;
        inet_diag_req_v2 req;
    } msg{};
    msg.hdr.nlmsg_len = sizeof msg;
    msg.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.hdr.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = ends.server.sin_port;
    msg.req.id.idiag_dport = ends.agent.sin_port;
    msg.req.id.idiag_src[0] = ends.server.sin_addr.s_addr;
    msg.req.id.idiag_dst[0] = ends.agent.sin_addr.s_addr;
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl.get(), &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof msg))
        return cli_owner_result::unknown;

    alignas(nlmsghdr) std::array<uint8_t, 4096> reply;
    ssize_t n;
    do {
        n = recv(nl.get(), reply.data(), reply.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return cli_owner_result::unknown;
    auto *hdr = reinterpret_cast<nlmsghdr *>(reply.data());
    auto left = static_cast<unsigned>(n);
    for (; NLMSG_OK(hdr, left); hdr = NLMSG_NEXT(hdr, left)) {
        if (hdr->nlmsg_type == NLMSG_ERROR) {
            auto *err = static_cast<nlmsgerr *>(NLMSG_DATA(hdr));
            // No such socket is an answer; anything else means the
            // interface is not usable here.
            return err->error == -ENOENT ? cli_owner_result::absent : cli_owner_result::unknown;
        }
        if (hdr->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            hdr->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            auto *diag = static_cast<inet_diag_msg *>(NLMSG_DATA(hdr));
            *uid = diag->idiag_uid;
            *state = diag->idiag_state;
            return cli_owner_result::found;
        }
    }
    return cli_owner_result::unknown;
}

// Parses one /proc/net/tcp line; true when its local and remote addresses
// are the wanted ones (as the file prints them: "%08X:%04X").
bool proc_tcp_line_matches(const char *line, const char *local, const char *remote, uint32_t *uid,
                           uint8_t *state) {
    char loc[32], rem[32];
    unsigned st = 0;
    unsigned long owner = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid
    if (std::sscanf(line, " %*s %31s %31s %x %*s %*s %*s %lu", loc, rem, &st, &owner) != 4)
        return false;
    if (std::strcmp(loc, local) != 0 || std::strcmp(rem, remote) != 0) return false;
    *uid = static_cast<uint32_t>(owner);
    *state = static_cast<uint8_t>(st);
    return true;
}

cli_owner_result owner_by_proc(const endpoint_pair &ends, uint32_t *uid, uint8_t *state) {
    fd_guard f(open("/proc/net/tcp", O_RDONLY | O_CLOEXEC));
    if (f.get() < 0) return unavailable(errno);
    std::array<char, 32> local, remote;
    std::snprintf(local.data(), local.size(), "%08X:%04X", ends.server.sin_addr.s_addr,
                  ntohs(ends.server.sin_port));
    std::snprintf(remote.data(), remote.size(), "%08X:%04X", ends.agent.sin_addr.s_addr,
                  ntohs(ends.agent.sin_port));
    // Streams the file through a fixed buffer one line at a time.
    std::array<char, 8192> buf;
    size_t have = 0;
    for (;;) {
        ssize_t n = read(f.get(), buf.data() + have, buf.size() - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return cli_owner_result::absent;
        have += static_cast<size_t>(n);
        buf[have] = '\0';
        char *line = buf.data();
        while (char *nl = std::strchr(line, '\n')) {
            *nl = '\0';
            if (proc_tcp_line_matches(line, local.data(), remote.data(), uid, state))
                return cli_owner_result::found;
            line = nl + 1;
        }
        have = static_cast<size_t>(buf.data() + have - line);
        std::memmove(buf.data(), line, have);
        if (have == buf.size() - 1) have = 0; // a line longer than any real one
    }
}

// The kernel answers ENOENT both for "no such socket" and for "no TCP
// diagnostics here" (a kernel without inet_diag). Our own end of the
// connection certainly exists: if it cannot be found either, netlink cannot
// tell, and /proc must.
cli_owner_result owner_by_netlink(const endpoint_pair &ends, uint32_t *uid, uint8_t *state) {
    cli_owner_result r = owner_by_sock_diag(ends, uid, state);
    if (r != cli_owner_result::absent) return r;
    endpoint_pair own{ends.agent, ends.server};
    uint32_t own_uid = 0;
    uint8_t own_state = 0;
    return owner_by_sock_diag(own, &own_uid, &own_state) == cli_owner_result::found
               ? cli_owner_result::absent
               : cli_owner_result::unknown;
}

} // namespace

cli_owner_result cli_server_owner_uid(int fd, uint16_t server_port, uint32_t *uid,
                                      cli_owner_source source) {
    endpoint_pair ends{loopback_address(server_port), {}};
    socklen_t len = sizeof ends.agent;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ends.agent), &len) != 0)
        return cli_owner_result::absent;
    // The server's end may still be a half-open request socket for a moment
    // after connect() returns; it has no owner until the handshake ends.
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint8_t state = 0;
        cli_owner_result r = source == cli_owner_source::any ? owner_by_netlink(ends, uid, &state)
                                                             : cli_owner_result::unknown;
        if (r == cli_owner_result::unknown) r = owner_by_proc(ends, uid, &state);
        if (r != cli_owner_result::found || (state != kTcpSynRecv && state != kTcpNewSynRecv))
            return r;
        cli_sleep_ms(1);
    }
    return cli_owner_result::absent;
}

int cli_read_exact(int fd, void *buf, size_t n) {
    auto *p = static_cast<uint8_t *>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r == 0) return -1;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

int cli_write_exact(int fd, const void *buf, size_t n) {
    iovec iov{const_cast<void *>(buf), n};
    return write_all_iov(fd, &iov, 1);
}

void cli_encode_header(uint8_t *hdr, uint16_t type, uint32_t req_id, uint32_t agent_id,
                       uint32_t len) {
    cli_protocol::encode_header(hdr, type, req_id, agent_id, len);
}

int cli_decode_header(const uint8_t *hdr, cli_frame *frame) {
    cli_protocol::header h;
    auto status = cli_protocol::decode_header(hdr, h);
    frame->magic = h.magic;
    frame->version = h.version;
    frame->type = h.type;
    frame->req_id = h.req_id;
    frame->agent_id = h.agent_id;
    frame->len = h.len;
    return status == cli_protocol::header_status::ok ? 0 : -1;
}

int cli_parse_u64_strict(const char *s, uint64_t *out) {
    if (s == nullptr || out == nullptr || *s == '\0') return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0') return -1;
    *out = v;
    return 0;
}

extern "C" {

CLI_API int cli_open_server(uint16_t port) {
    fd_guard fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    int one = 1;
    (void)setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    disable_nagle(fd.get()); // inherited by every accepted connection
    sockaddr_in addr = loopback_address(port);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return -1;
    if (listen(fd.get(), 64) != 0) return -1;
    return fd.release();
}

CLI_API int cli_connect_server(uint16_t port) {
    fd_guard fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    sockaddr_in addr = loopback_address(port);
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return -1;
    disable_nagle(fd.get());
    return fd.release();
}

CLI_API int cli_send_frame(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id,
                           const uint8_t *data, uint32_t len) {
    // A header announcing bytes that never follow would desynchronise the
    // peer's stream, so a missing payload is refused before anything is sent.
    if (len > CLI_FRAME_MAX_DATA || (len != 0 && data == nullptr)) return -1;
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    cli_encode_header(hdr.data(), type, req_id, agent_id, len);
    std::array<iovec, 2> iov{{{hdr.data(), hdr.size()}, {const_cast<uint8_t *>(data), len}}};
    return write_all_iov(fd, iov.data(), len != 0 ? 2 : 1);
}

CLI_API int cli_send_text(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id,
                          const char *text) {
    if (text == nullptr) text = "";
    size_t n = std::min<size_t>(std::strlen(text), CLI_FRAME_MAX_DATA);
    return cli_send_frame(fd, type, req_id, agent_id, reinterpret_cast<const uint8_t *>(text),
                          static_cast<uint32_t>(n));
}

CLI_API int cli_recv_frame(int fd, cli_frame *frame) {
    if (frame == nullptr) return -1;
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    if (cli_read_exact(fd, hdr.data(), hdr.size()) != 0) return -1;
    if (cli_decode_header(hdr.data(), frame) != 0) return -1;
    if (frame->len != 0 && cli_read_exact(fd, frame->data, frame->len) != 0) return -1;
    frame->data[frame->len] = 0;
    return 0;
}

CLI_API void cli_sleep_ms(uint32_t ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

CLI_API int cli_split_args(char *line, cli_args *args) {
    if (line == nullptr || args == nullptr) return -1;
    args->argc = 0;
    char *rd = line;
    for (;;) {
        while (is_space(*rd))
            ++rd;
        if (*rd == '\0') return 0;
        if (args->argc == CLI_MAX_ARGS) return -1;
        // Tokens are compacted in place: the write position never passes the
        // read position, so the token can start where it was found.
        char *start = rd;
        args->argv[args->argc++] = start;
        char *end = copy_token(&rd, start);
        *end = '\0';
    }
}

CLI_API void cli_lower(char *s) {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)) & 0xFF);
}

CLI_API int cli_parse_u32(const char *s, uint32_t *out) {
    uint64_t v = 0;
    if (out == nullptr || cli_parse_u64_strict(s, &v) != 0 || v > UINT32_MAX) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

CLI_API uint16_t cli_parse_port_arg(const char *s, uint16_t default_port) {
    uint32_t v = 0;
    if (cli_parse_u32(s, &v) != 0 || v == 0 || v > 65535) return default_port;
    return static_cast<uint16_t>(v);
}

} // extern "C"
