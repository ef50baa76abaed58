// The command table: 256 slots of copied descriptors under a lock of its
// own, independent of whether the agent runs. Any thread may register and
// unregister at any time; lookups hand out copies, so a handler keeps
// running on its descriptor even if it is unregistered meanwhile.
#pragma once

#include <cstddef>

#include "cli_agent.h"

namespace cli_internal {

inline constexpr size_t max_commands = 256;

// Copies the command registered under name into *out; false if none is.
bool lookup_command(const char *name, cli_command *out);
// Copies slot i into *out; false if it is free.
bool command_at(size_t i, cli_command *out);

// Only in a forked child, which has a single thread.
void reset_command_table_lock_after_fork();

} // namespace cli_internal
