// The agent's connection and its send path. Frames are written under
// g_agent.send_lock only; the descriptor is looked up under
// g_agent.state_lock. Only the agent thread connects, reads and closes;
// the host's cli_agent_destroy may write BYE and shut the connection down,
// never close it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent_state.h"

namespace cli_internal {

// One frame to the current connection (agent thread); -1 if there is none
// or the write failed. A failed write may have sent part of the frame, so
// it also ends the connection: nothing may follow a cut frame.
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

// Opens the agent's socket and connects it to 127.0.0.1:port; the
// descriptor is recorded as open from its creation on. -1 on failure.
int open_connection(uint16_t port) EXCLUDES(g_agent.state_lock);
// Unpublishes and closes fd; waits for a BYE being written to it.
void end_connection(int fd) EXCLUDES(g_agent.send_lock, g_agent.state_lock);

// The connection a destroy stops.
struct stopped_connection {
    int fd;
    uint32_t agent_id;
    uint64_t serial;
};

// The host's side of stopping, in two steps. In the critical section that
// sets running to 0, the connection is unpublished, so no frame but BYE is
// written to it any more. Then, without state_lock: a bounded wait for
// send_lock, BYE written whole, and a shutdown, which also wakes a writer
// blocked on a server that stopped reading. BYE is skipped only when
// send_lock stays held (a write that makes no progress) or the connection
// does not take the 20 bytes in time.
stopped_connection unpublish_connection() REQUIRES(g_agent.state_lock);
void stop_connection(const stopped_connection &conn)
    EXCLUDES(g_agent.send_lock, g_agent.state_lock);

} // namespace cli_internal
