// Reading the access policy's file (policy_file.h).
#include "daemon/policy_file.h"

#include "daemon/own_file.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

namespace {

// Who may change the file may change who runs what: nobody but root and
// the server's own user.
std::optional<std::string> unsafe_owner_or_mode(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode)) return path + ": it is not a regular file";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return path + ": it belongs to uid " + std::to_string(st.st_uid) +
               ", neither root nor the server's own user";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return path + ": it is writable by group or others (mode " + mode +
               "); make it 0644 or 0600";
    }
    return std::nullopt;
}

// The whole file, at most AccessPolicy::kMaxBytes + 1 bytes of it.
bool read_all(int fd, std::string &text, std::string *why) {
    char buf[16384];
    while (text.size() <= AccessPolicy::kMaxBytes) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            *why = std::strerror(errno);
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::optional<AccessPolicy> load_policy(const std::string &path, std::string *error) {
    // O_NONBLOCK: a FIFO put at the path fails the regular-file check
    // instead of holding the daemon.
    cli_shared::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid()) {
        *error = open_failure(path, errno);
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (auto why = unsafe_owner_or_mode(path, st)) {
        *error = *why;
        return std::nullopt;
    }
    std::string text;
    std::string why;
    if (!read_all(fd.get(), text, &why)) {
        *error = path + ": " + why;
        return std::nullopt;
    }
    PolicyError perr;
    auto policy = AccessPolicy::parse(text, &perr);
    if (!policy) *error = policy_error_text(path, perr);
    return policy;
}

bool PolicyFile::reload(std::string *error) {
    if (path_.empty()) return true;
    auto fresh = load_policy(path_, error);
    if (!fresh) return false;
    policy_ = std::move(fresh);
    ++generation_;
    return true;
}

} // namespace cliserver
