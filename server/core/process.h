// What a cli-server process sets up for itself before its loop runs: the
// signals it ignores, the descriptor limit, and the signals it takes
// through a descriptor on the event loop. The resident server and the
// operator's process (standalone or client) start the same way.
//
// Threading: call at start-up, before other threads may run: these change
// state of the whole process (dispositions, the signal mask, the limit).
// A SignalWatch's handler runs on the event loop's thread.
#pragma once

#include "core/event_loop.h"
#include "unique_fd.h"

#include <functional>
#include <initializer_list>
#include <string>

namespace cliserver {

// Blocks the signals and returns a non-blocking signalfd for them.
cli_shared::UniqueFd open_signal_fd(std::initializer_list<int> signals);
// Raises the soft descriptor limit to the hard one: one descriptor per agent.
void raise_descriptor_limit();

struct ProcessStart {
    bool many_descriptors = false;  // holds the agents' port: raise the limit
    bool survive_file_size = false; // a file size limit fails a write, not the process
};

// Ignores SIGPIPE (a peer that went away is a failed write) and what start
// asks for; returns why the process cannot run ("cannot create the event
// loop: ..."), empty when it can.
std::string start_process(const EventLoop &loop, ProcessStart start);

// SIGINT, SIGTERM and SIGHUP, taken on the event loop: each one that
// arrives is handed to the handler by number.
class SignalWatch {
  public:
    explicit SignalWatch(EventLoop &loop) : loop_(loop) {}
    ~SignalWatch() { stop(); }
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

    // Returns why signals cannot be taken ("cannot set up signal handling:
    // ..."), empty when they can.
    std::string start(std::function<void(int signo)> on_signal);
    void stop();

  private:
    void drain();

    EventLoop &loop_;
    cli_shared::UniqueFd fd_;
    std::function<void(int)> on_signal_;
};

} // namespace cliserver
