// The exact-lookup client of NETLINK_SOCK_DIAG (see sock_diag.h): fixed
// buffers on the stack, a bounded wait that survives signals.
#include "sock_diag.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace cli_shared {

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Waits until nl is readable or the deadline passes; a signal only shortens
// the remaining wait, it never ends it.
bool wait_readable(int nl, int64_t deadline_ns) {
    for (;;) {
        const int64_t left_ns = deadline_ns - now_ns();
        if (left_ns <= 0) return false;
        pollfd p{nl, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>((left_ns + 999999) / 1000000));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// The first message that answers: the socket found, or the kernel's error.
SockDiagStatus read_reply(const uint8_t *data, size_t size, inet_diag_msg *answer) {
    auto *hdr = reinterpret_cast<const nlmsghdr *>(data);
    auto left = static_cast<unsigned>(size);
    for (; NLMSG_OK(hdr, left); hdr = NLMSG_NEXT(hdr, left)) {
        if (hdr->nlmsg_type == NLMSG_ERROR) {
            const auto *err = static_cast<const nlmsgerr *>(NLMSG_DATA(hdr));
            return err->error == -ENOENT ? SockDiagStatus::no_such_socket : SockDiagStatus::failed;
        }
        if (hdr->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            hdr->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            std::memcpy(answer, NLMSG_DATA(hdr), sizeof *answer);
            return SockDiagStatus::found;
        }
    }
    return SockDiagStatus::failed;
}

} // namespace

inet_diag_req_v2 tcp_exact_request(uint8_t family) {
    inet_diag_req_v2 req{};
    req.sdiag_family = family;
    req.sdiag_protocol = IPPROTO_TCP;
    req.idiag_states = ~0u;
    req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return req;
}

int open_sock_diag() {
    return socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

bool sock_diag_send(int nl, const inet_diag_req_v2 &req) {
    struct {
        nlmsghdr hdr;
        inet_diag_req_v2 req;
    } msg{};
    msg.hdr.nlmsg_len = sizeof msg;
    msg.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.hdr.nlmsg_flags = NLM_F_REQUEST;
    msg.hdr.nlmsg_seq = 1;
    msg.req = req;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t n;
    do {
        n = sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof msg);
}

SockDiagStatus sock_diag_receive(int nl, int timeout_ms, inet_diag_msg *answer) {
    const int64_t deadline = now_ns() + int64_t{timeout_ms} * 1000000;
    // An exact lookup's answer is one small message; a larger one would be
    // cut short and read as no answer.
    alignas(nlmsghdr) std::array<uint8_t, 4096> reply;
    for (;;) {
        if (!wait_readable(nl, deadline)) return SockDiagStatus::failed;
        const ssize_t n = recv(nl, reply.data(), reply.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return SockDiagStatus::failed;
        return read_reply(reply.data(), static_cast<size_t>(n), answer);
    }
}

SockDiagStatus sock_diag_lookup(int nl, const inet_diag_req_v2 &req, int timeout_ms,
                                inet_diag_msg *answer) {
    if (!sock_diag_send(nl, req)) return SockDiagStatus::failed;
    return sock_diag_receive(nl, timeout_ms, answer);
}

} // namespace cli_shared
