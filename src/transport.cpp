// Loopback sockets and whole-frame I/O: every frame leaves in one gathering
// write and arrives through exact reads, so a frame is never split by the
// library itself.
#include "transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "unique_fd.h"
#include "protocol.h"
#include "test_hooks.h"

namespace cli_internal {

sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

namespace {

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
        ssize_t n;
#ifdef CLI_AGENT_TEST_HOOKS
        // A test makes this write fail, or take only part of the frame, as
        // the kernel may.
        if (int err = test_hook(hook_point::frame_write_error); err != 0) {
            errno = err;
            return -1;
        }
        if (auto limit = static_cast<size_t>(test_hook(hook_point::frame_write_limit));
            limit > 0 && iov->iov_len > limit) {
            iovec part{iov->iov_base, limit};
            n = write_iov(fd, &part, 1);
        } else
#endif
            n = write_iov(fd, iov, count);
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

} // namespace

int connect_loopback(int fd, uint16_t port) {
    sockaddr_in addr = loopback_address(port);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return -1;
    disable_nagle(fd);
    return 0;
}

int read_exact(int fd, void *buf, size_t n) {
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

int write_exact(int fd, const void *buf, size_t n) {
    iovec iov{const_cast<void *>(buf), n};
    return write_all_iov(fd, &iov, 1);
}

int decode_frame_header(const uint8_t *hdr, cli_frame *frame) {
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

} // namespace cli_internal

using namespace cli_internal;

extern "C" {

CLI_API int cli_open_server(uint16_t port) {
    cli_shared::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
    cli_shared::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    if (connect_loopback(fd.get(), port) != 0) return -1;
    return fd.release();
}

CLI_API int cli_send_frame(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id,
                           const uint8_t *data, uint32_t len) {
    // A header announcing bytes that never follow would desynchronise the
    // peer's stream, so a missing payload is refused before anything is sent.
    if (len > CLI_FRAME_MAX_DATA || (len != 0 && data == nullptr)) return -1;
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    cli_protocol::encode_header(hdr.data(), type, req_id, agent_id, len);
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
    if (read_exact(fd, hdr.data(), hdr.size()) != 0) return -1;
    if (decode_frame_header(hdr.data(), frame) != 0) return -1;
    if (frame->len != 0 && read_exact(fd, frame->data, frame->len) != 0) return -1;
    frame->data[frame->len] = 0;
    return 0;
}

CLI_API void cli_sleep_ms(uint32_t ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

} // extern "C"
