// Who may talk to the daemon, and whose agents it accepts.
//
// Operators: on every accepted Unix connection the daemon reads the peer's
// credentials (SO_PEERCRED) and admits root, its own user and, with
// --group, members of that group: the peer's primary gid, or any group
// getgrouplist() gives for its user name. Anybody else gets the one-line
// reason from refusal() and is closed.
//
// Agents: --agent-users LIST (comma-separated names or uids) limits the
// agents accepted to processes owned by those users; root and the server's
// own user are always accepted. Without the option every owner is.
//
// Threading: OperatorAccess and AgentUsers are immutable after construction
// and safe to share between threads. refusal() looks users up through NSS
// (getpwuid_r, getgrouplist), which reads /etc/passwd and /etc/group here
// but may block on a network directory elsewhere.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace cliserver {

struct PeerCred {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials of the process at the other end of a Unix socket.
std::optional<PeerCred> peer_credentials(int fd);

// The user name of uid, or its number as text when it has none.
std::string user_name(uid_t uid);

// True when uid's user has gid as a primary or supplementary group.
bool user_in_group(uid_t uid, gid_t gid);

class OperatorAccess {
  public:
    OperatorAccess(uid_t server_uid, std::optional<gid_t> group)
        : server_uid_(server_uid), group_(group) {}
    // nullopt admits the peer; otherwise the line to send before closing.
    std::optional<std::string> refusal(const PeerCred &peer) const;

  private:
    uid_t server_uid_;
    std::optional<gid_t> group_;
};

class AgentUsers {
  public:
    // Everybody's agents, the default.
    AgentUsers() = default;
    // Parses --agent-users; on failure returns nullopt and *error names the
    // entry that is neither a user name nor a uid.
    static std::optional<AgentUsers> parse(const std::string &list, std::string *error);

    bool accepts(uid_t owner, uid_t server_uid) const;
    bool restricted() const { return restricted_; }

  private:
    bool restricted_ = false;
    std::vector<uid_t> uids_;
};

} // namespace cliserver
