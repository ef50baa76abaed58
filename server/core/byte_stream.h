// One non-blocking connection on the event loop: its write queue and its
// read loop, written once for the agents' sockets, the resident server's
// clients and the client's link to the resident server.
//
// Writing queues bytes and sends what the socket takes; what it does not
// take waits, and the stream asks the loop for EPOLLOUT until it is gone.
// Reading hands each chunk read to the owner, which decodes it and says
// whether to go on. Interest follows the owner's wish to read (off under
// backpressure) and whether bytes wait to be written. A stream given a
// high-water mark keeps the crossings of it for the owner to report
// (high_water.h).
//
// Costs: an idle stream holds no buffer. The read chunk lives on the stack
// of the read loop, and a drained write queue gives its memory back.
//
// Threading: single-threaded, on the event loop's thread. The owner owns the
// stream and the stream owns the descriptor; the owner's event handler runs
// from the loop, its sink only inside read_available().
#pragma once

#include "core/event_loop.h"
#include "core/high_water.h"
#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace cliserver {

class ByteStream {
  public:
    static constexpr size_t kReadChunk = 64 * 1024;

    // How a read loop ended.
    enum class ReadEnd {
        kDrained, // the socket had nothing more for now
        kStopped, // the owner said stop, or the rounds were used up
        kClosed,  // the peer closed its end
        kFailed,  // read() failed: error() says why
    };
    // Takes one chunk read; false stops the loop (the owner failed it or
    // cannot take more now).
    using Sink = std::function<bool(const char *data, size_t n)>;

    ByteStream() = default;
    explicit ByteStream(cli_shared::UniqueFd fd,
                        size_t high_water = std::numeric_limits<size_t>::max())
        : fd_(std::move(fd)), edges_(high_water) {}
    ~ByteStream();
    ByteStream(const ByteStream &) = delete;
    ByteStream &operator=(const ByteStream &) = delete;

    // Takes a connection in place of the current one (which is closed).
    void reset(cli_shared::UniqueFd fd) {
        close();
        fd_ = std::move(fd);
        error_ = 0;
    }
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    int error() const { return error_; }

    // Starts watching on loop: EPOLLIN while reading, EPOLLOUT while bytes wait.
    void watch(EventLoop &loop, bool reading, EventLoop::Handler handler);
    // The loop forgets the descriptor; the descriptor stays open.
    void unwatch();
    // Stops watching and closes the descriptor; unsent bytes are dropped.
    void close();
    // The same for a descriptor never duplicated, whose close takes it out
    // of the epoll set: one system call instead of two.
    void close_forgetting();
    void set_reading(bool reading);

    // Reads up to `rounds` chunks, each handed to sink; a chunk shorter
    // than kReadChunk took all there was.
    ReadEnd read_available(int rounds, const Sink &sink);

    void queue(std::string_view bytes) {
        out_.append(bytes);
        edges_.update(pending());
    }
    // Sends bytes now, straight from the caller's buffer, when nothing waits
    // before them, and queues what the socket does not take (behind what
    // waits, untried). False when the connection failed (error() says why).
    bool send(std::string_view bytes);
    // Appends to the write queue in place, for encoders that write into a
    // string (then queued(): the mark is checked once, not per encoder).
    std::string &queue_tail() { return out_; }
    void queued() { edges_.update(pending()); }
    // Sends what the socket takes now; false when the connection failed
    // (error() says why). True also when some bytes must wait.
    bool write_available();
    // Blocks until the queue is written, the connection fails (false) or
    // the time is up.
    bool drain_for(std::chrono::milliseconds limit);
    size_t pending() const { return out_.size() - out_pos_; }
    bool over_high_water() const { return edges_.over(); }
    // Whether the high-water mark was crossed, either way, since the last call.
    bool take_congestion_edge() { return edges_.take(); }
    // When write_available() last sent a byte.
    std::chrono::steady_clock::time_point last_write() const { return last_write_; }

  private:
    void update_interest();
    void release_written();
    // One send(); the bytes taken, or -1 with errno set (EAGAIN included).
    ssize_t send_some(const char *data, size_t n);

    cli_shared::UniqueFd fd_;
    EventLoop *loop_ = nullptr; // while watched
    bool reading_ = true;
    int error_ = 0;
    std::string out_;
    size_t out_pos_ = 0;
    std::chrono::steady_clock::time_point last_write_{};
    HighWaterEdges edges_{std::numeric_limits<size_t>::max()};
};

} // namespace cliserver
