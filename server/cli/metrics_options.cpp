#include "cli/options.h"

namespace cliserver {

// --metrics asks a resident server for its metrics and does nothing else;
// the file is the resident server's.
bool check_metrics_combination(const Options &opts, std::string *error) {
    if (opts.metrics &&
        (opts.daemon || !opts.agent.empty() || opts.all || !opts.commands.empty())) {
        *error = "--metrics takes no --daemon, --agent, --all or -c";
        return false;
    }
    if (!opts.daemon && (!opts.resident.metrics_file.empty() || opts.metrics_interval_given)) {
        *error = "--metrics-file and --metrics-interval need --daemon";
        return false;
    }
    if (opts.metrics_interval_given && opts.resident.metrics_file.empty()) {
        *error = "--metrics-interval needs --metrics-file";
        return false;
    }
    return true;
}

} // namespace cliserver
