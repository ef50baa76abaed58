// Where the daemon's operator socket lives, and creating it safely.
//
// The path: --socket PATH, else $CLI_SERVER_SOCKET, else
// /run/cli-server/cli-server.sock for root, else
// $XDG_RUNTIME_DIR/cli-server.sock, else /tmp/cli-server-UID/cli-server.sock.
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
// A client trusts a socket only in a directory of root's or its own that
// nobody else may write (distrusted_socket_dir), and a daemon only when the
// peer's credentials are root's, its own, or those of the socket's owner in
// a directory only root can write (trusted_daemon); it checks both before
// it sends a byte.
//
// Threading: plain functions, no shared state; they read the environment
// and listen_operator_socket() sets the umask for the moment of bind(), so
// call them at start-up before other threads may run.
#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace cliserver {

inline constexpr const char *kSocketEnv = "CLI_SERVER_SOCKET";

// The default for a user, without --socket or the environment override.
// xdg_runtime_dir may be null or empty.
std::string default_socket_path(uid_t uid, const char *xdg_runtime_dir);

// The path to use: from_option (--socket) when not empty, else the
// environment override, else the default for the effective user.
std::string choose_socket_path(const std::string &from_option);

// Where a client looks for a resident server, in order: the chosen path;
// and when nothing chose it, after the user's own default, the system's
// (/run/cli-server/), so the members of a system daemon's --group find it
// without configuration.
std::vector<std::string> client_socket_paths(const std::string &from_option);

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

// Why a client of uid self must not trust a socket at path, in one line, or
// nullopt; nothing at the path is nothing to distrust.
std::optional<std::string> distrusted_socket_dir(const std::string &path, uid_t self);
// Whether the daemon whose peer credentials say uid peer may serve a client
// of uid self at path.
bool trusted_daemon(uid_t peer, uid_t self, const std::string &path);

// The group named by --group NAME (or a numeric gid), or nullopt.
std::optional<gid_t> lookup_group(const std::string &name);

} // namespace cliserver
