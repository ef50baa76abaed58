// Small text helpers shared by the parts of the server.
#pragma once

#include "agent_service.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

// Agent-supplied text shown on the terminal: control bytes become '?', so
// a name or prompt cannot move the cursor or change colours.
std::string printable(std::string_view s);
// "name (id N)", the way the operator sees an agent.
std::string describe(const AgentView &a);
// Words of a command line, quoted as agents split them.
std::vector<std::string> split_words(const std::string &line);
// Command names from an agent's help listing.
std::vector<std::string> parse_help_listing(const std::string &listing);
std::string format_time(std::chrono::system_clock::time_point t);

} // namespace cliserver
