#include "resident_daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace servertest {

namespace {

// The datagram socket systemd would listen on for sd_notify().
int bind_notify_socket(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof addr.sun_path) {
        if (fd >= 0) close(fd);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ResidentDaemon::ResidentDaemon() {
    char templ[] = "/tmp/cli_server_daemon_XXXXXX";
    if (!mkdtemp(templ)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = templ;
    socket_ = dir_ + "/operators.sock";
    journal_ = dir_ + "/journal";
    const std::string notify_path = dir_ + "/notify";
    int notify = bind_notify_socket(notify_path);
    if (notify < 0) {
        error_ = "cannot bind the notify socket " + notify_path;
        return;
    }
    SpawnOptions o;
    o.pipe_stdout = false;
    o.pipe_stderr = false;
    o.stderr_file = journal_;
    o.env = {"NOTIFY_SOCKET=" + notify_path};
    proc_ = std::make_unique<Process>(
        std::vector<std::string>{CLI_SERVER_PATH, "--daemon", "--socket", socket_}, o);

    // READY=1 comes once both the agents' port and the socket listen; a
    // daemon that fails exits instead, which its pidfd shows.
    int exited = static_cast<int>(syscall(SYS_pidfd_open, proc_->pid(), 0));
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    for (;;) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        pollfd p[2] = {{notify, POLLIN, 0}, {exited, POLLIN, 0}};
        if (left.count() <= 0 ||
            poll(p, exited >= 0 ? 2 : 1, static_cast<int>(left.count())) <= 0) {
            error_ = "the resident server did not report READY=1 in time:\n" + journal();
            break;
        }
        if (p[0].revents & POLLIN) {
            char buf[4096];
            ssize_t n = recv(notify, buf, sizeof buf, 0);
            std::istringstream lines(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
            bool ready = false;
            for (std::string line; std::getline(lines, line);)
                ready = ready || line == "READY=1";
            if (ready) break;
        } else if (auto st = proc_->wait(0ms)) {
            error_ = "the resident server exited with status " + std::to_string(*st) +
                     " before it was ready:\n" + journal();
            break;
        }
    }
    if (exited >= 0) close(exited);
    close(notify);
}

ResidentDaemon::~ResidentDaemon() {
    proc_.reset(); // kills it if it still runs
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

std::string ResidentDaemon::journal() const {
    std::ifstream in(journal_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<int> ResidentDaemon::stop() {
    if (!proc_) return std::nullopt;
    proc_->kill(SIGTERM);
    return proc_->wait();
}

} // namespace servertest
