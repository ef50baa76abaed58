// The tests' few low-level waits, written once: how long is left of a
// deadline, waiting for a descriptor to become readable, and a Unix stream
// socket's address and connection.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace clitest {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, as poll() takes them; 0 once it passed.
inline int remaining_ms(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// True once fd has data or its end of stream waiting; false at the deadline
// (or on a poll error other than an interruption).
inline bool wait_readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

// The address of the Unix socket at path; false if the path does not fit.
inline bool unix_address(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A stream socket connected to the Unix socket at path, or -1 with errno
// saying why (ENAMETOOLONG for a path that does not fit).
inline int connect_unix(const std::string &path) {
    sockaddr_un addr{};
    if (!unix_address(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace clitest
