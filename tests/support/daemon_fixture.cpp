#include "daemon_fixture.h"

#include "deadline_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace clitest {

using clock = Clock;

namespace {

bool has_line(const std::string &datagram, const std::string &word) {
    std::istringstream lines(datagram);
    for (std::string line; std::getline(lines, line);)
        if (line == word) return true;
    return false;
}

std::atomic<int> g_notify_serial{0};

} // namespace

// ---------------------------------------------------------------- NotifySocket

NotifySocket::NotifySocket(std::string path) : path_(std::move(path)) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    const bool fits = unix_address(path_, addr);
    if (fd_ < 0 || !fits || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    unlink(path_.c_str());
}

bool NotifySocket::wait_for(const std::string &word, ms timeout, int exit_fd) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        for (const auto &d : seen_)
            if (has_line(d, word)) return true;
        if (fd_ < 0) return false;
        pollfd p[2] = {{fd_, POLLIN, 0}, {exit_fd, POLLIN, 0}};
        const int rc = poll(p, exit_fd >= 0 ? 2 : 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        if (!(p[0].revents & POLLIN)) return false; // the process ended first
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0) seen_.emplace_back(buf, static_cast<size_t>(n));
    }
}

// ---------------------------------------------------------------- Daemon

Daemon::Daemon() : Daemon(std::make_unique<TempDir>(), "", {}, {}, 0) {}

Daemon::Daemon(const std::string &dir, std::vector<std::string> extra,
               std::vector<std::string> launcher, unsigned long max_files)
    : Daemon(nullptr, dir, std::move(extra), std::move(launcher), max_files) {}

Daemon::Daemon(std::unique_ptr<TempDir> own, const std::string &dir, std::vector<std::string> extra,
               std::vector<std::string> launcher, unsigned long max_files)
    : own_dir_(std::move(own)), dir_(own_dir_ ? own_dir_->path() : dir),
      notify_(dir_ + "/notify-" + std::to_string(++g_notify_serial)),
      socket_(dir_ + "/run/cli.sock"), journal_file_(own_dir_ ? dir_ + "/journal" : "") {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {CLI_SERVER_PATH, "--daemon", "--socket", socket_});
    argv.insert(argv.end(), extra.begin(), extra.end());
    SpawnOptions o;
    o.pipe_stdout = false;
    o.pipe_stderr = journal_file_.empty();
    o.stderr_file = journal_file_;
    o.env = {"NOTIFY_SOCKET=" + notify_.path()};
    o.max_files = max_files;
    o.max_files_hard = true;
    process_ = std::make_unique<Process>(argv, o);
    await_ready();
}

// READY=1 comes once both the agents' port and the socket listen; a daemon
// that fails exits instead, which its pidfd shows.
void Daemon::await_ready() {
    const int exited = static_cast<int>(syscall(SYS_pidfd_open, process_->pid(), 0));
    ready_ = notify_.wait_for("READY=1", kTimeout, exited);
    if (exited >= 0) close(exited);
    if (ready_) return;
    if (auto st = process_->wait(0ms))
        error_ = "the resident server exited with status " + std::to_string(*st) +
                 " before it was ready:\n" + journal();
    else
        error_ = "the resident server did not report READY=1 in time:\n" + journal();
}

Daemon::~Daemon() {
    if (process_) process_->kill(SIGKILL);
}

bool Daemon::journal_until(const std::string &needle, ms timeout) {
    return read_until(process_->err(), needle, &journal_, timeout);
}

std::string Daemon::journal() const {
    if (journal_file_.empty()) return journal_;
    std::ifstream in(journal_file_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<int> Daemon::stop(int sig, ms timeout) {
    process_->kill(sig);
    auto status = process_->wait(timeout);
    if (process_->err() >= 0)
        if (auto rest = read_all(process_->err(), timeout)) journal_ += *rest;
    return status;
}

long Daemon::rss_kib() const {
    std::ifstream in("/proc/" + std::to_string(process_->pid()) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

} // namespace clitest
