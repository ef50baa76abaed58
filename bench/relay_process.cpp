#include "relay_process.h"

#include "bench_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace bench {
namespace {

// Closes every descriptor the child inherited but these three, so that it
// keeps no other subject's pipe or socket open.
void close_all_but(std::array<int, 3> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned first = 3;
    for (int fd : keep) {
        if (static_cast<unsigned>(fd) > first) close_range(first, static_cast<unsigned>(fd) - 1, 0);
        first = static_cast<unsigned>(fd) + 1;
    }
    close_range(first, ~0u, 0);
}

// Runs in the forked child: only system calls and a static buffer, since
// the parent may have had other threads at the fork. Ends when either side
// does.
[[noreturn]] void relay(int lines, int socket, int answers) {
    close_all_but({lines, socket, answers});
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) _exit(1);
    for (int fd : {lines, socket}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) _exit(1);
    }
    static std::array<char, 64 * 1024> buf;
    for (;;) {
        std::array<epoll_event, 2> events{};
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) _exit(1);
        for (int i = 0; i < n; ++i) {
            const int from = events[static_cast<size_t>(i)].data.fd;
            const ssize_t got = read(from, buf.data(), buf.size());
            if (got <= 0) _exit(0);
            const bool to_socket = from == lines;
            if (!write_all(to_socket ? socket : answers, buf.data(), static_cast<size_t>(got),
                           to_socket ? Stream::kSocket : Stream::kPipe))
                _exit(0);
        }
    }
}

} // namespace

RelayProcess::RelayProcess(int socket) {
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) fail("pipe");
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        close(to[1]);
        close(from[0]);
        relay(to[0], socket, from[1]);
    }
    close(to[0]);
    close(from[1]);
    in_ = to[1];
    out_ = from[0];
}

RelayProcess::~RelayProcess() {
    close(in_);
    close(out_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace bench
