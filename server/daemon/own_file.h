// The checks a file the daemon writes by name must pass, shared by the
// audit log and the metrics file: never through a symbolic link, and only
// to a regular file, so whoever can write the directory cannot point the
// root daemon's writes at another file.
//
// Threading: plain functions.
#pragma once

#include <optional>
#include <string>

namespace cliserver {

// Why open() with O_NOFOLLOW failed with err on path: "PATH: it is a
// symbolic link", "PATH: it is not a regular file" or "PATH: <strerror>".
std::string open_failure(const std::string &path, int err);
// "PATH: it is a symbolic link" or "PATH: it is not a regular file" when
// something other than a regular file is at path; nullopt when nothing is.
std::optional<std::string> not_a_regular_file(const std::string &path);

} // namespace cliserver
