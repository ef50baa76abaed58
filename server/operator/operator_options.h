// What the operator's side of cli-server is asked to do: which agents,
// which commands, how to show the results. cli/options.h fills it from the
// command line.
#pragma once

#include "hub/agent_selection.h"
#include "protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cliserver {

struct OperatorOptions {
    uint16_t port = cli_protocol::agent_port;
    std::string agent;                 // --agent NAME|ID|PATTERN, empty when not given
    bool all = false;                  // --all: every connected agent
    uint32_t gather_ms = 1500;         // --gather: how long agents are collected for a pattern
    bool json = false;                 // --json: one JSON object per agent and command
    bool no_label = false;             // --no-label: raw output of the one selected agent
    std::optional<std::string> answer; // --answer: the reply to prompts during a fan-out
    uint32_t wait_seconds = 5;         // how long scripting mode waits for the agent
    uint32_t timeout_seconds = 0;      // --timeout: a script's limit per command; 0: none
    std::vector<std::string> commands; // -c, in order
    // Set when a plain invocation found no resident server and holds the
    // agents' port itself: the socket it tried first.
    std::string fell_back_from;
};

// What a "did not connect" error adds when this process ran standalone
// only because no resident server answered (empty otherwise): the agent
// may well be connected to a resident server that was not found.
std::string standalone_note(const OperatorOptions &opts);

// Whether scripting mode runs its commands on a set of agents, with results
// per agent, instead of on the one attached agent.
bool fans_out(const OperatorOptions &opts);

} // namespace cliserver
