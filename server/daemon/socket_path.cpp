#include "daemon/socket_path.h"

#include "core/users.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace cliserver {

namespace {

constexpr const char *kSocketName = "cli-server.sock";

std::string parent_dir(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

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
    if (stat(parent_dir(path).c_str(), &at_path) != 0 || fstat(dir_fd, &checked) != 0 ||
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

std::string default_socket_path(uid_t uid, const char *xdg_runtime_dir) {
    if (uid == 0) return std::string("/run/cli-server/") + kSocketName;
    if (xdg_runtime_dir && *xdg_runtime_dir)
        return std::string(xdg_runtime_dir) + "/" + kSocketName;
    return "/tmp/cli-server-" + std::to_string(uid) + "/" + kSocketName;
}

std::string choose_socket_path(const std::string &from_option) {
    if (!from_option.empty()) return from_option;
    const char *env = std::getenv(kSocketEnv);
    if (env && *env) return env;
    return default_socket_path(geteuid(), std::getenv("XDG_RUNTIME_DIR"));
}

std::vector<std::string> client_socket_paths(const std::string &from_option) {
    std::vector<std::string> paths{choose_socket_path(from_option)};
    const char *env = std::getenv(kSocketEnv);
    const bool chosen = !from_option.empty() || (env && *env);
    const std::string system = default_socket_path(0, nullptr);
    if (!chosen && paths.front() != system) paths.push_back(system);
    return paths;
}

cli_shared::UniqueFd listen_operator_socket(const std::string &path, const SocketAccess &access,
                                            std::string *error) {
    sockaddr_un addr{};
    if (!fill_address(path, addr, error)) return {};
    cli_shared::UniqueFd dir = prepare_dir(parent_dir(path), access, error);
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

std::optional<std::string> distrusted_socket_dir(const std::string &path, uid_t self) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return std::nullopt; // nothing there to trust
    const std::string dir = parent_dir(path);
    struct stat link {};
    if (lstat(dir.c_str(), &link) != 0) return errno_text("cannot examine", dir);
    // A symlink in a shared directory is only as good as whoever can swap it.
    if (S_ISLNK(link.st_mode) && link.st_uid != 0 && link.st_uid != self)
        return "the socket directory " + dir + " is a symbolic link of uid " +
               std::to_string(link.st_uid) + " (" + user_name(link.st_uid) + ")";
    struct stat d {};
    if (stat(dir.c_str(), &d) != 0) return errno_text("cannot examine", dir);
    if (d.st_uid != 0 && d.st_uid != self)
        return "the socket directory " + dir + " belongs to uid " + std::to_string(d.st_uid) +
               " (" + user_name(d.st_uid) + "), not to root or uid " + std::to_string(self);
    if (d.st_mode & (S_IWGRP | S_IWOTH))
        return "the socket directory " + dir + " is writable by group or others (mode " +
               mode_text(d.st_mode) + ")";
    return std::nullopt;
}

bool trusted_daemon(uid_t peer, uid_t self, const std::string &path) {
    if (peer == 0 || peer == self) return true;
    // Only root can put a socket into a directory of root's that nobody
    // else may write: there, the socket's owner is who root says serves it.
    struct stat d {
    }, sock{};
    return stat(parent_dir(path).c_str(), &d) == 0 && d.st_uid == 0 &&
           !(d.st_mode & (S_IWGRP | S_IWOTH)) && lstat(path.c_str(), &sock) == 0 &&
           S_ISSOCK(sock.st_mode) && sock.st_uid == peer;
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

std::optional<gid_t> lookup_group(const std::string &name) {
    if (name.empty()) return std::nullopt;
    std::vector<char> buf(16384);
    group gr{};
    group *found = nullptr;
    if (getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found) == 0 && found)
        return found->gr_gid;
    char *end = nullptr;
    errno = 0;
    const unsigned long gid = std::strtoul(name.c_str(), &end, 10);
    if (errno == 0 && end && *end == '\0' && name[0] >= '0' && name[0] <= '9' &&
        gid < static_cast<unsigned long>(static_cast<gid_t>(-1)))
        return static_cast<gid_t>(gid);
    return std::nullopt;
}

} // namespace cliserver
