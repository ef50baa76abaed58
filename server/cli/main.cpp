// cli-server: the operator's console for services that embed cli_agent.
#include "operator/metrics_client.h"
#include "operator/operator_process.h"
#include "cli/check_policy.h"
#include "cli/options.h"
#include "core/exit_status.h"
#include "daemon/resident_server.h"
#include "core/socket_path.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    using cliserver::ExitStatus;
    cliserver::Options opts;
    std::string error;
    if (!cliserver::parse_options(argc, argv, opts, &error)) {
        std::fprintf(stderr, "cli-server: %s\nTry 'cli-server --help'.\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    if (opts.show_help) {
        std::fputs(cliserver::usage_text().c_str(), stdout);
        return exit_code(ExitStatus::kCompleted);
    }
    if (opts.show_version) {
        std::printf("cli-server %s\n", CLI_SERVER_VERSION);
        return exit_code(ExitStatus::kCompleted);
    }
    if (!opts.check_policy.empty()) return cliserver::run_check_policy(opts);
    if (opts.daemon) return cliserver::run_daemon(opts.daemon_options());
    if (opts.metrics)
        return cliserver::print_metrics(cliserver::client_socket_paths(opts.resident.socket),
                                        opts.standalone);
    if (!opts.standalone) {
        bool no_daemon = false;
        const std::vector<std::string> paths = cliserver::client_socket_paths(opts.resident.socket);
        const int status = cliserver::run_client(opts, paths, &no_daemon);
        if (!no_daemon) return status;
        if (opts.client_only) {
            std::string tried;
            for (const std::string &path : paths)
                tried += (tried.empty() ? "" : " or ") + path;
            std::fprintf(stderr, "cli-server: no resident server answers on %s (--client)\n",
                         tried.c_str());
            return exit_code(ExitStatus::kError);
        }
        opts.fell_back_from = paths.front();
    }
    return cliserver::run_standalone(opts);
}
