// The daemon's listening operator socket, created safely and removed at
// shutdown; its path is chosen in core/socket_path.h.
//
// listen_operator_socket() binds a Unix stream socket there, born with mode
// 0600 (0660 and given to the group with --group) by the umask at bind, so
// no chmod() follows. A missing directory is created 0700 (0750 and the
// group's). A directory that exists is left as it is, but it must belong to
// us or root and be writable by nobody else, so nobody else decides what
// lives in it; it is checked and used through a descriptor opened without
// following a symlink. A socket file nobody answers on is stale and
// replaced; one that answers belongs to a running daemon and is an error.
// The peer check on accept (access.h) is the authority either way.
//
// Threading: plain functions, no shared state; listen_operator_socket()
// sets the umask for the moment of bind(), so call it at start-up before
// other threads may run.
#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace cliserver {

struct SocketAccess {
    std::optional<gid_t> group; // --group: the socket is shared with it
};

// Returns the listening socket (non-blocking, close-on-exec), or an invalid
// fd with *error (never null) saying what went wrong in one line.
cli_shared::UniqueFd listen_operator_socket(const std::string &path, const SocketAccess &access,
                                            std::string *error);

// Removes the socket file at shutdown: the socket at the path listen_fd
// was bound to (a second daemon never replaces a socket that answers).
void remove_operator_socket(const std::string &path, int listen_fd);

} // namespace cliserver
