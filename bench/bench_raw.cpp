#include "bench_raw.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace bench {

namespace {

void serve_stream(int fd, uint64_t bytes) {
    // The same bytes the agent's stream sends; never the shared zero page.
    static std::array<char, kStreamWrite> piece = [] {
        std::array<char, kStreamWrite> p;
        p.fill('x');
        return p;
    }();
    while (bytes > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, piece.size()));
        if (!write_all(fd, piece.data(), n)) return;
        bytes -= n;
    }
}

void serve_connection(int fd) {
    std::array<char, kRequestBytes> req{};
    std::array<char, kReplyBytes> reply{};
    while (read_exact(fd, req.data(), req.size())) {
        if (req[0] == 'S') {
            uint64_t bytes = 0;
            std::memcpy(&bytes, req.data() + 8, sizeof bytes);
            serve_stream(fd, bytes);
        } else if (!write_all(fd, reply.data(), reply.size())) {
            return;
        }
    }
}

} // namespace

RawPeer::RawPeer() : listen_(listen_loopback(0)), port_(local_port(listen_.get())) {
    thread_ = std::thread([this] { serve(); });
}

RawPeer::~RawPeer() {
    // Ends the pending accept; the thread then leaves its loop.
    (void)shutdown(listen_.get(), SHUT_RDWR);
    thread_.join();
}

void RawPeer::serve() {
    (void)pin_current_thread(kServingCpu);
    (void)pthread_setname_np(pthread_self(), "raw-peer");
    for (;;) {
        UniqueFd conn = accept_one(listen_.get());
        if (!conn.valid()) return;
        set_nodelay(conn.get(), true);
        serve_connection(conn.get());
    }
}

RawClient::RawClient(uint16_t port) : fd_(connect_loopback(port)) {
    set_nodelay(fd_.get(), true);
    set_read_timeout(fd_.get(), std::chrono::seconds(10));
}

uint64_t RawClient::round_trip() {
    std::array<char, kRequestBytes> req{'P'};
    std::array<char, kReplyBytes> reply{};
    uint64_t t0 = now_ns();
    if (!write_all(fd_.get(), req.data(), req.size())) fail("raw request");
    if (!read_exact(fd_.get(), reply.data(), reply.size())) fail("raw reply");
    return now_ns() - t0;
}

uint64_t RawClient::stream(uint64_t bytes, std::vector<char> &buf) {
    std::array<char, kRequestBytes> req{'S'};
    std::memcpy(req.data() + 8, &bytes, sizeof bytes);
    uint64_t t0 = now_ns();
    if (!write_all(fd_.get(), req.data(), req.size())) fail("raw stream request");
    while (bytes > 0) {
        ssize_t r = ::read(fd_.get(), buf.data(), std::min<uint64_t>(bytes, buf.size()));
        if (r <= 0) fail("raw stream read");
        bytes -= static_cast<uint64_t>(r);
    }
    return now_ns() - t0;
}

} // namespace bench
