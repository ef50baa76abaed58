// Where the resident server's operator socket lives, for the daemon that
// listens there and the clients that look for it.
//
// The path: --socket PATH, else $CLI_SERVER_SOCKET, else
// /run/cli-server/cli-server.sock for root, else
// $XDG_RUNTIME_DIR/cli-server.sock, else /tmp/cli-server-UID/cli-server.sock.
//
// Threading: plain functions, no shared state; they read the environment.
#pragma once

#include <sys/types.h>

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

// The directory a socket path names its socket in ("." for a bare name).
std::string socket_dir(const std::string &path);

} // namespace cliserver
