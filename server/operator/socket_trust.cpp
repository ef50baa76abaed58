#include "operator/socket_trust.h"

#include "core/socket_path.h"
#include "core/users.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

namespace {

std::string errno_text(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string mode_text(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

} // namespace

std::optional<std::string> distrusted_socket_dir(const std::string &path, uid_t self) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return std::nullopt; // nothing there to trust
    const std::string dir = socket_dir(path);
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
    return stat(socket_dir(path).c_str(), &d) == 0 && d.st_uid == 0 &&
           !(d.st_mode & (S_IWGRP | S_IWOTH)) && lstat(path.c_str(), &sock) == 0 &&
           S_ISSOCK(sock.st_mode) && sock.st_uid == peer;
}

} // namespace cliserver
