// Where the daemon's operator socket lives, and creating it safely.
//
// The path: --socket PATH, else $CLI_SERVER_SOCKET, else
// /run/cli-server/cli-server.sock for root, else
// $XDG_RUNTIME_DIR/cli-server.sock, else /tmp/cli-server-UID/cli-server.sock.
//
// listen_operator_socket() binds a Unix stream socket there with mode 0600
// (0660 and owned by the group with --group), creating a missing directory
// 0700 (0750 and the group's). A directory that exists is left as it is but
// must belong to us or root, so nobody else decides what lives in it. A
// socket file nobody answers on is stale and replaced; one that answers
// belongs to a running daemon and is an error. The socket mode is set right
// after bind(); the peer check on accept (access.h) is the authority either
// way, so that short window admits nobody.
//
// Threading: plain functions, no shared state; they read the environment,
// so call them at start-up before other threads may change it.
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
UniqueFd listen_operator_socket(const std::string &path, const SocketAccess &access,
                                std::string *error);

// Removes the socket file at shutdown: the socket at the path listen_fd
// was bound to (a second daemon never replaces a socket that answers).
void remove_operator_socket(const std::string &path, int listen_fd);

// The group named by --group NAME (or a numeric gid), or nullopt.
std::optional<gid_t> lookup_group(const std::string &name);

} // namespace cliserver
