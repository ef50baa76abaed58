// Who may talk to the daemon: on every accepted Unix connection the daemon
// reads the peer's credentials (SO_PEERCRED) and admits root, its own user
// and, with --group, members of that group: the peer's primary gid, or any
// group getgrouplist() gives for its user name. Anybody else gets the
// one-line reason from refusal() and is closed.
//
// Threading: an OperatorAccess is immutable after construction and safe to
// share between threads. refusal() looks users up through NSS (core/users.h).
#pragma once

#include "core/users.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace cliserver {

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

} // namespace cliserver
