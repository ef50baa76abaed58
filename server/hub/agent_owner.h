// Which process owns an agent's TCP connection: the pid and uid of the
// process holding the agent's end of a connection the server accepted.
//
// The kernel's socket diagnostics (NETLINK_SOCK_DIAG, an exact lookup by
// the connection's addresses and ports) give the uid and the socket inode
// of that end; the pid is the process with that inode among its /proc/PID/fd
// entries. The scan is bounded (kMaxProcesses processes) and tries first the
// processes that owned earlier agents, since agents reconnect from the same
// process. Either part may be unknown (another network namespace, a process
// we may not inspect, a connection already gone).
//
// Threading: an AgentOwnerLookup is owned by one thread (the server's loop);
// its calls make blocking but local, bounded system calls, and it keeps a
// short list of recent pids. Separate instances share nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cliserver {

struct SocketOwner {
    std::optional<uid_t> uid;
    unsigned long inode = 0; // 0 when unknown
};

class AgentOwnerLookup {
  public:
    static constexpr size_t kMaxProcesses = 65536;
    static constexpr size_t kRecentPids = 32;

    // accepted_fd: the server's end of an accepted TCP connection (IPv4 or
    // IPv6). The uid and socket inode: one netlink round trip, no /proc walk.
    SocketOwner socket_owner(int accepted_fd);
    // For many sockets at once: which process holds each inode, found in
    // one pass over /proc (the recent processes first).
    std::unordered_map<unsigned long, pid_t> pids_holding(const std::vector<unsigned long> &inodes);

  private:
    // Moves the inodes pid holds from wanted to found; true when it held any.
    static bool collect(pid_t pid, std::unordered_set<unsigned long> &wanted,
                        std::unordered_map<unsigned long, pid_t> &found);
    void remember(pid_t pid);

    std::vector<pid_t> recent_;
};

} // namespace cliserver
