// cli-server as one process: the agent hub and the local operator on one
// event loop, plus what the process as a whole owns (the descriptor limit,
// signals, the goodbye to every agent at the end).
//
// Threading: single-threaded.
#pragma once

#include "agent_hub.h"
#include "event_loop.h"
#include "local_operator.h"
#include "options.h"
#include "unique_fd.h"

namespace cliserver {

class StandaloneServer {
  public:
    explicit StandaloneServer(Options opts);
    ~StandaloneServer();
    StandaloneServer(const StandaloneServer &) = delete;
    StandaloneServer &operator=(const StandaloneServer &) = delete;

    // Runs until quit, end of input or a fatal condition; returns the exit status.
    int run();

  private:
    bool set_up();
    bool open_signalfd();
    void on_signal();
    void shut_down();

    EventLoop loop_;
    AgentHub hub_;
    LocalOperator operator_;
    UniqueFd signal_fd_;
    int exit_status_override_ = -1;
};

// Raises the soft descriptor limit to the hard one: one descriptor per agent.
void raise_descriptor_limit();

} // namespace cliserver
