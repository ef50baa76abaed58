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
    // The resident server and its clients.
    bool daemon = false;     // --daemon: be the resident server
    bool standalone = false; // --standalone: never use a resident server
    std::string socket;      // --socket PATH, empty for the default
    std::string group;       // --group NAME
    std::string audit_log;   // --audit-log FILE
    bool syslog = false;     // --syslog
    std::string agent_users; // --agent-users LIST
    bool show_help = false;
    bool show_version = false;
};

// Fills opts from argv; on a usage error returns false with *error set.
bool parse_options(int argc, char **argv, Options &opts, std::string *error);

std::string usage_text();

} // namespace cliserver
