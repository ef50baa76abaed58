#include "test_server.h"

#include "deadline_io.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace clitest {

using clock = Clock;

namespace {

void put32(std::string &s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

uint32_t get32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

uint16_t get16(const std::string &s, size_t at) {
    return static_cast<uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                 static_cast<unsigned char>(s[at + 1]));
}

} // namespace

std::string encode_frame(uint16_t type, uint32_t req_id, uint32_t agent_id,
                         const std::string &payload) {
    std::string s = "QELM";
    s.push_back(0);
    s.push_back(1);
    s.push_back(static_cast<char>(type >> 8));
    s.push_back(static_cast<char>(type & 0xFF));
    put32(s, req_id);
    put32(s, agent_id);
    put32(s, static_cast<uint32_t>(payload.size()));
    return s + payload;
}

std::string hex(const std::string &bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

Conn::Conn(Conn &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Conn &Conn::operator=(Conn &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<std::string> Conn::read_bytes(size_t n, ms timeout) {
    auto deadline = clock::now() + timeout;
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        if (!wait_readable(fd_, deadline)) return std::nullopt;
        ssize_t r = ::read(fd_, out.data() + got, n - got);
        if (r == 0) return std::nullopt;
        if (r < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        got += static_cast<size_t>(r);
    }
    return out;
}

std::optional<WireFrame> Conn::read_frame(ms timeout) {
    auto deadline = clock::now() + timeout;
    auto hdr = read_bytes(20, timeout);
    if (!hdr) return std::nullopt;
    WireFrame f;
    f.magic = get32(*hdr, 0);
    f.version = get16(*hdr, 4);
    f.type = get16(*hdr, 6);
    f.req_id = get32(*hdr, 8);
    f.agent_id = get32(*hdr, 12);
    uint32_t len = get32(*hdr, 16);
    if (f.magic != 0x51454C4Du || f.version != 1 || len > 65536) return std::nullopt;
    if (len > 0) {
        auto body = read_bytes(len, std::chrono::duration_cast<ms>(deadline - clock::now()) + 1ms);
        if (!body) return std::nullopt;
        f.payload = std::move(*body);
    }
    return f;
}

bool Conn::wait_closed(ms timeout, int *skipped) {
    auto deadline = clock::now() + timeout;
    char buf[4096];
    size_t bytes = 0;
    for (;;) {
        if (!wait_readable(fd_, deadline)) return false;
        ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == ECONNRESET) break;
            return false;
        }
        bytes += static_cast<size_t>(r);
    }
    if (skipped != nullptr) *skipped = static_cast<int>(bytes / 20);
    return true;
}

bool Conn::send_raw(const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t w = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(w);
    }
    return true;
}

bool Conn::send_frame(uint16_t type, uint32_t req_id, const std::string &payload,
                      uint32_t agent_id) {
    return send_raw(encode_frame(type, req_id, agent_id, payload));
}

std::optional<WireFrame> Conn::handshake(ms timeout, const std::string &ack_payload) {
    auto hello = read_frame(timeout);
    if (!hello || hello->type != 2) return std::nullopt;
    if (!send_frame(3, 0, ack_payload)) return std::nullopt;
    return hello;
}

std::string Conn::Result::output() const {
    std::string out;
    for (const auto &f : frames)
        if (f.type == 5) out += f.payload;
    return out;
}

Conn::Result Conn::command(const std::string &line, uint32_t req_id, ms timeout) {
    if (!send_frame(4, req_id, line)) return {};
    return collect(req_id, timeout);
}

Conn::Result Conn::collect(uint32_t req_id, ms timeout) {
    Result r;
    auto deadline = clock::now() + timeout;
    for (;;) {
        auto f = read_frame(std::chrono::duration_cast<ms>(deadline - clock::now()));
        if (!f) return r;
        if (f->type == 6 && f->req_id == req_id) {
            r.done = true;
            r.done_payload = std::move(f->payload);
            return r;
        }
        r.frames.push_back(std::move(*f));
    }
}

int listen_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A process started by the previous test (a host, a cli-server) may
    // still be on its way out and hold the port for a moment.
    auto deadline = clock::now() + 3000ms;
    while (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EADDRINUSE || clock::now() >= deadline) {
            ::close(fd);
            return -1;
        }
        poll(nullptr, 0, 20);
    }
    if (listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TestServer::TestServer(uint16_t port) : fd_(listen_loopback(port)) {}

TestServer::~TestServer() {
    close();
}

void TestServer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Conn TestServer::accept(ms timeout) {
    if (fd_ < 0 || !wait_readable(fd_, clock::now() + timeout)) return Conn{};
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return Conn{c};
}

} // namespace clitest
