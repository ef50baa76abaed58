// The one way the tests and the soak start a program: pipes or a
// pseudo-terminal, reads with deadlines, and a destructor that never leaves
// a child behind. A Process belongs to one thread; several threads may each
// start their own at once (the child does only async-signal-safe work
// before exec).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

inline constexpr ms kTimeout = 10000ms;

struct SpawnOptions {
    std::vector<std::string> env;       // extra NAME=VALUE entries
    std::vector<std::string> unset_env; // names left out of the environment
    bool pipe_stdin = false;            // else /dev/null
    bool pipe_stdout = true;            // else /dev/null
    bool pipe_stderr = true;            // else /dev/null, or stderr_file
    std::string stderr_file;            // appended to when stderr is not piped (a daemon's journal)
    bool stdout_to_stderr = false;      // stdout goes where stderr goes (one log of both)
    bool pty = false;                   // run on a pseudo-terminal (all three streams)
    unsigned long max_files = 0;        // soft descriptor limit of the child, if not 0
    bool max_files_hard = false;        // max_files is the hard limit too (it cannot raise it)
    int stdout_fd = -1;                 // the child's stdout shares this open file (else as above)
    // The child's credentials, set before exec (needs root): its groups are
    // dropped, then the gid and the uid are set.
    std::optional<gid_t> gid;
    std::optional<uid_t> uid;
    std::vector<gid_t> groups; // supplementary groups, with gid (else none)
};

class Process {
  public:
    Process(const std::vector<std::string> &argv, const SpawnOptions &opts = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // False when the fork (or a pipe) failed; an exec that fails is exit 127.
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int in() const { return in_; }
    int out() const { return out_; }
    int err() const { return err_; }

    bool write_in(const std::string &bytes);
    void close_in();
    // Exit status (128 + signal when killed), or nullopt on time-out.
    std::optional<int> wait(ms timeout = kTimeout);
    void kill(int sig);

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::optional<int> status_;
};

// Reads fd until it contains `needle` (searched from the start of *buffer),
// appending what arrives to *buffer. False on time-out or end of stream.
bool read_until(int fd, const std::string &needle, std::string *buffer, ms timeout = kTimeout);
// Everything until end of stream; nullopt if it does not end in time.
std::optional<std::string> read_all(int fd, ms timeout = kTimeout);
// Terminal output without colour and cursor sequences, bells or carriage returns.
std::string strip_terminal(const std::string &raw);

// Raises this process's soft descriptor limit to `wanted`, or as far as the
// hard limit lets it: true when it reaches wanted (a test of many
// connections needs one descriptor for each).
bool raise_own_descriptor_limit(unsigned long wanted);

} // namespace clitest
