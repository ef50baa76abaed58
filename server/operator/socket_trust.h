// Whom a client of the resident server trusts before it sends a byte: a
// socket only in a directory of root's or its own that nobody else may
// write (distrusted_socket_dir), and a daemon only when the peer's
// credentials are root's, its own, or those of the socket's owner in a
// directory only root can write (trusted_daemon).
//
// Threading: plain functions, no shared state.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace cliserver {

// Why a client of uid self must not trust a socket at path, in one line, or
// nullopt; nothing at the path is nothing to distrust.
std::optional<std::string> distrusted_socket_dir(const std::string &path, uid_t self);
// Whether the daemon whose peer credentials say uid peer may serve a client
// of uid self at path.
bool trusted_daemon(uid_t peer, uid_t self, const std::string &path);

} // namespace cliserver
