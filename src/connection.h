// The agent's connection and its send path. Frames are written under
// g_agent.send_lock only; the descriptor is looked up under
// g_agent.state_lock. Only the agent thread connects, reads and closes;
// the host's cli_agent_destroy may shut the connection down, never close it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent_state.h"

namespace cli_internal {

// One frame to the current connection (agent thread); -1 if there is none
// or the write failed.
int connection_send(uint16_t type, uint32_t req_id, const uint8_t *data, uint32_t len)
    EXCLUDES(g_agent.send_lock, g_agent.state_lock);
// len bytes as frames of at most 64 KiB; one empty frame when len is 0.
int connection_send_bytes(uint16_t type, uint32_t req_id, const char *data, size_t len)
    EXCLUDES(g_agent.send_lock, g_agent.state_lock);
// A NUL-terminated text (null = empty) in as many frames as it needs.
int connection_send_text(uint16_t type, uint32_t req_id, const char *text)
    EXCLUDES(g_agent.send_lock, g_agent.state_lock);

// The published descriptor, or -1.
int current_connection() EXCLUDES(g_agent.state_lock);
// True while fd is still the published connection.
bool connection_current(int fd) EXCLUDES(g_agent.state_lock);

// Publishes fd and sends HELLO before any other frame can be written to it;
// false if the agent was stopped meanwhile (*stopped) or HELLO failed.
bool publish_and_hello(int fd, bool *stopped) EXCLUDES(g_agent.send_lock, g_agent.state_lock);

// Records fd as held by the agent thread until end_connection closes it.
void own_connection(int fd) EXCLUDES(g_agent.state_lock);
void end_connection(int fd) EXCLUDES(g_agent.state_lock);

// The host's side of stopping: BYE if no frame is being written (else the
// shutdown speaks for it), then shutdown, which also wakes a writer blocked
// on a server that stopped reading. Never blocks.
void stop_connection_nowait() REQUIRES(g_agent.state_lock);

} // namespace cli_internal
