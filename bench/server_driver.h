// cli-server as a child of the benchmark, driven like an operator's script:
// command lines written to its standard input, output read from its
// standard output, one command at a time.
//
// Threading: one thread per driver.
#pragma once

#include "agent_swarm.h"
#include "bench_util.h"

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// A child with its standard input and output on pipes of ours (or all three
// on /dev/null); killed with SIGTERM and reaped when destroyed.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;

    Child(const std::vector<std::string> &argv, bool pipes);
    // Standard input and output on `stdio` (a socket), standard error ours.
    Child(const std::vector<std::string> &argv, int stdio);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Waits for the child to exit (once its output has ended) and reaps it:
    // its exit status (-1 if a signal ended it), and in *cpu_ns the CPU time
    // it used in all, read while it is a zombie so that none of it is missed.
    int wait_exit(uint64_t *cpu_ns);

  private:
    void spawn(const std::vector<std::string> &argv, posix_spawn_file_actions_t &fa);
};

// A free loopback port now (the server binds it a moment later).
uint16_t free_port();
// Polls until something accepts on 127.0.0.1:port, for at most 10 s; the
// probe connection is reset at once.
void wait_for_port(uint16_t port);
// Nanoseconds every thread of a process has run on a CPU so far (the
// scheduler's own account, kernel time included).
uint64_t process_cpu_ns(pid_t pid);
// A figure of /proc/PID/status in KiB: "VmRSS", "VmHWM".
uint64_t process_status_kib(pid_t pid, const char *field);
// Raises the soft limit on descriptors to the hard one when it is below
// `wanted`; fails the run when the hard limit is below it too.
void raise_descriptor_limit(size_t wanted);
// Polls until a resident server accepts on its socket, for at most 10 s.
void wait_for_socket(const std::string &path);

class Driver {
  public:
    explicit Driver(Child &server) : Driver(server.in, server.out) {}
    // Lines written to `in`, output read from `out`.
    Driver(int in, int out) : in_(in), out_(out) {}

    void send(const std::string &line);
    // Attaches to the agent and waits until the server has done so.
    void attach(const std::string &agent);
    // Reads the server's output until it ends with `tail`; returns it.
    std::string read_until_tail(const std::string &tail);
    // Agents the server lists now.
    size_t listed_agents();
    // Waits until the server has seen every closed connection go.
    void wait_for_agents(size_t n);
    // Reads until `lines` newlines have arrived.
    void read_lines(size_t lines);
    // `echo ping` to the attached agent, from the write of the line to the
    // last byte of its output: nanoseconds.
    uint64_t round_trip();
    void time_commands(Latency &l, size_t warmup, size_t n);

  private:
    void fill();

    int in_, out_;
    std::string buf_;
};

// One side of a round-trip benchmark through a resident server:
// `server --daemon --port P --socket socket_path` plus daemon_extra, its
// echo agent "bench" on P, and one long-lived client (`server --socket
// socket_path --wait 30`, run through client_prefix, e.g. setpriv) attached
// to the agent and ready for round_trip().
struct ResidentSide {
    ResidentSide(const std::string &server, const std::string &socket_path,
                 const std::vector<std::string> &daemon_extra,
                 const std::vector<std::string> &client_prefix = {});

    uint16_t port;
    Child daemon;
    std::unique_ptr<EchoAgent> agent;
    std::unique_ptr<Child> client;
    std::unique_ptr<Driver> driver;
};

} // namespace bench
