// A listening socket on the event loop, written once for the agents' port
// and the resident server's Unix socket: accept, and the pause when the
// process is out of descriptors (or memory). accept() then fails at once
// for every connection in the backlog, so a listener that stayed watched
// would make the loop spin; instead it is not watched for kPause and the
// connections wait in the backlog until descriptors are free again.
//
// Threading: single-threaded, on the event loop's thread. The listener owns
// its descriptor and its watch; the owner's callbacks run inside the
// loop's handler.
#pragma once

#include "core/event_loop.h"
#include "unique_fd.h"

#include <chrono>
#include <functional>

namespace cliserver {

class Listener {
  public:
    static constexpr std::chrono::seconds kPause{1};
    // Why accepting pauses: the errno of the accept that failed.
    using ShortFn = std::function<void(int error)>;

    explicit Listener(EventLoop &loop) : loop_(loop) {}
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Takes a listening socket (made non-blocking and close-on-exec here)
    // and calls on_ready whenever connections may be waiting.
    void start(cli_shared::UniqueFd fd, std::function<void()> on_ready);
    // The next waiting connection, non-blocking and close-on-exec; an
    // invalid descriptor when none waits or accepting failed. Short of
    // descriptors or memory, on_short hears why (unless already paused)
    // and accepting pauses.
    cli_shared::UniqueFd accept(const ShortFn &on_short);
    // Stops accepting for kPause: a retry before then would fail the same way.
    void pause();
    bool paused() const { return paused_; }
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }

  private:
    EventLoop &loop_;
    cli_shared::UniqueFd fd_;
    bool watched_ = false;
    bool paused_ = false;
    EventLoop::TimerId resume_ = 0;
};

} // namespace cliserver
