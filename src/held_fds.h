// Every descriptor the library opens for itself (the agent's connection,
// the owner lookup's netlink socket and /proc file) is opened and closed
// through this record, so that a child forked at any moment finds all of
// them and closes its copies: an inherited copy of the agent's connection
// would keep it open after the parent died.
#pragma once

#include <cstddef>

namespace cli_internal {

// socket(2) and open(2) that record the descriptor in the same critical
// section; -1 with errno set on failure, or when the record is full.
int held_socket(int domain, int type, int protocol);
int held_open(const char *path, int flags);
// Closes fd and drops it from the record in one critical section.
void held_close(int fd);

// The fork handlers: the record's lock is held across fork, and the child
// closes every descriptor it inherited through the record.
void held_fds_prepare_fork();
void held_fds_parent_after_fork();
void held_fds_child_after_fork();

// Closes the descriptor it holds (through held_close) unless released.
class held_fd {
  public:
    explicit held_fd(int fd) : fd_(fd) {}
    held_fd(const held_fd &) = delete;
    held_fd &operator=(const held_fd &) = delete;
    ~held_fd() {
        if (fd_ >= 0) held_close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

} // namespace cli_internal
