// The exit statuses of cli-server, one name for each number the manual
// lists: every path that ends the process or a session says which it is.
#pragma once

namespace cliserver {

enum class ExitStatus : int {
    kCompleted = 0,       // every command completed, on every selected agent
    kError = 1,           // usage or set-up error, a line that could not be sent, a lost server
    kAgentAbsent = 2,     // the agent (or a pattern's agents) did not connect in --wait
    kCommandBroken = 3,   // the agent left mid-command; a fan-out where none completed
    kPartlyCompleted = 4, // a fan-out where some agents completed and others did not
    kOutputFailed = 5,    // standard output could not be written
    kInterrupted = 130,   // Ctrl-C
};

constexpr int exit_code(ExitStatus s) {
    return static_cast<int>(s);
}

// A terminating signal's conventional status (128 + its number).
constexpr int signal_exit_code(int signo) {
    return 128 + signo;
}

} // namespace cliserver
