// Command line of cli-server.
#pragma once

#include "protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cliserver {

struct Options {
    uint16_t port = cli_protocol::agent_port;
    std::string agent;                 // --agent NAME|ID|PATTERN, empty when not given
    bool all = false;                  // --all: every connected agent
    uint32_t gather_ms = 1500;         // --gather: how long agents are collected for a pattern
    bool json = false;                 // --json: one JSON object per agent and command
    bool no_label = false;             // --no-label: raw output of the one selected agent
    std::optional<std::string> answer; // --answer: the reply to prompts during a fan-out
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

// Whether `wanted` is a shell pattern (it has *, ? or [) rather than a name or id.
bool is_agent_pattern(const std::string &wanted);
// Whether scripting mode runs its commands on a set of agents, with results
// per agent, instead of on the one attached agent.
bool fans_out(const Options &opts);

} // namespace cliserver
