#include "core/output_queue.h"

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

// Standard output's open file is usually shared: with the shell on a
// terminal, with the other writers of a pipe. Its flags are theirs too, so
// it is never made non-blocking; a write goes out only when poll says the
// descriptor is writable, and then at most what such a descriptor is sure
// to take at once. A regular file never blocks and takes everything.
OutputQueue::OutputQueue(int fd) : fd_(fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    regular_file_ = S_ISREG(st.st_mode);
}

OutputQueue::~OutputQueue() {
    drain();
}

void OutputQueue::append(std::string_view bytes) {
    if (bytes.empty() || broken_) return;
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(bytes);
    at_line_start_ = bytes.back() == '\n';
    edges_.update(pending());
}

bool OutputQueue::writable_now() const {
    if (regular_file_) return true; // a write cannot block
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
        // No space, an I/O error, the reader gone: this and all later
        // output is dropped, and the owner reports error() once.
        broken_ = true;
        error_ = errno;
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
    const size_t chunk = regular_file_ ? pending() : kSafeChunk;
    while (!empty() && writable_now())
        if (!write_chunk(chunk)) break;
    if (buf_.empty() && buf_.capacity() > 4 * kHighWater) buf_.shrink_to_fit();
    edges_.update(pending());
}

void OutputQueue::drain() {
    while (!empty()) {
        if (!write_chunk(pending())) {
            if (broken_) return;
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1000);
        }
    }
    edges_.update(pending());
}

void OutputQueue::discard() {
    buf_.clear();
    pos_ = 0;
    edges_.update(pending());
}

} // namespace cliserver
