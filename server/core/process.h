// What a cli-server process sets up for itself before its loop runs: the
// signals it takes through a descriptor, and the descriptor limit.
//
// Threading: call at start-up, before other threads may run: both change
// state of the whole process (the signal mask, the limit).
#pragma once

#include "unique_fd.h"

#include <initializer_list>

namespace cliserver {

// Blocks the signals and returns a non-blocking signalfd for them.
cli_shared::UniqueFd open_signal_fd(std::initializer_list<int> signals);
// Raises the soft descriptor limit to the hard one: one descriptor per agent.
void raise_descriptor_limit();

} // namespace cliserver
