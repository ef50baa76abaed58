// How one command ended, in the words both the fan-out's JSON results and
// the resident server's audit log use: one enum, one name for each, so the
// two never spell an outcome differently.
#pragma once

namespace cliserver {

enum class CommandOutcome {
    kDone,
    kPromptRefused,     // done, but a prompt was answered empty (fan-out)
    kAgentDisconnected, // the agent left while it ran
    kNotConnected,      // never ran: the agent was gone (fan-out)
    kClientLeft,        // the client went away while it ran (audit)
    kInterrupted,
    kTimedOut, // --timeout ran out, queued (withdrawn) or running (abandoned)
};

// "done", "prompt-refused", "agent-disconnected", "not-connected",
// "client-left", "interrupted", "timed-out".
const char *outcome_name(CommandOutcome o);

// Whether the command ran to its end on its agent.
constexpr bool outcome_completed(CommandOutcome o) {
    return o == CommandOutcome::kDone || o == CommandOutcome::kPromptRefused;
}

} // namespace cliserver
