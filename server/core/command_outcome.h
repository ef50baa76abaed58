// How one command ended, in the words both the fan-out's JSON results and
// the resident server's audit log use: one enum, one name for each, so the
// two never spell an outcome differently.
#pragma once

#include <cstdint>
#include <optional>

namespace cliserver {

enum class CommandOutcome {
    kDone,
    kPromptRefused,     // done, but a prompt was answered empty (fan-out)
    kAgentDisconnected, // the agent left while it ran
    kNotConnected,      // never ran: the agent was gone (fan-out)
    kClientLeft,        // the client went away while it ran (audit)
    kInterrupted,
    kTimedOut, // --timeout ran out, queued (withdrawn) or running (abandoned)
    kDenied,   // the access policy refused it: it never reached the agent
};

// "done", "prompt-refused", "agent-disconnected", "not-connected",
// "client-left", "interrupted", "timed-out", "denied".
const char *outcome_name(CommandOutcome o);

// A command that completed, but not as asked: the agent reported a
// non-zero result, or a prompt of it was answered empty.
constexpr bool outcome_failed(CommandOutcome o, std::optional<int32_t> result) {
    return o == CommandOutcome::kPromptRefused ||
           (o == CommandOutcome::kDone && result && *result != 0);
}

// Whether the command ran to its end on its agent.
constexpr bool outcome_completed(CommandOutcome o) {
    return o == CommandOutcome::kDone || o == CommandOutcome::kPromptRefused;
}

} // namespace cliserver
