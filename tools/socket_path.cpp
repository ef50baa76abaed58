#include "socket_path.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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

// A missing directory is made private; one that exists must be ours or
// root's, or someone else could swap the socket under us.
bool prepare_dir(const std::string &dir, const SocketAccess &access, std::string *error) {
    const mode_t mode = access.group ? 0750 : 0700;
    if (mkdir(dir.c_str(), mode) == 0) {
        if (access.group && chown(dir.c_str(), static_cast<uid_t>(-1), *access.group) != 0) {
            *error = errno_text("cannot give the group", dir);
            return false;
        }
        if (chmod(dir.c_str(), mode) != 0) { // mkdir's mode is cut by the umask
            *error = errno_text("cannot set the mode of", dir);
            return false;
        }
        return true;
    }
    if (errno != EEXIST) {
        *error = errno_text("cannot create the socket directory", dir);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "not a directory: " + dir;
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        *error = "socket directory " + dir + " belongs to uid " + std::to_string(st.st_uid) +
                 ", not to us";
        return false;
    }
    return true;
}

enum class Existing { kNone, kStale, kLive, kNotSocket };

Existing probe_existing(const std::string &path, const sockaddr_un &addr) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return Existing::kNone;
    if (!S_ISSOCK(st.st_mode)) return Existing::kNotSocket;
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return Existing::kLive; // cannot tell: never remove it
    if (connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return Existing::kLive;
    return errno == ECONNREFUSED ? Existing::kStale : Existing::kLive;
}

bool set_socket_access(const std::string &path, const SocketAccess &access, std::string *error) {
    if (access.group && chown(path.c_str(), static_cast<uid_t>(-1), *access.group) != 0) {
        *error = errno_text("cannot give the group", path);
        return false;
    }
    if (chmod(path.c_str(), access.group ? 0660 : 0600) != 0) {
        *error = errno_text("cannot set the mode of", path);
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

UniqueFd listen_operator_socket(const std::string &path, const SocketAccess &access,
                                std::string *error) {
    sockaddr_un addr{};
    if (!fill_address(path, addr, error)) return {};
    if (!prepare_dir(parent_dir(path), access, error)) return {};
    switch (probe_existing(path, addr)) {
    case Existing::kLive:
        *error = "another cli-server is already listening on " + path;
        return {};
    case Existing::kNotSocket:
        *error = "refusing to replace " + path + ": it exists and is not a socket";
        return {};
    case Existing::kStale:
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = errno_text("cannot remove the stale socket", path);
            return {};
        }
        break;
    case Existing::kNone:
        break;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = errno_text("cannot create a socket for", path);
        return {};
    }
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        // Two daemons starting at once: the loser sees the winner's file.
        *error = errno == EADDRINUSE ? "another cli-server is already listening on " + path
                                     : errno_text("cannot bind", path);
        return {};
    }
    if (!set_socket_access(path, access, error)) {
        unlink(path.c_str());
        return {};
    }
    if (listen(fd.get(), SOMAXCONN) != 0) {
        *error = errno_text("cannot listen on", path);
        unlink(path.c_str());
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
