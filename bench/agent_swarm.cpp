#include "agent_swarm.h"

#include "cli_common.h"
#include "protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace bench {

namespace {

// Connections under way at once: below the server's listen backlog, so no
// SYN is dropped and retransmitted a second later.
constexpr size_t kInFlight = 1024;

std::string frame(uint16_t type, uint32_t req_id, uint32_t agent_id, const std::string &payload) {
    std::string s(cli_protocol::header_len, '\0');
    cli_protocol::encode_header(reinterpret_cast<uint8_t *>(s.data()), type, req_id, agent_id,
                                static_cast<uint32_t>(payload.size()));
    return s + payload;
}

int start_connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket for a fake agent: " + std::string(std::strerror(errno)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS)
        fail("connecting a fake agent: " + std::string(std::strerror(errno)));
    return fd;
}

// The payload length in a frame header.
size_t payload_len(const uint8_t *hdr) {
    return (size_t{hdr[16]} << 24) | (size_t{hdr[17]} << 16) | (size_t{hdr[18]} << 8) | hdr[19];
}

// The whole ACK, payload included (cli-server asks for results in it).
bool read_ack(int fd) {
    uint8_t hdr[cli_protocol::header_len];
    if (!read_exact(fd, hdr, sizeof hdr)) return false;
    std::string payload(payload_len(hdr), '\0');
    return payload.empty() || read_exact(fd, payload.data(), payload.size());
}

} // namespace

uint64_t AgentSwarm::connect(size_t n, const std::string &prefix) {
    struct Pending {
        bool hello_sent = false;
        size_t got = 0;                         // ACK bytes read
        size_t want = cli_protocol::header_len; // the whole ACK, once its header is in
        uint8_t hdr[cli_protocol::header_len] = {};
        size_t index = 0;
    };
    UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
    std::vector<Pending> state(n);
    std::vector<int> fds(n, -1);
    const size_t base = agents_.size();
    const uint64_t start = now_ns();
    size_t started = 0, done = 0;
    auto launch = [&] {
        while (started < n && started - done < kInFlight) {
            int fd = start_connect(port_);
            fds[started] = fd;
            state[started].index = started;
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.u64 = started;
            epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev);
            ++started;
        }
    };
    launch();
    std::vector<epoll_event> events(256);
    while (done < n) {
        int k = epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 10000);
        if (k <= 0) fail("fake agents: no progress for 10 s");
        for (int e = 0; e < k; ++e) {
            const size_t i = events[e].data.u64;
            Pending &p = state[i];
            const int fd = fds[i];
            if (!p.hello_sent) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err) fail("fake agent connect: " + std::string(std::strerror(err)));
                const std::string hello =
                    frame(CLI_FRAME_HELLO, 0, static_cast<uint32_t>(base + i + 1000),
                          prefix + std::to_string(base + i));
                if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(hello.size()))
                    fail("fake agent HELLO");
                p.hello_sent = true;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = i;
                epoll_ctl(ep.get(), EPOLL_CTL_MOD, fd, &ev);
                continue;
            }
            uint8_t buf[256];
            ssize_t r = recv(fd, buf, std::min(sizeof buf, p.want - p.got), 0);
            if (r <= 0) fail("fake agent: no ACK");
            for (ssize_t j = 0; j < r; ++j, ++p.got)
                if (p.got < sizeof p.hdr) p.hdr[p.got] = buf[j];
            if (p.got == sizeof p.hdr && p.want == sizeof p.hdr) p.want += payload_len(p.hdr);
            if (p.got < p.want) continue; // the header, then any payload (rarely split)
            epoll_ctl(ep.get(), EPOLL_CTL_DEL, fd, nullptr);
            ++done;
        }
        launch();
    }
    const uint64_t took = now_ns() - start;
    for (int fd : fds)
        agents_.emplace_back(fd);
    return took;
}

AgentSwarm::~AgentSwarm() {
    stop_answering();
}

void AgentSwarm::start_answering(const std::string &reply) {
    stop_answering();
    answered_ = 0;
    first_command_ns_ = 0;
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) fail("eventfd for the answering swarm");
    answering_ = std::thread([this, reply, fd = wake_.get()] { answer(reply, fd); });
}

void AgentSwarm::stop_answering() {
    if (!answering_.joinable()) return;
    const uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof one) != sizeof one) fail("waking the answering swarm");
    answering_.join();
    wake_.reset();
}

// One epoll set over every agent; each readable agent's complete frames are
// answered in one write per read.
void AgentSwarm::answer(const std::string &reply, int wake_fd) {
    constexpr uint64_t kWake = ~uint64_t{0};
    UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWake;
    epoll_ctl(ep.get(), EPOLL_CTL_ADD, wake_fd, &ev);
    for (size_t i = 0; i < agents_.size(); ++i) {
        ev.data.u64 = i;
        if (epoll_ctl(ep.get(), EPOLL_CTL_ADD, agents_[i].get(), &ev) != 0)
            fail("watching an answering agent");
    }
    std::vector<std::string> pending(agents_.size()); // bytes of an unfinished frame
    std::vector<epoll_event> events(1024);
    std::string out;
    char chunk[65536];
    const size_t hl = cli_protocol::header_len;
    for (;;) {
        const int k = epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), -1);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) fail("epoll_wait in the answering swarm");
        for (int e = 0; e < k; ++e) {
            if (events[e].data.u64 == kWake) return;
            const size_t i = events[e].data.u64;
            const int fd = agents_[i].get();
            const ssize_t r = recv(fd, chunk, sizeof chunk, 0);
            if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (r <= 0) { // the server dropped the agent: stop watching it
                epoll_ctl(ep.get(), EPOLL_CTL_DEL, fd, nullptr);
                continue;
            }
            std::string &in = pending[i];
            in.append(chunk, static_cast<size_t>(r));
            out.clear();
            size_t off = 0;
            while (in.size() - off >= hl) {
                const auto *raw = reinterpret_cast<const uint8_t *>(in.data() + off);
                cli_protocol::header h;
                if (cli_protocol::decode_header(raw, h) != cli_protocol::header_status::ok)
                    fail("the server sent an answering agent a bad frame");
                if (in.size() - off < hl + h.len) break;
                off += hl + h.len;
                if (h.type != CLI_FRAME_COMMAND) continue;
                if (first_command_ns_.load(std::memory_order_relaxed) == 0)
                    first_command_ns_ = now_ns();
                out += frame(CLI_FRAME_OUTPUT, h.req_id, h.agent_id, reply);
                out += frame(CLI_FRAME_DONE, h.req_id, h.agent_id, "");
                answered_.fetch_add(1, std::memory_order_relaxed);
            }
            in.erase(0, off);
            if (!out.empty() &&
                send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                fail("an answering agent could not send its reply in one write");
        }
    }
}

void AgentSwarm::close_all() {
    stop_answering();
    const linger reset{1, 0};
    for (UniqueFd &fd : agents_)
        setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    agents_.clear();
}

OutputFlooder::OutputFlooder(uint16_t port) {
    int fd = start_connect(port);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_.reset(fd);
    const std::string hello = frame(CLI_FRAME_HELLO, 0, 999, "flood");
    if (!write_all(fd, hello.data(), hello.size())) fail("flooder HELLO");
    if (!read_ack(fd)) fail("flooder ACK");
    thread_ = std::thread([this] { flood(); });
}

OutputFlooder::~OutputFlooder() {
    stop_ = true;
    shutdown(fd_.get(), SHUT_RDWR);
    thread_.join();
}

void OutputFlooder::flood() {
    const std::string out =
        frame(CLI_FRAME_OUTPUT, 0x7fffffff, 999, std::string(cli_protocol::max_payload, 'f'));
    while (!stop_.load()) {
        if (!write_all(fd_.get(), out.data(), out.size())) return;
        sent_ += out.size();
    }
}

EchoAgent::EchoAgent(uint16_t port, const std::string &name) {
    const uint64_t deadline = now_ns() + 10'000'000'000ull;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket for the echo agent: " + std::string(std::strerror(errno)));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            fd_.reset(fd);
            break;
        }
        close(fd);
        if (now_ns() > deadline)
            fail("the echo agent found no server on port " + std::to_string(port));
        usleep(10'000);
    }
    set_nodelay(fd_.get(), true);
    const std::string hello = frame(CLI_FRAME_HELLO, 0, 7, name);
    if (!write_all(fd_.get(), hello.data(), hello.size())) fail("echo agent HELLO");
    if (!read_ack(fd_.get())) fail("echo agent ACK");
    thread_ = std::thread([this] { serve(); });
}

EchoAgent::~EchoAgent() {
    shutdown(fd_.get(), SHUT_RDWR);
    thread_.join();
}

void EchoAgent::serve() {
    std::string line, reply;
    for (;;) {
        uint8_t raw[cli_protocol::header_len];
        if (!read_exact(fd_.get(), raw, sizeof raw)) return;
        cli_protocol::header h;
        if (cli_protocol::decode_header(raw, h) != cli_protocol::header_status::ok) return;
        line.resize(h.len);
        if (h.len && !read_exact(fd_.get(), line.data(), h.len)) return;
        if (h.type != CLI_FRAME_COMMAND) continue; // BYE, INPUT: nothing to answer
        const std::string words = line.rfind("echo ", 0) == 0 ? line.substr(5) : line;
        reply = frame(CLI_FRAME_OUTPUT, h.req_id, 7, words + "\n") +
                frame(CLI_FRAME_DONE, h.req_id, 7, "");
        if (!write_all(fd_.get(), reply.data(), reply.size())) return;
    }
}

} // namespace bench
