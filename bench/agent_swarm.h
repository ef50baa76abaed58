// Fake agents for the server-scale benchmark: raw sockets speaking just
// enough of the protocol (HELLO, then wait for ACK), no library and no
// thread per agent. Once greeted an agent is idle: its descriptor stays
// open and nothing reads or writes it until it is closed, unless the swarm
// is told to answer commands (the fan-out benchmark).
//
// Threading: one thread drives the swarm; while it answers, one thread of
// its own serves every agent; the flooder has a thread of its own.
#pragma once

#include "bench_util.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class AgentSwarm {
  public:
    explicit AgentSwarm(uint16_t port) : port_(port) {}
    ~AgentSwarm();
    AgentSwarm(const AgentSwarm &) = delete;
    AgentSwarm &operator=(const AgentSwarm &) = delete;
    // Connects n agents named prefix0, prefix1, ... and returns once every
    // one has its ACK: the nanoseconds that took.
    uint64_t connect(size_t n, const std::string &prefix);
    // Resets every connection (no TIME_WAIT left behind, so rounds of
    // thousands of connections do not run out of local ports).
    void close_all();
    size_t size() const { return agents_.size(); }

    // From now on every agent answers each COMMAND at once with one OUTPUT
    // frame of `reply` and the DONE, in one write, as the agent library
    // sends a one-line command's reply: one thread for all of them.
    void start_answering(const std::string &reply);
    void stop_answering();
    // Commands answered since start_answering, and when the first of them
    // arrived (now_ns(); 0 before any).
    uint64_t answered() const { return answered_.load(); }
    uint64_t first_command_ns() const { return first_command_ns_.load(); }

  private:
    void answer(const std::string &reply, int wake_fd);

    uint16_t port_;
    std::vector<UniqueFd> agents_;
    UniqueFd wake_; // an eventfd that stops the answering thread
    std::thread answering_;
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> first_command_ns_{0};
};

// One greeted agent that sends OUTPUT frames of an old request as fast as
// the server reads them (what a long command keeps sending after its
// operator gave up on it), until stopped.
class OutputFlooder {
  public:
    explicit OutputFlooder(uint16_t port);
    ~OutputFlooder();
    OutputFlooder(const OutputFlooder &) = delete;
    OutputFlooder &operator=(const OutputFlooder &) = delete;
    uint64_t bytes_sent() const { return sent_.load(); }

  private:
    void flood();

    UniqueFd fd_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

// One greeted agent on a thread of its own that answers every command line
// `echo WORDS` with WORDS and a newline: one OUTPUT frame and the DONE, in
// one write, as the agent library sends a one-line command's reply.
class EchoAgent {
  public:
    // Connects to 127.0.0.1:port (retrying while nothing listens yet, up to
    // 10 s) as `name` with id 7 and waits for the ACK.
    EchoAgent(uint16_t port, const std::string &name);
    ~EchoAgent();
    EchoAgent(const EchoAgent &) = delete;
    EchoAgent &operator=(const EchoAgent &) = delete;

  private:
    void serve();

    UniqueFd fd_;
    std::thread thread_;
};

} // namespace bench
