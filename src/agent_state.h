// The agent record: the connection's state and the two locks that guard
// it. The threading rules are written out where the record is defined, at
// the top of agent_lifecycle.cpp.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol.h"
#include "thread_safety.h"

namespace cli_internal {

struct agent_state {
    // Short critical sections only: never held across a write, a read or a
    // handler.
    annotated_mutex state_lock;
    // Held across one frame write and nothing else, so frames never
    // interleave on the connection. Taken before state_lock; a thread that
    // holds state_lock may only try it.
    annotated_mutex send_lock ACQUIRED_BEFORE(state_lock);

    // The connection frames are written to: published once the server
    // passed the owner check, -1 when there is none or the host ended it.
    int32_t sock GUARDED_BY(state_lock) = -1;
    // The connection the agent thread holds open, published or not, and the
    // serial of that connection (0 when none is open): a destroy that waits
    // for send_lock checks that the descriptor it saw is still this very
    // connection before it writes BYE to it. Only end_connection clears
    // them, holding send_lock, so while send_lock is held an open
    // connection stays open.
    int32_t open_fd GUARDED_BY(state_lock) = -1;
    uint64_t open_serial GUARDED_BY(state_lock) = 0;
    uint64_t last_serial GUARDED_BY(state_lock) = 0;
    // The serial of a connection a destroy unpublished and owes a BYE: sent
    // by the destroy, or by the agent thread if it gets to close that
    // connection first (a queued command, or running seen at 0), whichever
    // takes send_lock first; 0 when none is owed.
    uint64_t bye_owed GUARDED_BY(state_lock) = 0;
    uint32_t agent_id GUARDED_BY(state_lock) = 0;
    std::array<char, cli_protocol::agent_name_max + 1> name GUARDED_BY(state_lock){};
    // Written under state_lock; the agent thread polls it without the lock.
    std::atomic<uint32_t> running{0};
    // True from the creation of the agent thread until it has decided, under
    // state_lock and with running at 0, to end. A re-initialisation while it
    // is set re-arms the living thread instead of starting a second one.
    bool thread_alive GUARDED_BY(state_lock) = false;
    pthread_t thread GUARDED_BY(state_lock){};
};

extern agent_state g_agent;

// True on the copy of the agent thread that a fork from inside a handler
// left in the child: once the handler returns it ends without touching the
// connection it inherited or the child's own agent.
extern constinit __attribute__((tls_model("initial-exec"))) thread_local bool t_forked_copy;

} // namespace cli_internal
