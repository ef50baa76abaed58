// The one resident cli-server (`--daemon`) of the tests: started with its
// readiness awaited through NOTIFY_SOCKET, its journal readable, stopped by
// a signal. The server's end-to-end tests, run through it, and the resident
// server's own tests use it; the soak starts its daemon by hand, as an
// operator would. Single-threaded: a Daemon belongs to the test that made it.
#pragma once

#include "process.h"
#include "temp_dir.h"

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

// A Unix datagram socket standing in for the service manager's.
class NotifySocket {
  public:
    explicit NotifySocket(std::string path);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    const std::string &path() const { return path_; }
    // True once a datagram carrying `word` (READY=1, STOPPING=1) arrives;
    // false at the time-out, or as soon as exit_fd (a pidfd) is readable.
    bool wait_for(const std::string &word, ms timeout = kTimeout, int exit_fd = -1);

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> seen_;
};

// cli-server --daemon with its socket at DIR/run/cli.sock (the directory is
// the daemon's to create) and its readiness reported to a socket of ours.
class Daemon {
  public:
    // In a temporary directory of its own, gone with it. Its journal goes to
    // a file there, not a pipe: a daemon that serves a whole test unread
    // would stall on a full pipe.
    Daemon();
    // In dir, its journal a pipe read by journal_until and stop.
    // launcher: a command that runs the daemon (e.g. prlimit with options).
    // max_files: the daemon's descriptor limit, soft and hard, if not 0.
    explicit Daemon(const std::string &dir, std::vector<std::string> extra = {},
                    std::vector<std::string> launcher = {}, unsigned long max_files = 0);
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // READY=1 arrived in time; else error() says what went wrong.
    bool ready() const { return ready_; }
    const std::string &error() const { return error_; }
    const std::string &socket() const { return socket_; }
    pid_t pid() const { return process_->pid(); }
    NotifySocket &notify() { return notify_; }
    Process &process() { return *process_; }

    // Reads the journal (standard error) until it contains needle; the
    // piped journal only.
    bool journal_until(const std::string &needle, ms timeout = kTimeout);
    // Everything the daemon journalled so far (as read so far, when piped).
    std::string journal() const;
    // Sends sig, waits for the exit and reads the rest of the journal.
    std::optional<int> stop(int sig = SIGTERM, ms timeout = kTimeout);
    // Resident set size from /proc, in KiB; 0 if it cannot be read.
    long rss_kib() const;

  private:
    Daemon(std::unique_ptr<TempDir> own, const std::string &dir, std::vector<std::string> extra,
           std::vector<std::string> launcher, unsigned long max_files);
    void await_ready();

    std::unique_ptr<TempDir> own_dir_; // first, so it goes last
    std::string dir_;
    NotifySocket notify_;
    std::string socket_;
    std::string journal_file_; // empty: the journal is piped
    std::unique_ptr<Process> process_;
    std::string journal_;
    bool ready_ = false;
    std::string error_;
};

} // namespace clitest
