// The write queue and read loop of a non-blocking connection (byte_stream.h).
#include "core/byte_stream.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace cliserver {

namespace {

// A queue written this far is compacted, so a client that reads slowly
// does not keep megabytes already sent.
constexpr size_t kCompactAfter = 1u << 20;

} // namespace

ByteStream::~ByteStream() {
    unwatch();
}

void ByteStream::watch(EventLoop &loop, bool reading, EventLoop::Handler handler) {
    loop_ = &loop;
    reading_ = reading;
    uint32_t ev = reading ? uint32_t{EPOLLIN} : 0u;
    if (pending() > 0) ev |= EPOLLOUT;
    loop.watch(fd_.get(), ev, std::move(handler));
}

void ByteStream::unwatch() {
    if (!loop_) return;
    loop_->unwatch(fd_.get());
    loop_ = nullptr;
}

void ByteStream::close() {
    unwatch();
    fd_.reset();
    std::string().swap(out_);
    out_pos_ = 0;
    edges_.update(pending());
}

void ByteStream::close_forgetting() {
    if (loop_) loop_->forget(fd_.get());
    loop_ = nullptr;
    close();
}

void ByteStream::set_reading(bool reading) {
    reading_ = reading;
    update_interest();
}

void ByteStream::update_interest() {
    if (!loop_) return;
    uint32_t ev = reading_ ? uint32_t{EPOLLIN} : 0u;
    if (pending() > 0) ev |= EPOLLOUT;
    loop_->set_interest(fd_.get(), ev);
}

ByteStream::ReadEnd ByteStream::read_available(int rounds, const Sink &sink) {
    char chunk[kReadChunk];
    for (int round = 0; round < rounds; ++round) {
        const ssize_t n = read(fd_.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadEnd::kDrained;
            error_ = errno;
            return ReadEnd::kFailed;
        }
        if (n == 0) return ReadEnd::kClosed;
        if (!sink(chunk, static_cast<size_t>(n))) return ReadEnd::kStopped;
        if (static_cast<size_t>(n) < sizeof chunk) return ReadEnd::kDrained;
    }
    return ReadEnd::kStopped;
}

ssize_t ByteStream::send_some(const char *data, size_t n) {
    for (;;) {
        const ssize_t w = ::send(fd_.get(), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w > 0) last_write_ = std::chrono::steady_clock::now();
        return w;
    }
}

// The common case, an empty queue and a socket with room, costs one system
// call and neither a copy nor an allocation; EPOLLOUT is asked for only
// when bytes are left waiting.
bool ByteStream::send(std::string_view bytes) {
    if (pending() > 0 || bytes.empty()) {
        queue(bytes);
        return true;
    }
    const ssize_t w = send_some(bytes.data(), bytes.size());
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        error_ = errno;
        return false;
    }
    const size_t sent = w > 0 ? static_cast<size_t>(w) : 0;
    if (sent == bytes.size()) return true;
    queue(bytes.substr(sent));
    update_interest();
    return true;
}

bool ByteStream::write_available() {
    while (out_pos_ < out_.size()) {
        const ssize_t w = send_some(out_.data() + out_pos_, out_.size() - out_pos_);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            error_ = errno;
            return false;
        }
        out_pos_ += static_cast<size_t>(w);
    }
    release_written();
    edges_.update(pending());
    update_interest();
    return true;
}

void ByteStream::release_written() {
    if (out_pos_ == out_.size()) {
        std::string().swap(out_); // drained: give the memory back
        out_pos_ = 0;
    } else if (out_pos_ > kCompactAfter && out_pos_ * 2 > out_.size()) {
        out_.erase(0, out_pos_);
        out_pos_ = 0;
    }
}

bool ByteStream::drain_for(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_.valid() && pending() > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ms = static_cast<int>(std::max<int64_t>(0, left.count()));
        pollfd p{fd_.get(), POLLOUT, 0};
        if (ms == 0 || poll(&p, 1, ms) <= 0) return true;
        if (!write_available()) return false;
    }
    return true;
}

} // namespace cliserver
