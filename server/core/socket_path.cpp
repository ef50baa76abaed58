#include "core/socket_path.h"

#include <unistd.h>

#include <cstdlib>

namespace cliserver {

namespace {

constexpr const char *kSocketName = "cli-server.sock";

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

std::string socket_dir(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace cliserver
