// The physical limit: plain loopback TCP between two pinned threads, with
// TCP_NODELAY and one write per message, shaped like the agent's traffic.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace bench {

// Sizes of the agent's smallest exchange: a COMMAND frame with a four-byte
// command line, answered by a DONE frame.
inline constexpr size_t kRequestBytes = 24;
inline constexpr size_t kReplyBytes = 20;
inline constexpr size_t kStreamWrite = 64 * 1024;

// The serving end: accepts connections one after another on the serving
// CPU and answers each request until the client closes.
class RawPeer {
  public:
    RawPeer();
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    uint16_t port() const { return port_; }
    ThreadCpuClock cpu_clock() { return ThreadCpuClock::of(thread_.native_handle()); }

  private:
    void serve();

    UniqueFd listen_;
    uint16_t port_ = 0;
    std::thread thread_;
};

// The client end of one raw connection.
class RawClient {
  public:
    explicit RawClient(uint16_t port);

    // One 24-byte request and its 20-byte reply; nanoseconds.
    uint64_t round_trip();
    // Asks for `bytes` bytes, written as 64 KiB pieces, and reads them all;
    // nanoseconds from the request to the last byte.
    uint64_t stream(uint64_t bytes, std::vector<char> &buf);

  private:
    UniqueFd fd_;
};

} // namespace bench
