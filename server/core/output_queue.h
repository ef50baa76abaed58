// Output towards standard output that never blocks the event loop for long.
// Bytes are queued and written only as fast as the descriptor takes them;
// the caller reads the queue's size to stop reading the agent that feeds it
// (backpressure), so a slow consumer costs memory only up to a bound; the
// queue keeps the crossings of its mark for the owner to report
// (high_water.h).
#pragma once

#include "core/high_water.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace cliserver {

class OutputQueue {
  public:
    // Above this many queued bytes the producing agent is no longer read.
    static constexpr size_t kHighWater = 1u << 20;

    explicit OutputQueue(int fd);
    ~OutputQueue();
    OutputQueue(const OutputQueue &) = delete;
    OutputQueue &operator=(const OutputQueue &) = delete;

    void append(std::string_view bytes);
    // Writes what the descriptor accepts without blocking.
    void write_available();
    // Writes everything, blocking as long as necessary.
    void drain();
    void discard();

    int fd() const { return fd_; }
    bool empty() const { return pending() == 0; }
    size_t pending() const { return buf_.size() - pos_; }
    bool over_high_water() const { return pending() >= kHighWater; }
    // Whether the high-water mark was crossed, either way, since the last call.
    bool take_congestion_edge() { return edges_.take(); }
    // Whether the last byte ever handed to the descriptor or queued was a newline.
    bool at_line_start() const { return at_line_start_; }
    // A write failed (ENOSPC, EIO, EPIPE, ...): nothing more is written;
    // error() is its errno.
    bool broken() const { return broken_; }
    int error() const { return error_; }

  private:
    bool writable_now() const;
    bool write_chunk(size_t max);

    int fd_;
    bool regular_file_ = false;

    bool broken_ = false;
    int error_ = 0;
    bool at_line_start_ = true;
    std::string buf_;
    size_t pos_ = 0;
    HighWaterEdges edges_{kHighWater};
};

} // namespace cliserver
