#include "daemon/own_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace cliserver {

std::string open_failure(const std::string &path, int err) {
    struct stat st {};
    if (err == ELOOP) return path + ": it is a symbolic link";
    // ENXIO: a FIFO that nobody reads, opened with O_NONBLOCK.
    if (err == ENXIO || (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
        return path + ": it is not a regular file";
    return path + ": " + std::strerror(err);
}

std::optional<std::string> not_a_regular_file(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return std::nullopt;
    if (S_ISLNK(st.st_mode)) return path + ": it is a symbolic link";
    return path + ": it is not a regular file";
}

} // namespace cliserver
