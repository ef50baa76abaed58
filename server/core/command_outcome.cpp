// The outcome names: they are part of the JSON and audit formats that
// monitoring parses, so they never change.
#include "core/command_outcome.h"

namespace cliserver {

const char *outcome_name(CommandOutcome o) {
    switch (o) {
    case CommandOutcome::kDone:
        return "done";
    case CommandOutcome::kPromptRefused:
        return "prompt-refused";
    case CommandOutcome::kAgentDisconnected:
        return "agent-disconnected";
    case CommandOutcome::kNotConnected:
        return "not-connected";
    case CommandOutcome::kClientLeft:
        return "client-left";
    case CommandOutcome::kInterrupted:
        return "interrupted";
    case CommandOutcome::kTimedOut:
        return "timed-out";
    case CommandOutcome::kDenied:
        return "denied";
    }
    return "?";
}

} // namespace cliserver
