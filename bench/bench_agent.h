// The subject: the agent library in this process, driven from its server
// side by the benchmark on 127.0.0.1:7002.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_util.h"

namespace bench {

// Where the agent thread's stack went while one command filled its print
// buffer and used every output path.
struct StackUse {
    size_t stack_size = 0;    // the agent thread's whole stack
    size_t above_handler = 0; // from the stack top down to the handler's frame
    size_t below_handler = 0; // deepest point the library reached below it
    size_t peak() const { return above_handler + below_handler; }
    bool window_exhausted = false; // the library went past the painted window
};

class AgentServer {
  public:
    AgentServer();

    // Registers the benchmark's commands, starts the agent so that its thread
    // runs on the serving CPU, and completes the handshake.
    void start_agent();
    // The CPU the agent thread runs its commands on (asked once, by command).
    int agent_cpu();
    ThreadCpuClock cpu_clock();

    // One command line, COMMAND to DONE, in nanoseconds; OUTPUT payload bytes
    // are counted into *output_bytes when given.
    uint64_t run(const std::string &line, uint64_t *output_bytes = nullptr);

    StackUse measure_stack();
    // Heap allocations made on the agent thread per command, over `commands`
    // commands that use the immediate, buffered and raw output paths.
    double allocations_per_command(int commands);

    static const char *empty_command() { return "noop"; }
    static const char *line_command() { return "line"; }
    static std::string send_buffer_command(uint64_t mib);
    static std::string print_buffer_command(uint64_t mib);

  private:
    struct Header {
        uint16_t type = 0;
        uint32_t req_id = 0;
        uint32_t len = 0;
    };
    bool next_frame(Header &h);
    bool fill();
    void send_frame(uint16_t type, uint32_t req_id, const std::string &payload);

    UniqueFd listen_;
    UniqueFd conn_;
    std::vector<char> buf_;
    size_t head_ = 0;
    size_t tail_ = 0;
    uint32_t next_req_ = 1;
};

} // namespace bench
