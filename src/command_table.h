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

// The fork handlers: the table's lock is held across fork, so the child
// never copies a half-written slot; the child holds it as the forking
// thread and releases it like the parent.
void lock_command_table_for_fork();
void unlock_command_table_after_fork();

} // namespace cli_internal
