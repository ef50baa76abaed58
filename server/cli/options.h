// The command line of cli-server: one table of options (options.cpp) gives
// getopt its tables and --help its text; each part of the server takes the
// options it uses (OperatorOptions, DaemonOptions).
#pragma once

#include "daemon/resident_server.h"
#include "operator/operator_options.h"

#include <string>

namespace cliserver {

struct Options : OperatorOptions {
    // The resident server and its clients.
    bool daemon = false;      // --daemon: be the resident server
    bool standalone = false;  // --standalone: never use a resident server
    bool client_only = false; // --client: never hold the agents' port
    // What the resident server is asked for, each field once; its --socket
    // is its clients' too, its port is OperatorOptions::port.
    DaemonOptions resident;
    bool bounds_given = false;           // any of --max-clients, --max-queued...
    bool metrics_interval_given = false; // --metrics-interval
    // --check-policy FILE [--as USER --agent SEL -c LINE...]: no server at all
    std::string check_policy;
    std::string as_user;
    bool metrics = false; // --metrics: print the resident server's
    bool show_help = false;
    bool show_version = false;

    // What the resident server is asked for.
    DaemonOptions daemon_options() const {
        DaemonOptions d = resident;
        d.port = port;
        return d;
    }
};

// The rules of --metrics, --metrics-file and --metrics-interval
// (metrics_options.cpp); false with *error set when they are broken.
bool check_metrics_combination(const Options &opts, std::string *error);
// The rules of --policy, --check-policy and --as (check_policy.cpp).
bool check_policy_combination(const Options &opts, std::string *error);

// Fills opts from argv; on a usage error returns false with *error set.
bool parse_options(int argc, char **argv, Options &opts, std::string *error);

std::string usage_text();

} // namespace cliserver
