// An owned descriptor for the set-up paths of the library's sockets and
// files: closed unless released, so no failure path leaks one.
#pragma once

#include <unistd.h>

#include <utility>

namespace cli_internal {

// Closes the descriptor it holds unless released; keeps the failure paths
// of socket set-up free of leaks.
class fd_guard {
  public:
    explicit fd_guard(int fd) : fd_(fd) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

} // namespace cli_internal
