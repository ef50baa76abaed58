#include "daemon/operator_socket.h"

#include "core/socket_path.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

namespace {

std::string errno_text(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool fill_address(const std::string &path, sockaddr_un &addr, std::string *error) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) +
                 " bytes: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string mode_text(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::string base_name(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A missing directory is made private; one that exists must be ours or
// root's and writable by nobody else, or someone else could swap the socket
// under us. Everything after mkdir() goes through a descriptor opened
// without following a symlink, so what is checked is what is used.
cli_shared::UniqueFd prepare_dir(const std::string &dir, const SocketAccess &access,
                                 std::string *error) {
    const mode_t mode = access.group ? 0750 : 0700;
    const bool created = mkdir(dir.c_str(), mode) == 0;
    if (!created && errno != EEXIST) {
        *error = errno_text("cannot create the socket directory", dir);
        return {};
    }
    cli_shared::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        *error = errno == ELOOP || errno == ENOTDIR ? "not a directory: " + dir
                                                    : errno_text("cannot open", dir);
        return {};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        *error = errno_text("cannot examine", dir);
        return {};
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        *error = "socket directory " + dir + " belongs to uid " + std::to_string(st.st_uid) +
                 ", not to us";
        return {};
    }
    if (created) {
        if (access.group && fchown(fd.get(), static_cast<uid_t>(-1), *access.group) != 0) {
            *error = errno_text("cannot give the group", dir);
            return {};
        }
        if (fchmod(fd.get(), mode) != 0) { // mkdir's mode is cut by the umask
            *error = errno_text("cannot set the mode of", dir);
            return {};
        }
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = "socket directory " + dir + " is writable by group or others (mode " +
                 mode_text(st.st_mode) + ")";
        return {};
    }
    return fd;
}

enum class Existing { kNone, kStale, kLive, kNotSocket };

Existing probe_existing(int dir_fd, const std::string &name, const sockaddr_un &addr) {
    struct stat st {};
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Existing::kNone;
    if (!S_ISSOCK(st.st_mode)) return Existing::kNotSocket;
    cli_shared::UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return Existing::kLive; // cannot tell: never remove it
    if (connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return Existing::kLive;
    return errno == ECONNREFUSED ? Existing::kStale : Existing::kLive;
}

// The socket is born with its mode (the umask at bind), so there is no
// moment at which it is more open than it will be. Nobody else can write
// the directory, so the name still holds our socket when its group is set,
// and fchownat() without following a symlink could not be led elsewhere
// even if it did not.
bool bind_with_access(int fd, int dir_fd, const std::string &path, const sockaddr_un &addr,
                      const SocketAccess &access, std::string *error) {
    const mode_t old_mask = umask(access.group ? 0117 : 0177);
    const int rc = bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const int err = errno;
    umask(old_mask);
    if (rc != 0) {
        // Two daemons starting at once: the loser sees the winner's file.
        errno = err;
        *error = err == EADDRINUSE ? "another cli-server is already listening on " + path
                                   : errno_text("cannot bind", path);
        return false;
    }
    const std::string name = base_name(path);
    struct stat at_path {
    }, checked{};
    // The directory checked is the one the socket went into.
    if (stat(socket_dir(path).c_str(), &at_path) != 0 || fstat(dir_fd, &checked) != 0 ||
        at_path.st_dev != checked.st_dev || at_path.st_ino != checked.st_ino) {
        *error = "the socket directory of " + path + " was replaced while binding";
        return false;
    }
    if (!access.group) return true;
    struct stat st {};
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode) ||
        fchownat(dir_fd, name.c_str(), static_cast<uid_t>(-1), *access.group,
                 AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno_text("cannot give the group", path);
        unlinkat(dir_fd, name.c_str(), 0);
        return false;
    }
    return true;
}

} // namespace

cli_shared::UniqueFd listen_operator_socket(const std::string &path, const SocketAccess &access,
                                            std::string *error) {
    sockaddr_un addr{};
    if (!fill_address(path, addr, error)) return {};
    cli_shared::UniqueFd dir = prepare_dir(socket_dir(path), access, error);
    if (!dir.valid()) return {};
    const std::string name = base_name(path);
    switch (probe_existing(dir.get(), name, addr)) {
    case Existing::kLive:
        *error = "another cli-server is already listening on " + path;
        return {};
    case Existing::kNotSocket:
        *error = "refusing to replace " + path + ": it exists and is not a socket";
        return {};
    case Existing::kStale:
        if (unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
            *error = errno_text("cannot remove the stale socket", path);
            return {};
        }
        break;
    case Existing::kNone:
        break;
    }
    cli_shared::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = errno_text("cannot create a socket for", path);
        return {};
    }
    if (!bind_with_access(fd.get(), dir.get(), path, addr, access, error)) return {};
    if (listen(fd.get(), SOMAXCONN) != 0) {
        *error = errno_text("cannot listen on", path);
        unlinkat(dir.get(), name.c_str(), 0);
        return {};
    }
    return fd;
}

void remove_operator_socket(const std::string &path, int listen_fd) {
    struct stat on_disk {};
    if (lstat(path.c_str(), &on_disk) != 0 || !S_ISSOCK(on_disk.st_mode)) return;
    sockaddr_un addr{};
    socklen_t len = sizeof addr;
    if (getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) return;
    if (path != addr.sun_path) return;
    unlink(path.c_str());
}

} // namespace cliserver
