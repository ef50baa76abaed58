// cli-server as an operator's process: one front end (the console, a
// script, or a fan-out script) on an event loop, over either agents' service: the hub in this
// process (standalone) or the resident server's socket (client). What the
// process as a whole owns lives here: signals, the descriptor limit, the
// order of the goodbyes at the end.
//
// Threading: single-threaded.
#pragma once

#include "hub/agent_service.h"
#include "core/event_loop.h"
#include "core/exit_status.h"
#include "core/process.h"
#include "operator/front_end.h"
#include "operator/operator_options.h"
#include "wire/operator_protocol.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cliserver {

class OperatorProcess {
  public:
    struct Hooks {
        std::function<void()> after_iteration; // e.g. the hub frees closed agents
        std::function<void()> say_goodbye;     // before the terminal's last output
        std::function<void()> close;           // last of all
    };

    OperatorProcess(OperatorOptions opts, EventLoop &loop, AgentService &agents);
    ~OperatorProcess();
    OperatorProcess(const OperatorProcess &) = delete;
    OperatorProcess &operator=(const OperatorProcess &) = delete;

    // Runs until quit, end of input or a fatal condition; returns the exit status.
    int run(const Hooks &hooks);
    // The agents' service is gone for good: ends the session with status
    // (unless it already ended with one) and message.
    void abandon_session(ExitStatus status, const std::string &message);
    // A message of the session's own for the operator.
    void tell(Notice kind, const std::string &text);

  private:
    void on_signal(int signo);

    EventLoop &loop_;
    std::unique_ptr<FrontEnd> front_;
    SignalWatch signals_;
};

// The console when standard input is a terminal and there is no -c; else
// a script, on a set of agents or on one.
bool runs_console(const OperatorOptions &opts);
std::unique_ptr<FrontEnd> make_front_end(const OperatorOptions &opts, EventLoop &loop,
                                         AgentService &agents);

class DaemonClient;

// The first resident server that answers at one of socket_paths, connected
// and greeted. Without a link: no_daemon when none has a socket there,
// else status (the reason is on standard error).
struct ResidentConnection {
    std::unique_ptr<DaemonClient> link;
    std::string path;
    bool no_daemon = false;
    int status = 0;
};
ResidentConnection connect_resident_server(EventLoop &loop,
                                           const std::vector<std::string> &socket_paths,
                                           operator_protocol::Mode mode);

// Standalone: this process holds the agents' port.
int run_standalone(const OperatorOptions &opts);
// Client of the first resident server that answers at one of socket_paths;
// *no_daemon when none has a socket there.
int run_client(const OperatorOptions &opts, const std::vector<std::string> &socket_paths,
               bool *no_daemon);

} // namespace cliserver
