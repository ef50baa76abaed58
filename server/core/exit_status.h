// The exit statuses of cli-server, one name for each number the manual
// lists: every path that ends the process or a session says which it is.
#pragma once

#include <cstddef>

namespace cliserver {

enum class ExitStatus : int {
    kCompleted = 0,       // every command completed, on every selected agent
    kError = 1,           // usage or set-up error, a line that could not be sent, a lost server
    kAgentAbsent = 2,     // the agent (or a pattern's agents) did not connect in --wait
    kCommandBroken = 3,   // the agent left mid-command; a fan-out where none completed
    kPartlyCompleted = 4, // a fan-out where some agents completed and others did not
    kOutputFailed = 5,    // standard output could not be written
    kCommandFailed = 6,   // every command completed, at least one a failure
    kInterrupted = 130,   // Ctrl-C
};

constexpr int exit_code(ExitStatus s) {
    return static_cast<int>(s);
}

// How the commands of a script went on its selected agents, once all are
// done; what comes before it in precedence (a signal, standard output, a
// set-up error, no agent) ends the script on its own path.
struct ScriptTally {
    size_t agents = 0;    // selected (one for a script of one agent)
    size_t completed = 0; // agents on which every command completed
    size_t failed = 0;    // of those, agents with a failure (a non-zero result, a refused prompt)
};

// The one rule for scripting mode's status from its commands' outcomes.
constexpr ExitStatus script_exit_status(const ScriptTally &t) {
    if (t.agents > 0 && t.completed == t.agents)
        return t.failed > 0 ? ExitStatus::kCommandFailed : ExitStatus::kCompleted;
    return t.completed > 0 ? ExitStatus::kPartlyCompleted : ExitStatus::kCommandBroken;
}

// A terminating signal's conventional status (128 + its number).
constexpr int signal_exit_code(int signo) {
    return 128 + signo;
}

} // namespace cliserver
