// Command line of cli-server.
#pragma once

#include "protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cliserver {

struct Options {
    uint16_t port = cli_protocol::agent_port;
    std::string agent;                 // --agent NAME|ID, empty when not given
    uint32_t wait_seconds = 5;         // how long scripting mode waits for the agent
    std::vector<std::string> commands; // -c, in order
    bool show_help = false;
    bool show_version = false;
};

// Fills opts from argv; on a usage error returns false with *error set.
bool parse_options(int argc, char **argv, Options &opts, std::string *error);

std::string usage_text();

} // namespace cliserver
