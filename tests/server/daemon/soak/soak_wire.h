// The operator protocol as the soak's clients speak it, and one client
// connection to the daemon whose every read has a deadline. A Conn belongs
// to one thread.
#pragma once

#include "soak.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace soak {

// The operator protocol as this program speaks it, written from the message
// layout and not from the daemon's encoder: a type byte, a big-endian u32
// payload length, the payload.
namespace wire {
constexpr uint8_t kHello = 0x01, kSubmit = 0x02, kReply = 0x03, kAbandon = 0x04, kList = 0x05;
constexpr uint8_t kWelcome = 0x81, kAgentUp = 0x82, kAgentDown = 0x83, kReady = 0x84,
                  kQueued = 0x85, kSent = 0x86, kOutput = 0x87, kPrompt = 0x88, kDone = 0x89,
                  kNotice = 0x8a, kRow = 0x8b, kRowsEnd = 0x8c, kRefused = 0x8d;
constexpr uint32_t kMaxPayload = 64 * 1024;
constexpr size_t kRecordFixed = 8 + 4 + 8 + 8 + 8;

inline void put_be(std::string &s, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
inline uint64_t get_be(const std::string &s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
inline std::string message(uint8_t type, const std::string &payload) {
    std::string m(1, static_cast<char>(type));
    put_be(m, payload.size(), 4);
    return m + payload;
}
inline std::string hello() {
    std::string p;
    put_be(p, 1, 2);
    p.push_back(1); // scripted
    return message(kHello, p);
}
inline std::string submit(uint64_t request, uint64_t agent, const std::string &line) {
    std::string p;
    put_be(p, request, 8);
    put_be(p, agent, 8);
    p.push_back(0);
    return message(kSubmit, p + line);
}
inline std::string with_request(uint8_t type, uint64_t request, const std::string &rest = {}) {
    std::string p;
    put_be(p, request, 8);
    return message(type, p + rest);
}
} // namespace wire

struct Msg {
    uint8_t type = 0;
    std::string payload;
    uint64_t request() const { return payload.size() >= 8 ? wire::get_be(payload, 0, 8) : 0; }
    std::string after_request() const { return payload.size() > 8 ? payload.substr(8) : ""; }
};

// One client connection to the daemon's socket; every read has a deadline.
class Conn {
  public:
    ~Conn() { close(); }
    bool open(const std::string &path, std::string *why) {
        close();
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            *why = std::string("connect: ") + std::strerror(errno);
            close();
            return false;
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        in_.clear();
    }
    bool send(const std::string &bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t w = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    }
    // A message, or nullopt with *why (end of stream, a bad header, time-out).
    std::optional<Msg> next(Clock::time_point deadline, std::string *why) {
        for (;;) {
            if (in_.size() >= 5) {
                const uint8_t type = static_cast<uint8_t>(in_[0]);
                const uint64_t len = wire::get_be(in_, 1, 4);
                if (len > wire::kMaxPayload) {
                    *why = "a message of " + std::to_string(len) + " bytes";
                    return std::nullopt;
                }
                if (in_.size() >= 5 + len) {
                    Msg m{type, in_.substr(5, len)};
                    in_.erase(0, 5 + len);
                    return m;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                *why = "timed out";
                return std::nullopt;
            }
            pollfd p{fd_, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
            if (r < 0 && errno != EINTR) {
                *why = std::string("poll: ") + std::strerror(errno);
                return std::nullopt;
            }
            if (r <= 0) continue;
            char buf[65536];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *why = n == 0 ? "the daemon closed the connection"
                              : std::string("read: ") + std::strerror(errno);
                return std::nullopt;
            }
            in_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    std::string in_;
};

// Opens with HELLO and reads WELCOME, the agents and READY.
inline bool greet(Conn &c, const std::string &path, std::map<std::string, uint64_t> *agents,
                  std::string *why) {
    if (!c.open(path, why) || !c.send(wire::hello())) {
        if (why->empty()) *why = "HELLO not sent";
        return false;
    }
    const auto deadline = Clock::now() + kStartBound;
    bool welcomed = false;
    for (;;) {
        auto m = c.next(deadline, why);
        if (!m) return false;
        if (!welcomed) {
            if (m->type != wire::kWelcome || wire::get_be(m->payload, 0, 2) != 1) {
                *why = "the first message is not WELCOME 1 (type " + std::to_string(m->type) +
                       ": " + shown(m->payload) + ")";
                return false;
            }
            welcomed = true;
        } else if (m->type == wire::kAgentUp) {
            (*agents)[m->payload.substr(wire::kRecordFixed)] = wire::get_be(m->payload, 0, 8);
        } else if (m->type == wire::kReady) {
            return true;
        } else if (m->type != wire::kNotice) {
            *why = "unexpected message type " + std::to_string(m->type) + " before READY";
            return false;
        }
    }
}

} // namespace soak
