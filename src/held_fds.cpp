#include "held_fds.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "test_hooks.h"
#include "thread_safety.h"

namespace cli_internal {

#ifdef CLI_AGENT_TEST_HOOKS
constinit std::atomic<hook_function> g_test_hook{nullptr};
#endif

namespace {

// The connection and one lookup descriptor at a time are all the library
// ever holds; the spare slots cover a lookup of a second thread (the trust
// tests call it directly).
constexpr size_t kSlots = 8;

// A leaf lock: nothing else is taken while it is held, and it is held
// only across socket(2), open(2) of a /proc file and close(2), none of
// which waits for a peer.
constinit annotated_mutex fd_lock;
constinit std::array<int, kSlots> held GUARDED_BY(fd_lock){-1, -1, -1, -1, -1, -1, -1, -1};

// Records fd in a free slot; closes it and fails when there is none.
int record(int fd) REQUIRES(fd_lock) {
    if (fd < 0) return -1;
    for (int &slot : held)
        if (slot == -1) {
            slot = fd;
            return fd;
        }
    close(fd);
    errno = EMFILE;
    return -1;
}

} // namespace

int held_socket(int domain, int type, int protocol) {
    mutex_guard guard(fd_lock);
    return record(socket(domain, type | SOCK_CLOEXEC, protocol));
}

int held_open(const char *path, int flags) {
    mutex_guard guard(fd_lock);
    return record(open(path, flags | O_CLOEXEC));
}

void held_close(int fd) {
    if (fd < 0) return;
    mutex_guard guard(fd_lock);
    for (int &slot : held)
        if (slot == fd) slot = -1;
    close(fd);
}

void held_fds_prepare_fork() NO_THREAD_SAFETY_ANALYSIS {
    fd_lock.lock();
}

void held_fds_parent_after_fork() NO_THREAD_SAFETY_ANALYSIS {
    fd_lock.unlock();
}

void held_fds_child_after_fork() NO_THREAD_SAFETY_ANALYSIS {
    for (int &slot : held)
        if (slot != -1) {
            close(slot);
            slot = -1;
        }
    fd_lock.unlock();
}

} // namespace cli_internal
