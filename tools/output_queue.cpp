#include "output_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace cliserver {

namespace {
// A pipe that polls writable takes at least this much without blocking.
constexpr size_t kSafeChunk = 4096;
} // namespace

// A pipe or socket of our own is made non-blocking, so that one write takes
// all the room there is. A terminal is left alone: its open file is shared
// with the shell, which must not find it non-blocking; there we write at
// most what a writable descriptor is sure to take.
OutputQueue::OutputQueue(int fd) : fd_(fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    regular_file_ = S_ISREG(st.st_mode);
    if ((S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) && !isatty(fd)) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
            saved_flags_ = flags;
    }
}

OutputQueue::~OutputQueue() {
    drain();
    if (saved_flags_ >= 0) fcntl(fd_, F_SETFL, saved_flags_);
}

void OutputQueue::append(std::string_view bytes) {
    if (bytes.empty() || broken_) return;
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(bytes);
    at_line_start_ = bytes.back() == '\n';
}

bool OutputQueue::writable_now() const {
    if (regular_file_ || saved_flags_ >= 0) return true; // a write cannot block
    pollfd p{fd_, POLLOUT, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
}

// Returns false when nothing more can be written now.
bool OutputQueue::write_chunk(size_t max) {
    size_t n = pending() < max ? pending() : max;
    ssize_t w = ::write(fd_, buf_.data() + pos_, n);
    if (w < 0) {
        if (errno == EINTR) return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        broken_ = true; // reader gone: drop this and all later output
        discard();
        return false;
    }
    pos_ += static_cast<size_t>(w);
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return true;
}

void OutputQueue::write_available() {
    const size_t chunk = regular_file_ || saved_flags_ >= 0 ? pending() : kSafeChunk;
    while (!empty() && writable_now())
        if (!write_chunk(chunk)) break;
    if (buf_.empty() && buf_.capacity() > 4 * kHighWater) buf_.shrink_to_fit();
}

void OutputQueue::drain() {
    while (!empty()) {
        if (!write_chunk(pending())) {
            if (broken_) return;
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1000);
        }
    }
}

void OutputQueue::discard() {
    buf_.clear();
    pos_ = 0;
}

} // namespace cliserver
