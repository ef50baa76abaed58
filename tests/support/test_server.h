// A small CLI server for the tests: listens on loopback, accepts agents and
// speaks the frame protocol with its own encoder and decoder, so that a
// symmetric fault in the library's codec cannot hide. Every read has a
// time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

inline constexpr uint16_t kAgentPort = 7002;
inline constexpr ms kReadTimeout = 5000ms;

struct WireFrame {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t type = 0;
    uint32_t req_id = 0;
    uint32_t agent_id = 0;
    std::string payload;
};

// Encodes a frame exactly as the wire format describes it.
std::string encode_frame(uint16_t type, uint32_t req_id, uint32_t agent_id,
                         const std::string &payload);
// The ACK payload that asks an agent for results, as the wire description
// gives its bytes: "RESULT", a zero byte and the version 1.
inline const std::string kResultCapability("RESULT\x00\x01", 8);
// Hex dump "51 45 4c 4d ..." of bytes, for readable assertion failures.
std::string hex(const std::string &bytes);

// One accepted connection.
class Conn {
  public:
    explicit Conn(int fd = -1) : fd_(fd) {}
    Conn(Conn &&other) noexcept;
    Conn &operator=(Conn &&other) noexcept;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn();

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

    // Exactly n bytes, or nullopt on time-out or end of stream.
    std::optional<std::string> read_bytes(size_t n, ms timeout = kReadTimeout);
    // One frame decoded by the test's own decoder; nullopt on time-out, end
    // of stream or a header that is not a valid frame.
    std::optional<WireFrame> read_frame(ms timeout = kReadTimeout);
    // True when the peer closes (end of stream or reset) within the time-out;
    // frames that arrive first are discarded and counted in *skipped.
    bool wait_closed(ms timeout = kReadTimeout, int *skipped = nullptr);

    bool send_raw(const std::string &bytes);
    bool send_frame(uint16_t type, uint32_t req_id, const std::string &payload = {},
                    uint32_t agent_id = 0);

    // Reads HELLO and answers ACK (with ack_payload); returns the HELLO.
    std::optional<WireFrame> handshake(ms timeout = kReadTimeout,
                                       const std::string &ack_payload = {});

    // Sends a COMMAND and collects every frame up to and including DONE.
    struct Result {
        std::vector<WireFrame> frames; // OUTPUT/PROMPT frames in order, DONE excluded
        bool done = false;
        std::string done_payload;   // DONE's: the result when the ACK asked for results
        std::string output() const; // OUTPUT payloads joined
    };
    Result command(const std::string &line, uint32_t req_id = 1, ms timeout = kReadTimeout);
    // Collects frames of a command already sent, up to DONE.
    Result collect(uint32_t req_id, ms timeout = kReadTimeout);

  private:
    int fd_;
};

// A listening socket on 127.0.0.1:port, or -1. Waits up to three seconds
// while the port is still held by a process of the previous test.
int listen_loopback(uint16_t port);

class TestServer {
  public:
    explicit TestServer(uint16_t port = kAgentPort);
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    bool listening() const { return fd_ >= 0; }
    // Accepts one connection, or an invalid Conn on time-out.
    Conn accept(ms timeout = kReadTimeout);
    void close();

  private:
    int fd_ = -1;
};

} // namespace clitest
