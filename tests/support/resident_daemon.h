// A resident cli-server (`--daemon`) of one test's own: its socket and its
// journal live in a temporary directory that goes with it.
#pragma once

#include "process.h"

#include <memory>
#include <optional>
#include <string>

namespace servertest {

class ResidentDaemon {
  public:
    // Starts the daemon and waits, bounded, until it reports READY=1.
    ResidentDaemon();
    ~ResidentDaemon();
    ResidentDaemon(const ResidentDaemon &) = delete;
    ResidentDaemon &operator=(const ResidentDaemon &) = delete;

    // Empty when the daemon came up; else what went wrong.
    const std::string &error() const { return error_; }
    const std::string &socket_path() const { return socket_; }
    // What the daemon wrote on its standard error so far.
    std::string journal() const;
    // SIGTERM, then its exit status; nullopt if it does not end in time.
    std::optional<int> stop();

  private:
    std::string dir_, socket_, journal_;
    std::unique_ptr<Process> proc_;
    std::string error_;
};

} // namespace servertest
