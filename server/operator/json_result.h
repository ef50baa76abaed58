// One fan-out result as a line of JSON, the form monitoring reads: what ran
// where, how it ended and what it printed. Output that is valid UTF-8 is
// carried as a JSON string; anything else as base64, so no byte is lost.
#pragma once

#include "core/command_outcome.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cliserver {

struct CommandResult {
    std::string host;
    std::string name;
    uint32_t id = 0;
    std::optional<pid_t> pid;
    std::optional<uid_t> uid;
    std::string user; // uid_text(uid) when the caller has it already (empty: looked up)
    std::string command;
    CommandOutcome status = CommandOutcome::kDone; // never client-left
    std::optional<int32_t> result; // the agent's, when it reports one (null otherwise)
    uint64_t duration_ms = 0;
    std::string output;
    bool truncated = false; // output beyond the collection limit was dropped

    bool operator==(const CommandResult &) const = default;
};

std::string base64_encode(std::string_view bytes);
// The result as one JSON object followed by a newline.
std::string result_json_line(const CommandResult &r);

} // namespace cliserver
